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
from typing import TYPE_CHECKING, TextIO

from .preflight import (
    PreflightError, check_output_dir, check_speed, check_voice, checked_segments, guard_video_duration,
    probe_duration,
)
from .progress import ProgressView, showing_progress

if TYPE_CHECKING:
    from .services import LocalServices

__all__ = ["SERVICES", "PreparedRecap", "RecapResult", "execute", "fetched_and_bound", "prepare", "resolve_services",
           "services_for_run"]

# "configured": the hosts the engine was built with. "local": the local
# services, run in this process (or the `vantor serve` at
# $VANTOR_SERVICES_URL). "auto": local on a build whose hosts are
# placeholders, else configured. An http(s):// address: a running `vantor serve`.
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
    services: str  # resolved: "configured", "local" or an address
    segments: list[dict[str, object]]  # as checked; empty when the check was skipped
    warnings: list[str]  # the segments check's warnings, shown with the progress
    started: float  # time.monotonic() when the checks began


def prepare(url: str, segments_file: str | os.PathLike[str], *, voice: str, speed: float,
            output_dir: str | os.PathLike[str], services: str = "auto",
            mkdir: bool = False, segments_name: str | None = None,
            check_segments: bool = True) -> PreparedRecap:
    """Every check that can run before a service is asked anything; the
    output directory is created (with `mkdir`) only when the rest passed."""
    started = time.monotonic()
    services = resolve_services(services)
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
    check_voice(voice, local=services != "configured")
    directory = check_output_dir(output_dir, create=mkdir)
    return PreparedRecap(url, segments_path, voice, speed, directory, services, segments, warnings,
                         started)


def _is_address(text: str) -> bool:
    return text.startswith(("http://", "https://")) and len(text) > len("https://")


def _placeholder_build() -> bool:
    from .services import placeholder_hosts

    try:
        return placeholder_hosts()
    except ImportError:  # no engine built: nothing configured to prefer
        return True


def resolve_services(choice: str) -> str:
    """"configured", "local" (started in this process) or the address of a
    running `vantor serve`, from a choice of `SERVICES` or an address."""
    if choice not in SERVICES and not _is_address(choice):
        raise PreflightError(f"unknown services {choice!r}; use {', '.join(SERVICES)} or an http(s):// address")
    if choice == "auto":
        choice = "local" if _placeholder_build() else "configured"
    if choice == "local" and (address := os.environ.get("VANTOR_SERVICES_URL")):
        if not _is_address(address):
            raise PreflightError(f"VANTOR_SERVICES_URL must be the http(s):// address of a vantor serve, "
                                 f"not {address!r}")
        return address
    return choice


@contextlib.contextmanager
def fetched_and_bound(services: LocalServices, url: str, view: ProgressView) -> Iterator[LocalServices]:
    """Has the local download service fetch `url` to the end, its progress on
    `view` and with no time limit (the engine's own job then finds the file
    finished at its first poll), and routes the engine's requests to
    `services` for the block."""
    from .services import bind

    try:
        services.prefetch(url, on_progress=view.show_download)
    finally:
        view.end_download()
    with bind(services):
        yield services


@contextlib.contextmanager
def services_for_run(run: PreparedRecap, view: ProgressView) -> Iterator[LocalServices | None]:
    """The services `run` talks to, ready for the engine: the configured
    hosts as built, or local services (started here, or the `vantor serve`
    at an address) that already hold the video."""
    if run.services == "configured":
        yield None
        return
    from .services import start_local_services

    address = None if run.services == "local" else run.services
    print(f"vantor: using the local download and speech services ({f'at {address}' if address else 'on this machine'})",
          file=view)
    with start_local_services(address) as services, fetched_and_bound(services, run.url, view):
        yield services


def _count_segments(path: str) -> int:
    with open(path, encoding="utf-8") as f:
        return len(json.load(f))


def execute(run: PreparedRecap, *, progress: TextIO | None, live: bool | None = None) -> RecapResult:
    """Runs the engine; its progress lines go to `progress` (None: nowhere)."""
    from . import vantor as engine

    with showing_progress(progress, live=live, output_dir=run.output_dir) as view:
        for warning in run.warnings:
            print(warning, file=view)  # with the progress, before the download
        with services_for_run(run, view), \
                (guard_video_duration(engine, run.segments) if run.segments else contextlib.nullcontext()):
            final = engine.run_recap(run.url, run.segments_file, run.speed, run.voice, run.output_dir)
    horizontal = os.path.join(run.output_dir, "horizontal_final.mp4")
    return RecapResult(
        final=Path(final), horizontal=Path(horizontal),
        final_duration=probe_duration(final), horizontal_duration=probe_duration(horizontal),
        final_size=os.path.getsize(final), horizontal_size=os.path.getsize(horizontal),
        segments=len(run.segments) or _count_segments(run.segments_file), wall_time=time.monotonic() - run.started, encoder=view.encoder,
    )
