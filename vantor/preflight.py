"""Checks made before a recap asks any service for anything, and the one
check that has to wait for the download: the video's real duration.

Each refusal is a `PreflightError` whose message is one line saying what is
wrong and what to do; `vantor recap` and `vantor.make_recap` share them.
"""

from __future__ import annotations

import contextlib
import math
import os
import subprocess
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from types import ModuleType
from typing import TextIO

from .segments_check import Problem, Report, check_segments, parse_time

__all__ = [
    "MIN_SPEED", "PreflightError", "SegmentsError", "check_output_dir", "check_speed", "check_voice",
    "checked_segments", "guard_video_duration", "probe_duration",
]

# atempo slows audio to half speed at most; the engine chains it only to go faster.
MIN_SPEED = 0.5


class PreflightError(Exception):
    """A run refused before it started (or right after the download)."""


class SegmentsError(PreflightError):
    """The segments file has errors; `report` holds every problem."""

    def __init__(self, report: Report) -> None:
        count = len(report.errors)
        first = str(report.errors[0]).removeprefix("error: ")
        super().__init__(f"{report.name}: {count} error{'s' if count != 1 else ''} in the segments file "
                         f"(first: {first}); nothing was downloaded")
        self.report = report


def check_speed(speed: float) -> float:
    if not isinstance(speed, (int, float)) or isinstance(speed, bool):
        raise PreflightError(f"speed must be a number, not {type(speed).__name__}")
    if not math.isfinite(speed):
        raise PreflightError(f"speed must be a finite number like 1.5, not {speed}")
    if speed < MIN_SPEED:
        raise PreflightError(f"speed must be at least {MIN_SPEED}, not {speed:g}: ffmpeg's audio tempo filter "
                             "cannot slow the narration below half speed")
    return float(speed)


def check_output_dir(path: str | os.PathLike[str], *, create: bool = False) -> str:
    """The directory as the engine will be given it; created when asked."""
    text = os.fspath(path)
    shown = text or "."
    if not os.path.exists(shown):
        if not create:
            raise PreflightError(f"output directory {shown!r} does not exist; create it or pass --mkdir (-p)")
        try:
            os.makedirs(shown, exist_ok=True)
        except OSError as error:
            raise PreflightError(f"cannot create output directory {shown!r}: {error.strerror or error}") from None
    if not os.path.isdir(shown):
        raise PreflightError(f"output directory {shown!r} is not a directory")
    if not os.access(shown, os.W_OK | os.X_OK):
        raise PreflightError(f"cannot write to output directory {shown!r}; choose another with --output-dir")
    return text


def checked_segments(path: str, name: str | None = None) -> Report:
    """The report of a segments file without errors, else SegmentsError.
    `name`: how messages call the file (default: its path)."""
    report = check_segments(path)
    report.name = name or report.name
    if not report.ok:
        raise SegmentsError(report)
    return report


def check_voice(voice: str, local: bool) -> None:
    """With the local services the voice must be one of theirs (`vantor
    voices`); the configured services keep their own list."""
    if not voice.strip():
        raise PreflightError("the voice is empty; give the name of a voice of the speech service")
    if not local:
        return
    from .services.voices import check_voice as check_local_voice

    try:
        check_local_voice(voice)
    except ValueError as error:
        raise PreflightError(str(error)) from None


def probe_duration(video: str) -> float:
    """The container duration of `video` in seconds, by ffprobe."""
    done = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", video],
        capture_output=True, text=True,
    )
    try:
        return float(done.stdout.strip())
    except ValueError:
        reason = done.stderr.strip().splitlines()[-1:] or [f"ffprobe exit status {done.returncode}"]
        raise PreflightError(f"the downloaded video {video!r} cannot be read: {reason[0]}") from None


def _past_the_end(segments: list[dict[str, object]], duration: float) -> list[Problem]:
    """Errors for ranges starting at or after the end (an empty clip);
    warnings for ranges running past it (a shorter clip)."""
    problems = []
    for number, segment in enumerate(segments, 1):
        start, end = parse_time(str(segment["start"])), parse_time(str(segment["end"]))
        if start is not None and start >= duration:
            problems.append(Problem(number, "start", f"starts at {segment['start']} ({start:g} s), past the end "
                                                     f"of the video ({duration:.2f} s); fix its \"start\""))
        elif end is not None and end > duration:
            problems.append(Problem(number, "end", f"ends at {segment['end']} ({end:g} s), after the end of the "
                                                   f"video ({duration:.2f} s): its clip will be shorter", "warning"))
    return problems


@contextlib.contextmanager
def guard_video_duration(
    engine: ModuleType, segments: list[dict[str, object]], on_probe: Callable[[float], None] | None = None,
    warnings_to: TextIO | None = None,
) -> Iterator[None]:
    """For the run inside: after the engine's download, compares every
    segment with the video's real duration and refuses a range starting
    past the end (ffmpeg would cut an empty clip and the recap would still
    "succeed"). The engine looks `_download_video` up in its namespace at
    each use, so wrapping it there reaches every kind of download. Warnings
    go to `warnings_to` (default: sys.stdout, the run's progress stream)."""
    original = vars(engine)["_download_video"]

    def download_then_measure(url: str, output_file: str) -> None:
        original(url, output_file)
        duration = probe_duration(output_file)
        if on_probe is not None:
            on_probe(duration)
        problems = _past_the_end(segments, duration)
        errors = [p for p in problems if p.severity == "error"]
        if errors:
            raise PreflightError("; ".join(str(p).removeprefix("error: ") for p in errors)
                                 + "; nothing was narrated")
        for warning in problems:
            print(warning, file=warnings_to)

    setattr(engine, "_download_video", download_then_measure)
    try:
        yield
    finally:
        # Put back exactly what was bound, unless someone rebound it meanwhile.
        if vars(engine).get("_download_video") is download_then_measure:
            setattr(engine, "_download_video", original)
