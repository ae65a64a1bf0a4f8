"""What the studio shows of the framing: each range's camera path in the
source's own time (so the crop window can be drawn over the player as it
plays) and a still of a range's first frame as the recap will frame it.

Both read the studio's own copy of the loaded film, as the timeline's
thumbnails do. A range is analysed as the recap's smart framing analyses
(frame_analysis, the same cache folder), at the source's own speed; a range
already analysed is answered from the cache.

Questions are bounded (`FramingQueue`): one analysis runs, a few wait, and
any more are answered busy at once, so queued analyses never hold the
server's threads; `stop()` ends the running one (the studio is going away).
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..recap.framing import frame_analysis
from ..recap.framing.frame_step import framing_cache_dir
from ..recap.framing.modes import ASPECTS, camera_path, framing_filter, smart_filter
from ..runner import ChildStopped, Runner, run

__all__ = ["FramingBusy", "FramingQueue", "FramingRefused", "LAYOUTS", "MAX_RANGES", "MAX_SECONDS", "RangePath",
           "range_paths", "still"]

LAYOUTS = ("crop", "blur", "fit")  # a still's: a crop at a given centre, or the whole picture
MAX_RANGES = 64  # ranges in one question
MAX_SECONDS = 3600.0  # of ranges in one question: the analysis reads each of them
STILL_HEIGHT = 480  # the still is sent small; the recap's own size is only its shape
TIMEOUT = 120.0  # seconds for one still
STILL_BYTES = 8 << 20  # a still's JPEG is far smaller; one this large is not answered
WAITING = 2  # framing questions that wait behind the one being analysed; more are busy
STILLS = 2  # stills made at once; more are busy
_analysing = threading.Lock()  # one analysis at a time: each runs ffmpeg on the machine's cores


class FramingRefused(ValueError):
    """A question the studio does not answer, in one line for the page."""


class FramingBusy(Exception):
    """Too many framing questions at once (503, one line)."""


class FramingQueue:
    """The studio's framing questions: at most one analysing and WAITING
    waiting (each holds a thread while it waits), at most STILLS stills
    of ranges and STILLS of caption looks (the page asks for those apart).
    `stop()` kills the running analysis and refuses the rest."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._admitted = {"analysis": 0, "still": 0, "caption still": 0}
        self.stopped: bool = False
        # Starts the analyses' children; `stop()` cancels it, ending the running one.
        self.runner: Runner = Runner(start_child=self._start_child,
                             cancelled_error=lambda: FramingBusy("busy: the studio is stopping"))

    @contextmanager
    def admitted(self, kind: str) -> Iterator[None]:
        bound = 1 + WAITING if kind == "analysis" else STILLS
        with self._lock:
            if self.stopped:
                raise FramingBusy("busy: the studio is stopping")
            if self._admitted[kind] >= bound:
                raise FramingBusy(f"busy: {self._admitted[kind]} framing questions are waiting; ask again shortly")
            self._admitted[kind] += 1
        try:
            yield
        finally:
            with self._lock:
                self._admitted[kind] -= 1

    def _start_child(self, argv: list[str], **options: Any) -> subprocess.Popen[Any]:
        if self.stopped:
            raise FramingBusy("busy: the studio is stopping")
        return subprocess.Popen(argv, **options)

    def stop(self) -> None:
        with self._lock:
            self.stopped = True
        self.runner.cancel()  # the running analysis's ffmpeg and its group


@dataclass(frozen=True)
class RangePath:
    start: float
    end: float
    keys: tuple[tuple[float, float], ...]  # (source time, crop centre as a share of the scaled width)
    whole: tuple[tuple[float, float], ...]  # source-time spans shown whole over blur (two subjects apart)
    found: bool  # a subject was found somewhere in the range

    def as_json(self) -> dict[str, object]:
        return {"start": self.start, "end": self.end, "keys": [[round(t, 3), round(x, 4)] for t, x in self.keys],
                "whole": [list(span) for span in self.whole], "found": self.found}


def range_paths(video: str, ranges: Sequence[tuple[float, float]], aspect: str,
                cache_dir: Path | None = None, queue: FramingQueue | None = None) -> list[RangePath]:
    """Each range's smart camera path, analysed (or read from the cache)."""
    if aspect not in ASPECTS:
        raise FramingRefused(f"the aspect must be one of {', '.join(ASPECTS)}")
    if len(ranges) > MAX_RANGES or sum(end - start for start, end in ranges) > MAX_SECONDS:
        raise FramingRefused(f"at most {MAX_RANGES} ranges of {MAX_SECONDS:.0f} s in all are analysed at once")
    folder = cache_dir or framing_cache_dir()
    width, height = ASPECTS[aspect]
    paths = []
    for start, end in ranges:
        found = _analysis(video, start, end, folder, width, height, queue or FramingQueue())
        scale = max(width / found.width, height / found.height)
        scaled = found.width * scale
        samples = found.samples
        keys = camera_path(samples, scaled_width=scaled, crop_width=width, speed=1.0, fps=found.fps) \
            if scaled > width + 1 and samples else [(0.0, 0.5)]
        whole = frame_analysis.apart_shots(samples) if scaled > width + 1 else []
        paths.append(RangePath(start, end, tuple((start + t, x) for t, x in keys),
                               tuple((round(start + a, 3), round(min(end, start + b), 3)) for a, b in whole),
                               any(s.subject is not None for s in samples)))
    return paths


def _analysis(video: str, start: float, end: float, folder: Path, width: int, height: int,
              queue: FramingQueue) -> frame_analysis.Analysis:
    # The loaded copy, by its path and its file's identity (a later load is another copy).
    info = os.stat(video)
    key = hashlib.sha256(f"studio|{frame_analysis.VERSION}|{video}|{info.st_ino}|{info.st_size}|{info.st_mtime_ns}|"
                         f"{start:.3f}|{end:.3f}|{width}x{height}".encode()).hexdigest()
    with _analysing:
        found = frame_analysis.cached(folder, key)
        if found is None:
            try:
                picture = frame_analysis.probe_picture(video, "file", queue.runner)
                scale = max(width / picture[0], height / picture[1])
                found = frame_analysis.analyse(video, min(1.0, width / (picture[0] * scale)), start=start,
                                               end=end, protocols="file", runner=queue.runner, picture=picture)
            except (ValueError, KeyError, IndexError) as error:
                if queue.stopped:
                    raise FramingBusy("busy: the studio is stopping") from None
                raise FramingRefused(f"the range {start:.2f}-{end:.2f} s could not be analysed: {error}") from None
            frame_analysis.store(folder, key, found)
    return found


def still(video: str, at: float, layout: str, centre: float, aspect: str) -> bytes:
    """One JPEG: the frame at `at` s framed as the recap frames it (the same
    filters), sent at STILL_HEIGHT pixels high."""
    if layout not in LAYOUTS or aspect not in ASPECTS or not 0.0 <= centre <= 1.0 or not at >= 0.0:
        raise FramingRefused(f"a still needs a layout of {', '.join(LAYOUTS)}, a centre from 0 to 1, a time "
                             f"and an aspect of {', '.join(ASPECTS)}")
    try:  # the window placed as the recap places it, to the output's pixel
        picture: tuple[int, int] | None = frame_analysis.probe_picture(video, "file")[:2]
    except (ValueError, KeyError, IndexError):
        picture = None
    framed = smart_filter(aspect, f"{centre:.4f}", picture) if layout == "crop" else framing_filter(layout, aspect)
    try:
        done = run(["ffmpeg", "-v", "error", "-nostdin", "-protocol_whitelist", "file",
                    "-ss", f"{at:.3f}", "-i", video, "-vf", f"{framed},scale=-2:{STILL_HEIGHT}",
                    "-frames:v", "1", "-f", "image2pipe", "-c:v", "mjpeg", "-"], time_limit=TIMEOUT, keep=STILL_BYTES)
    except ChildStopped:
        raise FramingRefused("no still could be made of the video in time") from None
    if done.returncode != 0 or not done.stdout.startswith(b"\xff\xd8") or len(done.stdout) >= STILL_BYTES:
        raise FramingRefused("no still could be made of the video at that time")
    return bytes(done.stdout)
