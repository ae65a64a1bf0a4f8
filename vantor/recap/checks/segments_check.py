"""Validation of a segments file before a run spends minutes downloading.

The engine itself reads the file lazily and fails at the first bad segment,
after the download. This check reads it the same way (strict UTF-8, one JSON
value) but reports every problem at once, in words for the person who wrote
the file: segments are numbered from 1, as the run's "Segment 1/4" lines
number them. It accepts nothing the engine would refuse, but for one thing:
a time written as a JSON number, which a run hands the engine as the
equivalent string (`engine_segments`). It refuses an empty array, which the
engine would turn into an empty video, and a narration that still begins
with the marker of `vantor suggest`'s draft, which a recap would speak.
"""

from __future__ import annotations

import difflib
import json
import math
import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Literal

from ..framing.modes import check_range_frame

__all__ = [
    "DRAFT_MARKER", "TIME_FORMS", "WORDS_PER_SECOND", "Problem", "SegmentsReport", "check_segments",
    "check_segments_bytes", "engine_segments", "is_draft", "json_type_name", "parse_time", "report_lines",
    "seconds_of", "time_text",
]

# A typical narration pace (150 words a minute).
WORDS_PER_SECOND = 2.5
# Shown once under a report that has a time it cannot read.
TIME_FORMS = "times are seconds like 90 or 1.5, or [HH:]MM:SS[.fraction] like 01:30 or 00:01:30.5"
_MEMBERS = ("start", "end", "voiceover")
# How `vantor suggest` marks a narration that is still the video's own words.
DRAFT_MARKER = "REWRITE:"
_DRAFT = (f"still the draft of vantor suggest (it begins with {DRAFT_MARKER!r}); write your own narration in its "
          "place")
# Problems of one kind shown one a line before the rest are counted.
SHOWN_ALIKE = 3
_EXAMPLE = '{"start": "0", "end": "5", "voiceover": "..."}'

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

Severity = Literal["error", "warning"]


@dataclass(frozen=True)
class Problem:
    number: int | None  # the segment's number, counted from 1; None for the whole file
    member: str | None
    message: str
    severity: Severity = "error"
    hint: str | None = None  # advice shared by several problems, shown once per report

    def __str__(self) -> str:
        where = "file" if self.number is None else f"segment {self.number}"
        if self.member:
            where += f" {self.member!r}"
        return f"{self.severity}: {where}: {self.message}"

    def as_json(self) -> dict[str, object]:
        return {"severity": self.severity, "segment": self.number, "member": self.member, "message": self.message}


@dataclass
class SegmentsReport:
    """Everything `check` found in one file."""

    name: str
    problems: list[Problem] = field(default_factory=list)
    segments: list[dict[str, object]] | None = None  # the parsed segments when the file has no errors

    def __iter__(self) -> Iterator[Problem]:
        return iter(self.problems)

    @property
    def errors(self) -> list[Problem]:
        return [p for p in self.problems if p.severity == "error"]

    @property
    def warnings(self) -> list[Problem]:
        return [p for p in self.problems if p.severity == "warning"]

    @property
    def ok(self) -> bool:
        return not self.errors

    def hints(self, problems: list[Problem] | None = None) -> list[str]:
        """The shared advice of `problems` (default: all), each once, in order."""
        chosen = self.problems if problems is None else problems
        return list(dict.fromkeys(p.hint for p in chosen if p.hint))

    def as_json(self) -> dict[str, object]:
        return {"file": self.name, "ok": self.ok,
                "segments": None if self.segments is None else len(self.segments),
                "problems": [p.as_json() for p in self.problems], "hints": self.hints()}


def is_draft(narration: str) -> bool:
    """True for a narration that still begins with the draft's marker."""
    return narration.lstrip()[:len(DRAFT_MARKER)].upper() == DRAFT_MARKER


def report_lines(problems: list[Problem]) -> list[str]:
    """A line per problem, in order; past SHOWN_ALIKE problems of one kind
    (severity, member and message), one line counts the rest, so a file of
    thousands of drafts is a few lines."""
    kinds: dict[tuple[str, str | None, str], int] = {}
    for problem in problems:
        key = (problem.severity, problem.member, problem.message)
        kinds[key] = kinds.get(key, 0) + 1
    lines, seen = [], dict.fromkeys(kinds, 0)
    for problem in problems:
        key = (problem.severity, problem.member, problem.message)
        seen[key] += 1
        if kinds[key] <= SHOWN_ALIKE + 1 or seen[key] <= SHOWN_ALIKE:
            lines.append(str(problem))
        elif seen[key] == SHOWN_ALIKE + 1:
            lines.append(f"{problem.severity}: and {kinds[key] - SHOWN_ALIKE} more segments {problem.member!r}: "
                         f"{problem.message}")
    return lines


def json_type_name(value: object) -> str:
    """How a JSON document spells the type of a parsed value."""
    if value is None:
        return "null"
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    return "a number"


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


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def time_text(value: int | float) -> str:
    """A JSON number of seconds as the string ffmpeg reads as the same time:
    every digit of the number's shortest form, never an exponent (ffmpeg
    stops reading at an "e"): 90 -> "90", 1.5 -> "1.5", 1e-05 -> "0.00001"."""
    if isinstance(value, int):
        return str(value)
    return format(Decimal(repr(value)), "f")


def seconds_of(value: object) -> float | None:
    """Seconds of a time as a segment holds it (a string or a number), or None."""
    if _is_number(value):
        return parse_time(time_text(value)) if math.isfinite(value) else None  # type: ignore[arg-type]
    return parse_time(value) if isinstance(value, str) else None


def engine_segments(segments: list[dict[str, object]]) -> list[dict[str, object]] | None:
    """The checked `segments` as the engine takes them, each number of
    seconds written as its string; None when every time already is one."""
    if not any(_is_number(segment.get(member)) for segment in segments for member in ("start", "end")):
        return None
    return [{key: time_text(value) if key in ("start", "end") and _is_number(value) else value  # type: ignore[arg-type]
             for key, value in segment.items()} for segment in segments]


def _decode(content: bytes) -> tuple[object, list[Problem]]:
    def refuse(message: str) -> tuple[object, list[Problem]]:
        return None, [Problem(None, None, message)]

    if content.startswith(b"\xef\xbb\xbf"):
        return refuse("the file starts with a byte-order mark (BOM); save it as UTF-8 without a BOM")
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError as error:
        line = content.count(b"\n", 0, error.start) + 1
        return refuse(f"the file is not UTF-8 text (byte 0x{content[error.start]:02x} on line {line}); "
                      "save it as UTF-8")
    if not text.strip():
        return refuse(f"the file is empty; write a JSON array of segments like [{_EXAMPLE}]")
    try:
        return json.loads(text), []
    except json.JSONDecodeError as error:
        reason = error.msg[0].lower() + error.msg[1:]
        return refuse(f"not valid JSON: {reason} at line {error.lineno}, column {error.colno}")


def _near_miss(member: str, segment: dict[str, object]) -> str | None:
    """A key of `segment` that looks like a misspelt `member`."""
    others = {key.strip().lower(): key for key in segment if isinstance(key, str) and key not in _MEMBERS}
    close = difflib.get_close_matches(member, list(others), n=1, cutoff=0.7)
    return others[close[0]] if close else None


def _not_a_string(member: str, value: object) -> str:
    if member != "voiceover":
        return f"must be a time, a string like \"1.5\" or a number, not {json_type_name(value)}"
    return f"must be a string, not {json_type_name(value)}"


def _check_segment(number: int, segment: object, drafts: bool) -> list[Problem]:
    if not isinstance(segment, dict):
        return [Problem(number, None, f"must be an object like {_EXAMPLE}, not {json_type_name(segment)}")]
    problems: list[Problem] = []
    times: dict[str, float] = {}
    for member in _MEMBERS:
        if member not in segment:
            typo = _near_miss(member, segment)
            hint = f"; found {typo!r}: did you mean {member!r}?" if typo else f"; add \"{member}\""
            problems.append(Problem(number, member, "missing" + hint))
        elif member != "voiceover" and _is_number(value := segment[member]) and not math.isfinite(value):
            problems.append(Problem(number, member, f"{json.dumps(value)} is not a time; write a finite number of "
                                                    "seconds", hint=TIME_FORMS))
        elif member != "voiceover" and _is_number(value):
            seconds = seconds_of(value)
            if seconds is None:
                problems.append(Problem(number, member, f"{value!r} is not a time", hint=TIME_FORMS))
            else:
                times[member] = seconds
        elif not isinstance(value := segment[member], str):
            problems.append(Problem(number, member, _not_a_string(member, value)))
        elif member != "voiceover":
            seconds = parse_time(value)
            if seconds is None:
                problems.append(Problem(number, member, f"{value!r} is not a time", hint=TIME_FORMS))
            else:
                times[member] = seconds
    if "start" in times and "end" in times and times["end"] <= times["start"]:
        problems.append(Problem(number, "end", f"{segment['end']!r} is not after start {segment['start']!r}; "
                                               "end is a position in the video, not a length"))
    if "frame" in segment and (wrong := check_range_frame(segment["frame"])):  # the range's own framing
        problems.append(Problem(number, "frame", wrong))
    narration = segment.get("voiceover")
    if isinstance(narration, str):
        if not narration.strip():
            problems.append(Problem(number, "voiceover", "the narration is empty; write the text to speak"))
        elif is_draft(narration) and not drafts:
            problems.append(Problem(number, "voiceover", _DRAFT))
        elif "start" in times and "end" in times and times["end"] > times["start"]:
            length = times["end"] - times["start"]
            spoken = len(narration.split()) / WORDS_PER_SECOND
            if spoken > length:
                problems.append(Problem(
                    number, "voiceover",
                    f"narration of about {spoken:.1f} s will probably be cut off: "
                    f"the segment lasts {length:.1f} s",
                    "warning",
                ))
    return problems


def check_segments_bytes(content: bytes, name: str = "<stdin>", *, drafts: bool = False) -> SegmentsReport:
    """Every problem of a segments file's content, errors and warnings, in
    file order. `drafts`: a narration of the draft is no error (a draft
    being worked on, not a recap's)."""
    segments, problems = _decode(content)
    report = SegmentsReport(name, problems)
    if problems:
        return report
    if not isinstance(segments, list):
        report.problems.append(Problem(None, None, f"the top level must be an array of segments "
                                                   f"[{_EXAMPLE}, ...], not {json_type_name(segments)}"))
        return report
    if not segments:
        report.problems.append(Problem(None, None, f"the array is empty; add at least one segment like {_EXAMPLE}"))
        return report
    for number, segment in enumerate(segments, 1):
        report.problems.extend(_check_segment(number, segment, drafts))
    if report.ok:
        report.segments = segments
    return report


def check_segments(path: str, *, drafts: bool = False) -> SegmentsReport:
    """Reads and checks the segments file at `path` (`drafts`: as for
    `check_segments_bytes`)."""
    try:
        with open(path, "rb") as f:
            content = f.read()
    except FileNotFoundError:
        return SegmentsReport(path, [Problem(None, None, "no such file; check the path")])
    except IsADirectoryError:
        return SegmentsReport(path, [Problem(None, None, "is a directory; give the path of a .json file")])
    except OSError as error:
        return SegmentsReport(path, [Problem(None, None, f"cannot read it: {error.strerror or error}")])
    return check_segments_bytes(content, path, drafts=drafts)
