"""Validation of a segments file before a run spends minutes downloading.

The engine itself reads the file lazily and fails at the first bad segment,
after the download. This check reads it the same way (strict UTF-8, one JSON
value) but reports every problem at once, each with the segment's index and
member. It never changes what the engine accepts.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

__all__ = ["Problem", "check_segments", "parse_time", "WORDS_PER_SECOND"]

# A typical narration pace (150 words a minute).
WORDS_PER_SECOND = 2.5

# Time forms ffmpeg takes for -ss/-to: [-][HH:]MM:SS[.m...] or [-]S+[.m...][s|ms|us].
_CLOCK = re.compile(r"^(-?)(?:(\d+):)?(\d{1,2}):(\d{1,2}(?:\.\d*)?)$")
_SECONDS = re.compile(r"^(-?)(\d+(?:\.\d*)?|\.\d+)(s|ms|us)?$")
_UNIT = {"s": 1.0, "ms": 1e-3, "us": 1e-6, None: 1.0}


@dataclass(frozen=True)
class Problem:
    index: int | None  # 0-based segment index; None for the whole file
    member: str | None
    message: str
    severity: str = "error"  # or "warning"

    def __str__(self) -> str:
        where = "file" if self.index is None else f"segment {self.index}"
        if self.member:
            where += f" {self.member!r}"
        return f"{self.severity}: {where}: {self.message}"


def parse_time(text: str) -> float | None:
    """Seconds for a time ffmpeg accepts after -ss/-to, or None."""
    text = text.strip()
    clock = _CLOCK.match(text)
    if clock:
        sign, hours, minutes, seconds = clock.groups()
        if int(minutes) > 59 or float(seconds) >= 60:
            return None
        value = int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds)
        return -value if sign else value
    plain = _SECONDS.match(text)
    if plain:
        sign, number, unit = plain.groups()
        value = float(number) * _UNIT[unit]
        return -value if sign else value
    return None


def _load(path: str) -> tuple[object, list[Problem]]:
    try:
        with open(path, "r", encoding="utf-8") as f:
            content = f.read()
    except (OSError, UnicodeDecodeError) as error:
        return None, [Problem(None, None, f"cannot read: {error}")]
    try:
        return json.loads(content), []
    except json.JSONDecodeError as error:
        return None, [Problem(None, None, f"not valid JSON: {error}")]


def _check_segment(index: int, segment: object) -> list[Problem]:
    if not isinstance(segment, dict):
        return [Problem(index, None, f"must be an object, not {type(segment).__name__}")]
    problems: list[Problem] = []
    times: dict[str, float] = {}
    for member in ("start", "end", "voiceover"):
        if member not in segment:
            problems.append(Problem(index, member, "missing"))
        elif not isinstance(segment[member], str):
            problems.append(Problem(index, member, f"must be a string, not {type(segment[member]).__name__}"))
        elif member != "voiceover":
            seconds = parse_time(segment[member])
            if seconds is None:
                problems.append(Problem(index, member, f"{segment[member]!r} is not a time ffmpeg accepts"))
            else:
                times[member] = seconds
    if "start" in times and "end" in times and times["end"] <= times["start"]:
        problems.append(Problem(index, "end", f"{segment['end']!r} is not after start {segment['start']!r}"))
    narration = segment.get("voiceover")
    if isinstance(narration, str):
        if not narration.strip():
            problems.append(Problem(index, "voiceover", "narration is empty"))
        elif "start" in times and "end" in times and times["end"] > times["start"]:
            length = times["end"] - times["start"]
            spoken = len(narration.split()) / WORDS_PER_SECOND
            if spoken > length:
                problems.append(Problem(
                    index, "voiceover",
                    f"narration of about {spoken:.1f} s will probably be cut off: "
                    f"the segment lasts {length:.1f} s",
                    "warning",
                ))
    return problems


def check_segments(path: str) -> list[Problem]:
    """Every problem of the file, errors and warnings, in file order."""
    segments, problems = _load(path)
    if problems:
        return problems
    if not isinstance(segments, list):
        return [Problem(None, None, f"top level must be a JSON array, not {type(segments).__name__}")]
    for index, segment in enumerate(segments):
        problems.extend(_check_segment(index, segment))
    return problems
