"""`vantor.make_recap`: a recap from Python, with the command line's checks.

`vantor.run_recap` is the engine's own function and takes exactly what it
takes; this one accepts paths and in-memory segments, refuses bad arguments
before any download, and answers with a `RecapResult`.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from collections.abc import Mapping, Sequence
from typing import TextIO

from .recap_run import RecapResult, execute, prepare

__all__ = ["make_recap"]

Segments = str | os.PathLike[str] | Sequence[Mapping[str, object]]


def make_recap(
    url: str,
    segments: Segments,
    *,
    voice: str,
    speed: float = 1.0,
    output_dir: str | os.PathLike[str] = ".",
    mkdir: bool = False,
    services: str = "auto",
    quiet: bool = False,
    progress: TextIO | None = None,
) -> RecapResult:
    """Makes FINAL_RECAP.mp4 in `output_dir` and returns what was made.

    `segments`: the path of a segments file, or the segments themselves
    (a list of {"start", "end", "voiceover"} mappings). `mkdir`: create
    `output_dir` when missing. `services`: "auto" (the local services on a
    build whose hosts are placeholders, else the configured ones), "local",
    "configured", or the address of a running `vantor serve`. `progress`:
    where progress lines go (None: `sys.stderr` at the call; `quiet`:
    nowhere). Raises `vantor.preflight.PreflightError` for arguments that
    cannot work, before any service is asked; engine errors pass unchanged.
    """
    shown = None if quiet else (progress or sys.stderr)
    if isinstance(segments, (str, os.PathLike)):
        return _run(url, segments, None, voice, speed, output_dir, mkdir, services, shown)
    if isinstance(segments, (bytes, bytearray)) or not isinstance(segments, Sequence):
        raise TypeError(f"segments must be a path or a list of segments, not {type(segments).__name__}")
    with tempfile.TemporaryDirectory(prefix="vantor-segments-") as scratch:
        path = os.path.join(scratch, "segments.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump([dict(segment) if isinstance(segment, Mapping) else segment for segment in segments],
                      f, ensure_ascii=False)
        return _run(url, path, "segments", voice, speed, output_dir, mkdir, services, shown)


def _run(url: str, segments_file: str | os.PathLike[str], name: str | None, voice: str, speed: float,
         output_dir: str | os.PathLike[str], mkdir: bool, services: str, progress: TextIO | None) -> RecapResult:
    run = prepare(url, segments_file, voice=voice, speed=speed, output_dir=output_dir, services=services,
                  mkdir=mkdir, segments_name=name)
    return execute(run, progress=progress)
