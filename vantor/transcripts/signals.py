"""What a video's picture and sound say without words: its loudness second
by second and the times its shots change, read from a file this product
made (the services' rewritten MP4) in one ffmpeg pass.

The picture is sampled at SHOT_FPS and scaled small before ffmpeg's scene
score compares neighbouring frames; the sound's momentary loudness (EBU R128,
400 ms) is measured every 100 ms and each second keeps its loudest. ffmpeg
writes both as text into a private folder, which is read back as untrusted:
a line that does not parse is passed over, and no more than the bounded
length of the film is read.
"""

from __future__ import annotations

import math
import re
import shutil
import tempfile
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..runner import ChildStopped, Runner
from ..services.media_format import MAX_DURATION

__all__ = ["SILENCE_LUFS", "SignalsCancelled", "SignalsFailed", "VideoSignals", "read_signals"]

SHOT_FPS = 4
PROBE_LIMIT_S = 60
STALL_S = 60.0  # ffmpeg reporting no progress for this long is stuck
SHOT_SCENE = 0.3  # ffmpeg's scene score (0-1) above which a frame starts a new shot
# Quieter than this is silence (EBU R128's absolute gate); ffmpeg says -120.7.
SILENCE_LUFS = -70.0
SOUND_STEP_SAMPLES = 4800  # 100 ms at 48 kHz
# ffmpeg's text for one 100 ms measure is about 60 bytes; this bounds a lying file's output.
MAX_TEXT_BYTES = int(MAX_DURATION * 10 * 120)
_TIME = re.compile(r"pts_time:(-?[0-9.]+(?:e[-+]?[0-9]+)?)\s*$")
_VALUE = re.compile(r"^lavfi\.(?:r128\.M|scene_score)=(-?(?:[0-9.]+(?:e[-+]?[0-9]+)?|inf))\s*$")


class SignalsFailed(Exception):
    """The file's picture or sound could not be read (one line saying why)."""


class SignalsCancelled(Exception):
    """The caller's cancel event was set; nothing was left behind."""


@dataclass(frozen=True, slots=True)
class VideoSignals:
    """`loudness[n]`: the loudest momentary loudness (LUFS) within second n
    of the video, SILENCE_LUFS for silence; `shots`: the times (s) where a
    new shot begins, in order."""

    loudness: tuple[float, ...]
    shots: tuple[float, ...]

    def to_json(self) -> dict[str, Any]:
        return {"loudness": [round(v, 1) for v in self.loudness], "shots": [round(t, 3) for t in self.shots]}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> VideoSignals:
        """From a cache entry, read as untrusted: ValueError or TypeError when it does not fit."""
        loudness, shots = data["loudness"], data["shots"]
        if not isinstance(loudness, list) or not isinstance(shots, list) or len(loudness) > MAX_DURATION + 1:
            raise ValueError("signals out of bounds")
        levels = tuple(float(v) for v in loudness)
        times = tuple(float(t) for t in shots)
        if any(not SILENCE_LUFS <= v <= 0 for v in levels) or any(not 0 <= t <= MAX_DURATION for t in times) \
                or list(times) != sorted(times):
            raise ValueError("signals out of bounds")  # NaN fails every comparison
        return cls(levels, times)


def _probe_duration(media: Path, runner: Runner) -> float:
    command = ["ffprobe", "-v", "error", "-protocol_whitelist", "file,pipe", "-show_entries", "format=duration",
               "-of", "csv=p=0", f"file:{media}"]
    try:
        said = runner.run(command, time_limit=PROBE_LIMIT_S).stdout
        duration = float(said.decode(errors="replace").strip().splitlines()[0][:40])
    except (ChildStopped, OSError, ValueError, IndexError):
        raise SignalsFailed(f"cannot read the length of {media.name}; is it a video this product made?") from None
    if not math.isfinite(duration) or duration <= 0:
        raise SignalsFailed(f"{media.name} has no length to read")
    return duration


def _pairs(path: Path, longest: float) -> list[tuple[float, float]]:
    """(time, value) from ffmpeg's metadata=print text, untrusted."""
    if not path.is_file():
        return []
    found: list[tuple[float, float]] = []
    at: float | None = None
    with open(path, "rb") as text:
        for raw in text.read(MAX_TEXT_BYTES).decode(errors="replace").splitlines():
            if (time := _TIME.search(raw)) is not None:
                at = float(time.group(1))
            elif (value := _VALUE.match(raw)) is not None and at is not None:
                number = float(value.group(1))
                if math.isfinite(at) and 0 <= at <= longest:
                    found.append((at, number if math.isfinite(number) else SILENCE_LUFS))
                at = None
    return found


def signals_from_text(loud: Sequence[tuple[float, float]], scenes: Sequence[tuple[float, float]],
                      duration: float) -> VideoSignals:
    """The signals from ffmpeg's measures: each second's loudest, and each
    frame above SHOT_SCENE as a shot's start."""
    loudness = [SILENCE_LUFS] * max(1, math.ceil(duration))
    for at, level in loud:
        second = min(int(at), len(loudness) - 1)
        loudness[second] = max(loudness[second], min(0.0, level))
    shots = sorted({round(at, 3) for at, score in scenes if score > SHOT_SCENE and at > 0})
    return VideoSignals(tuple(loudness), tuple(shots))


def read_signals(media: Path, *, progress: Callable[[float], None] | None = None,
                 cancel: threading.Event | None = None, longest: float = MAX_DURATION) -> VideoSignals:
    """The loudness and shot changes of `media`, a file this product made.
    `progress(fraction)` as the pass goes; `cancel` stops it (SignalsCancelled).
    At most `longest` seconds are read; a longer file is refused."""
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        raise SignalsFailed("reading the video needs ffmpeg and ffprobe on PATH: apt-get install ffmpeg")
    runner = Runner(stop_requested=None if cancel is None else cancel.is_set,
                    cancelled_error=lambda: SignalsCancelled("reading the video was cancelled"))
    duration = _probe_duration(media, runner)
    if duration > longest:
        raise SignalsFailed(f"{media.name} is longer than {longest / 3600:g} hours, more than is read for signals")
    graph = (f"[0:v:0]fps={SHOT_FPS},scale=160:-2,select='gt(scene,{SHOT_SCENE})',metadata=print:file=shots.txt[v];"
             f"[0:a:0]aformat=sample_rates=48000,asetnsamples=n={SOUND_STEP_SAMPLES}:p=0,ebur128=metadata=1,"
             "ametadata=print:key=lavfi.r128.M:file=loud.txt[a]")
    command = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-nostats", "-protocol_whitelist",
               "file,pipe", "-t", f"{longest:.3f}", "-i", f"file:{media.absolute()}", "-filter_complex", graph,
               "-map", "[v]", "-f", "null", "-", "-map", "[a]", "-f", "null", "-", "-progress", "pipe:1"]
    # The measures are written to relative names in a private folder: no path
    # is ever spelled inside the filter graph.
    with tempfile.TemporaryDirectory(prefix="vantor-signals-") as folder:
        try:
            with runner.stream(command, what="the signals' ffmpeg", stall_limit=STALL_S, cwd=folder) as child:
                for line in child.lines():
                    if line.startswith(b"out_time_us=") and progress is not None:
                        try:
                            progress(min(1.0, max(0.0, int(line[12:40]) / 1e6 / duration)))
                        except ValueError:
                            pass
        except ChildStopped as stopped:
            raise SignalsFailed(f"cannot read the picture and sound of {media.name}: {stopped}") from None
        said = child.stderr.decode(errors="replace").strip().splitlines()
        if cancel is not None and cancel.is_set():
            raise SignalsCancelled("reading the video was cancelled")
        if child.returncode != 0:
            if any("matches no streams" in line for line in said):
                raise SignalsFailed(f"{media.name} needs both a picture and sound to read its loudness and shots")
            why = said[-1][:200] if said else f"exit status {child.returncode}"
            raise SignalsFailed(f"cannot read the picture and sound of {media.name}: {why}")
        loud = _pairs(Path(folder) / "loud.txt", longest)
        if not loud:  # ffmpeg said nothing wrong, yet measured nothing: not a result
            raise SignalsFailed(f"no loudness was measured in {media.name}; is its sound empty?")
        found = signals_from_text(loud, _pairs(Path(folder) / "shots.txt", longest), duration)
    if progress is not None:
        progress(1.0)
    return found
