"""One recap as the command line and `vantor.make_recap` run it:
checks first, then the services, then the engine with its progress shown on
a stream of the caller's choosing, then a result with the measured outputs.
"""

from __future__ import annotations

import contextlib
import json
import os
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from .preflight import (
    PreflightError, check_output_dir, check_speed, check_voice, checked_segments, guard_video_duration,
    probe_duration,
)
from .progress import showing_progress

__all__ = ["SERVICES", "PreparedRecap", "RecapResult", "execute", "prepare", "services_for_run"]

# "configured": the hosts the engine was built with. "local": services run on
# this machine. "auto": local ones when present, else the configured ones.
# Anything else is read as the address of a running local services instance.
SERVICES = ("auto", "configured", "local")


@dataclass(frozen=True)
class RecapResult:
    """What a finished recap left behind."""

    final: Path  # the 1080x1920 recap, FINAL_RECAP.mp4
    horizontal: Path  # the joined horizontal video, horizontal_final.mp4
    final_duration: float  # seconds
    horizontal_duration: float  # seconds
    final_size: int  # bytes
    horizontal_size: int  # bytes
    segments: int
    wall_time: float  # seconds, checks included
    encoder: str  # the video encoder of the conversion: "h264_nvenc" or "libx264"

    def as_json(self) -> dict[str, object]:
        return {
            "outputs": {"final": str(self.final), "horizontal": str(self.horizontal)},
            "durations": {"final": self.final_duration, "horizontal": self.horizontal_duration},
            "sizes": {"final": self.final_size, "horizontal": self.horizontal_size},
            "segments": self.segments,
            "wall_time": round(self.wall_time, 3),
            "encoder": self.encoder,
        }


@dataclass(frozen=True)
class PreparedRecap:
    """A run whose arguments passed every check that needs no service."""

    url: str
    segments_file: str
    voice: str
    speed: float
    output_dir: str
    services: str
    segments: list[dict[str, object]]  # as checked; empty when the check was skipped
    warnings: list[str]  # the segments check's warnings, shown with the progress
    started: float  # time.monotonic() when the checks began


def prepare(url: str, segments_file: str | os.PathLike[str], *, voice: str, speed: float,
            output_dir: str | os.PathLike[str], services: str = "configured",
            mkdir: bool = False, segments_name: str | None = None,
            check_segments: bool = True) -> PreparedRecap:
    """Every check that can run before a service is asked anything; the
    output directory is created (with `mkdir`) only when the rest passed."""
    started = time.monotonic()
    if services not in SERVICES and not services.startswith(("http://", "https://")):
        raise PreflightError(f"unknown services {services!r}; use {', '.join(SERVICES)} or an http(s):// address")
    if not url.strip():
        raise PreflightError("the video address is empty")
    speed = check_speed(speed)
    segments_path = os.fspath(segments_file)
    segments: list[dict[str, object]] = []
    warnings: list[str] = []
    if check_segments:
        report = checked_segments(segments_path, segments_name)
        segments = report.segments or []
        warnings = [str(problem) for problem in report.warnings]
    check_voice(voice, local=resolve_services(services) != "configured")
    directory = check_output_dir(output_dir, create=mkdir)
    return PreparedRecap(url, segments_path, voice, speed, directory, services, segments, warnings,
                         started)


def resolve_services(choice: str) -> str:
    """"configured", "local" (started in this process) or the address of a
    running `vantor serve`. "auto" is local on a build whose hosts are
    placeholders; "local" is the instance at $VANTOR_SERVICES_URL if set."""
    if choice == "auto":
        from .services import placeholder_hosts

        choice = "local" if placeholder_hosts() else "configured"
    if choice == "local":
        return os.environ.get("VANTOR_SERVICES_URL") or "local"
    return choice


@contextlib.contextmanager
def services_for_run(run: PreparedRecap) -> Iterator[None]:
    """Where the services a run talks to are made ready, and put away after.

    The engine reaches the services it was built with; that is the
    "configured" choice, and "auto" falls back to it. Starting services on
    this machine ("local", or an address of a running instance), binding
    the engine to them and fetching the video ahead of the run belong here.
    """
    from .recap_services import recap_services

    choice = None if run.services == "auto" else run.services
    with recap_services(choice, run.url, run.voice):
        yield


def _count_segments(path: str) -> int:
    with open(path, encoding="utf-8") as f:
        return len(json.load(f))


def execute(run: PreparedRecap, *, progress: TextIO | None, live: bool | None = None) -> RecapResult:
    """Runs the engine; its progress lines go to `progress` (None: nowhere)."""
    from . import vantor as engine

    with services_for_run(run), showing_progress(progress, live=live, output_dir=run.output_dir) as view, \
            (guard_video_duration(engine, run.segments) if run.segments else contextlib.nullcontext()):
        for warning in run.warnings:
            print(warning)  # into the progress, as the engine's own lines
        final = engine.run_recap(run.url, run.segments_file, run.speed, run.voice, run.output_dir)
    horizontal = os.path.join(run.output_dir, "horizontal_final.mp4")
    return RecapResult(
        final=Path(final), horizontal=Path(horizontal),
        final_duration=probe_duration(final), horizontal_duration=probe_duration(horizontal),
        final_size=os.path.getsize(final), horizontal_size=os.path.getsize(horizontal),
        segments=len(run.segments) or _count_segments(run.segments_file), wall_time=time.monotonic() - run.started, encoder=view.encoder,
    )
