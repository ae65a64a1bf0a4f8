"""Checks made before a recap asks any service for anything, and the one
check that has to wait for the download: the video's real duration.

Each refusal is a `PreflightError` whose message is one line saying what is
wrong and what to do; `vantor recap` and `vantor.make_recap` share them.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass

from ...errors import PreflightError
from .probe import UnreadableVideo, probe_duration
from .segments_check import SHOWN_ALIKE, Problem, SegmentsReport, check_segments, seconds_of

__all__ = [
    "COMMAND_LINE", "MAX_SPEED", "MIN_SPEED", "PYTHON", "OutputDir", "PreflightError", "SegmentsError", "Wording",
    "check_output_dir", "check_speed", "make_output_dir", "remove_made_folders",
    "check_run_voice", "check_video_duration", "checked_segments",
]

# atempo slows audio to half speed at most; the engine chains it only to go faster.
MIN_SPEED = 0.5
# Above this the narration is unintelligible and the recap a few frames.
MAX_SPEED = 4.0


@dataclass(frozen=True)
class Wording:
    """How a refusal tells its reader what to do: a person at the command
    line is told the flags, a Python caller the arguments."""

    create: str  # make the missing output directory
    replace: str  # replace an existing result, or name this one otherwise
    other_dir: str  # choose another output directory


COMMAND_LINE = Wording("pass --mkdir (-p)", "pass --force to replace it, or choose another name with -o",
                       "choose another with --output-dir")
PYTHON = Wording("pass mkdir=True", "pass overwrite=True to replace it, or choose another output_name",
                 "choose another output_dir")


class SegmentsError(PreflightError):
    """The segments file has errors; `report` holds every problem."""

    def __init__(self, report: SegmentsReport) -> None:
        count = len(report.errors)
        first = report.errors[0]
        alike = [p.number for p in report.errors if (p.member, p.message) == (first.member, first.message)]
        if len(alike) > 1:  # "segments 1, 2, 4 and 45 more 'voiceover': ..."
            named = ", ".join(map(str, alike[:SHOWN_ALIKE])) + (f" and {len(alike) - SHOWN_ALIKE} more"
                                                                if len(alike) > SHOWN_ALIKE else "")
            shown = f"segments {named} {first.member!r}: {first.message}"
        else:
            shown = str(first).removeprefix("error: ")
        errors = f"{report.name}: {count} error{'s' if count != 1 else ''} in the segments file"
        super().__init__(f"{errors} (first: {shown}); nothing was downloaded")
        self.report = report
        # The line under a report that already listed every error.
        self.summary: str = f"{errors}; nothing was downloaded"


def check_speed(speed: float) -> float:
    if not isinstance(speed, (int, float)) or isinstance(speed, bool):
        raise PreflightError(f"speed must be a number, not {type(speed).__name__}")
    if not math.isfinite(speed):
        raise PreflightError(f"speed must be a finite number like 1.5, not {speed}")
    if speed < MIN_SPEED:
        raise PreflightError(f"speed must be at least {MIN_SPEED}, not {speed:g}: ffmpeg's audio tempo filter "
                             "cannot slow the narration below half speed")
    if speed > MAX_SPEED:
        raise PreflightError(f"speed must be at most {MAX_SPEED:g}, not {speed:g}: above {MAX_SPEED:g}x the "
                             "narration is unintelligible and the recap a few frames")
    return float(speed)


def check_output_dir(path: str | os.PathLike[str], *, create: bool = False,
                     wording: Wording = COMMAND_LINE) -> str:
    """The directory as the engine will be given it; created when asked."""
    text = os.fspath(path)
    shown = text or "."
    if not os.path.exists(shown):
        if not create:
            raise PreflightError(f"output directory {shown!r} does not exist; create it or {wording.create}")
        try:
            os.makedirs(shown, exist_ok=True)
        except OSError as error:
            raise PreflightError(f"cannot create output directory {shown!r}: {error.strerror or error}") from None
    if not os.path.isdir(shown):
        raise PreflightError(f"output directory {shown!r} is not a directory")
    if not os.access(shown, os.W_OK | os.X_OK):
        raise PreflightError(f"cannot write to output directory {shown!r}; {wording.other_dir}")
    return text


@dataclass(frozen=True)
class OutputDir:
    path: str  # as the engine will be given it
    made: tuple[str, ...] = ()  # the folders this run created, outermost first


def make_output_dir(path: str | os.PathLike[str], *, parents: bool = False,
                    wording: Wording = COMMAND_LINE) -> OutputDir:
    """The output directory of a run, checked, and created when missing: the
    last folder alone when its parent exists (as yt-dlp and ffmpeg users
    expect), missing parents too only when asked (`parents`: -p, mkdir=True)."""
    text = os.fspath(path)
    shown = text or "."
    missing: list[str] = []
    probe = os.path.abspath(shown)
    while not os.path.lexists(probe) and os.path.dirname(probe) != probe:
        missing.append(probe)
        probe = os.path.dirname(probe)
    if len(missing) > 1 and not parents:
        parent = os.path.dirname(os.path.normpath(shown))
        raise PreflightError(f"output directory {shown!r} does not exist, nor does its parent {parent!r}; "
                             f"create them or {wording.create}")
    made: list[str] = []
    for folder in reversed(missing):
        try:
            os.mkdir(folder)
        except FileExistsError:
            continue  # made by someone else meanwhile: not ours to remove
        except OSError as error:
            remove_made_folders(made)
            raise PreflightError(f"cannot create output directory {shown!r}: {error.strerror or error}") from None
        made.append(folder)
    try:
        check_output_dir(text, wording=wording)
    except PreflightError:
        remove_made_folders(made)
        raise
    return OutputDir(text, tuple(made))


def remove_made_folders(made: tuple[str, ...] | list[str]) -> None:
    """Removes the folders a run created, innermost first, each only while
    it is empty (rmdir refuses anything else): a run that wrote nothing
    leaves nothing."""
    for folder in reversed(made):
        try:
            os.rmdir(folder)
        except OSError:
            return


def checked_segments(path: str, name: str | None = None) -> SegmentsReport:
    """The report of a segments file without errors, else SegmentsError.
    `name`: how messages call the file (default: its path)."""
    report = check_segments(path)
    report.name = name or report.name
    if not report.ok:
        raise SegmentsError(report)
    return report


def check_run_voice(voice: str, local: bool) -> None:
    """With the local services the voice must be one of theirs (`vantor
    voices`); the configured services keep their own list."""
    if not voice.strip():
        raise PreflightError("the voice is empty; give the name of a voice of the speech service")
    if not local:
        return
    from ...services.voices import check_voice as check_local_voice

    try:
        check_local_voice(voice)
    except ValueError as error:
        raise PreflightError(str(error)) from None


def _past_the_end(segments: list[dict[str, object]], duration: float) -> list[Problem]:
    """Errors for ranges starting at or after the end (an empty clip);
    warnings for ranges running past it (a shorter clip)."""
    problems = []
    for number, segment in enumerate(segments, 1):
        start, end = seconds_of(segment["start"]), seconds_of(segment["end"])
        if start is not None and start >= duration:
            problems.append(Problem(number, "start", f"starts at {segment['start']} ({start:g} s), past the end "
                                                     f"of the video ({duration:.2f} s); fix its \"start\""))
        elif end is not None and end > duration:
            problems.append(Problem(number, "end", f"ends at {segment['end']} ({end:g} s), after the end of the "
                                                   f"video ({duration:.2f} s): its clip will be shorter", "warning"))
    return problems


def check_video_duration(segments: list[dict[str, object]], video: str,
                         length: Callable[[str], float] = probe_duration) -> list[Problem]:
    """After the download: refuses a range starting past the end of the
    video's real duration (ffmpeg would cut an empty clip and the recap would
    still "succeed"); returns the warnings for ranges running past it.
    `length`: how the video's duration is read (a run reads it once)."""
    try:
        duration = length(video)
    except UnreadableVideo as error:
        raise PreflightError(f"the downloaded video {video!r} cannot be read: {error}") from None
    problems = _past_the_end(segments, duration)
    errors = [str(p).removeprefix("error: ") for p in problems if p.severity == "error"]
    if len(errors) == 1:
        raise PreflightError(f"{errors[0]}; nothing was narrated")
    if errors:  # a line each, the first few, then how many more
        listed = errors[:SHOWN_ALIKE] + ([f"and {len(errors) - SHOWN_ALIKE} more"] if len(errors) > SHOWN_ALIKE else [])
        raise PreflightError(f"{len(errors)} segments start past the end of the video ({duration:.2f} s); nothing "
                             "was narrated:" + "".join(f"\n  {line}" for line in listed))
    return problems
