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

# ffmpeg reads -ss/-to as a duration: an optional "-", then HH:MM:SS (hours
# of 1-4 digits), MM:SS, or an integer as C's strtoll reads it (leading white
# space and a sign allowed); then an optional ".fraction" and an optional
# s/ms/us unit, and nothing after. Each field takes all the digits it may
# (minutes and seconds at most 59), and the first form that fits wins.
_CLOCKS = (re.compile(r"([0-9]{1,4}):([0-9]{1,2}):([0-9]{1,2})"), re.compile(r"()([0-9]{1,2}):([0-9]{1,2})"))
_INTEGER = re.compile(r"[ \t\n\v\f\r]*([+-]?[0-9]+)")
_TAIL = re.compile(r"(?:\.([0-9]*))?(ms|us|s)?")
_MICROSECONDS = {"ms": 1000, "us": 1, "s": 1_000_000, None: 1_000_000}
_INT64_MAX = 2**63 - 1


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


def _whole_seconds(text: str) -> tuple[int, int] | None:
    """(whole seconds, where the rest starts) of a time without its "-"."""
    for form in _CLOCKS:
        clock = form.match(text)
        if clock:
            hours, minutes, seconds = (int(field or 0) for field in clock.groups())
            if minutes <= 59 and seconds <= 59:
                return hours * 3600 + minutes * 60 + seconds, clock.end()
    integer = _INTEGER.match(text)
    if integer is None or abs(int(integer.group(1))) > _INT64_MAX:
        return None
    return int(integer.group(1)), integer.end()


def parse_time(text: str) -> float | None:
    """Seconds for a time ffmpeg accepts after -ss/-to, or None."""
    negative = text.startswith("-")
    body = text[1:] if negative else text
    head = _whole_seconds(body)
    if head is None:
        return None
    whole, end = head
    tail = _TAIL.match(body, end)
    if tail is None or tail.end() != len(body):
        return None
    fraction, unit = tail.groups()
    scale = _MICROSECONDS[unit]
    if abs(whole) > _INT64_MAX // scale:
        return None
    micro = 0 if unit == "us" else int((fraction or "")[:6].ljust(6, "0")) * scale // 1_000_000
    value = (whole * scale + micro) / 1e6
    return -value if negative else value


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
