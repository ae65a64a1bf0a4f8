"""The smart framing's look at the picture: one range of the source read
at a few frames a second and a low resolution from the range's first frame,
split into shots, and per sample the subject's centre: the faces (OpenCV's
cascade, shipped inside its wheel), else where the picture moves.

The result is cached per downloaded file (by content), range and crop
width, so a second recap of the same ranges analyses nothing.
"""

from __future__ import annotations

import hashlib
import itertools
import json
import os
import subprocess
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ...runner import ChildStopped, Runner
from .modes import Sample

__all__ = ["Analysis", "analyse", "apart_shots", "cached", "file_digest", "probe_picture", "range_key", "store"]

STALL_S = 60.0  # the decoder writing no frame for this long is stuck (a crafted file)
VERSION = 3  # of the analysis: a change here makes the cached results stale
RATE = 4.0  # samples a second
WIDTH = 320  # of the analysed picture
CUT_DIFFERENCE = 30.0  # mean absolute change of a thumbnail (0-255) that starts a new shot
MOTION_LEVEL = 24  # a pixel's change that counts as motion
MOTION_SHARE = 0.002  # of the picture's pixels moving, below which nothing moves
LARGER = 1.5  # a face this many times another's area is the subject when the two cannot share a crop
APART_SHARE = 0.5  # of a shot's samples with a subject: two faces apart there, and the shot is shown whole


@dataclass(frozen=True)
class Analysis:
    width: int  # the source picture's
    height: int
    fps: float
    samples: tuple[Sample, ...]

    def to_json(self) -> str:
        return json.dumps({"version": VERSION, "width": self.width, "height": self.height, "fps": self.fps,
                           "samples": [[s.time, s.shot, s.subject, s.apart] for s in self.samples]})

    @classmethod
    def from_json(cls, text: str) -> Analysis | None:
        data = json.loads(text)
        if data.get("version") != VERSION:
            return None
        return cls(int(data["width"]), int(data["height"]), float(data["fps"]),
                   tuple(Sample(float(t), int(shot), None if s is None else float(s), bool(apart))
                         for t, shot, s, apart in data["samples"]))


_ENDS = 1 << 20  # bytes read from each end of a film for its key


def file_digest(source: str) -> str:
    """A key for the downloaded film, once per run for all its ranges' keys:
    its size and its first and last MiB (an MP4's header and its index),
    never the whole film (a two-hour film is gigabytes)."""
    digest = hashlib.sha256()
    with open(source, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        digest.update(f"{size}|".encode())
        digest.update(f.read(_ENDS))
        if size > 2 * _ENDS:
            f.seek(size - _ENDS)
        digest.update(f.read(_ENDS))
    return digest.hexdigest()


def range_key(digest: str, start: float, end: float, crop_share: float) -> str:
    """One range of the file `digest` names, analysed for a crop of
    `crop_share` of the width (the subject is sought in a window that wide)."""
    return hashlib.sha256(f"{VERSION}|{digest}|{start:.3f}|{end:.3f}|{crop_share:.4f}".encode()).hexdigest()


def cached(cache_dir: Path, key: str) -> Analysis | None:
    from ...services.cache import private_tree

    try:
        private_tree(cache_dir)  # entries an older version left readable are tightened
        return Analysis.from_json((cache_dir / f"{key}.json").read_text(encoding="utf-8"))
    except (OSError, ValueError, KeyError, TypeError):
        return None  # absent or unreadable: analysed again


def store(cache_dir: Path, key: str, analysis: Analysis) -> None:
    from ...services.cache import private_dir, private_file

    private_dir(cache_dir)  # what a user analysed is private, as the rest of the cache
    scratch = cache_dir / f".{key}.{os.getpid()}.tmp"
    with os.fdopen(private_file(scratch), "w", encoding="utf-8") as f:
        f.write(analysis.to_json())
    os.replace(scratch, cache_dir / f"{key}.json")  # never half-written


def probe_picture(video: str, protocols: str = "file,pipe", runner: Runner | None = None) -> tuple[int, int, float]:
    try:
        done = (runner or Runner()).run(["ffprobe", "-v", "error", "-protocol_whitelist", protocols, "-select_streams",
                                         "v:0", "-show_entries", "stream=width,height,r_frame_rate", "-of", "json",
                                         video], text=True, stall_limit=STALL_S)
    except ChildStopped as stopped:
        if stopped.why == "cancelled":
            raise
        raise ValueError(str(stopped)) from None
    stream = json.loads(done.stdout or "{}").get("streams", [{}])[0]
    num, _, den = str(stream.get("r_frame_rate", "30/1")).partition("/")
    fps = float(num) / float(den or 1) if float(den or 1) else 30.0
    return int(stream["width"]), int(stream["height"]), fps if 1 <= fps <= 240 else 30.0


def analyse(video: str, crop_share: float, *, start: float | None = None, end: float | None = None,
            protocols: str = "file,pipe", start_child: Callable[..., subprocess.Popen[bytes]] = subprocess.Popen,
            runner: Runner | None = None, picture: tuple[int, int, float] | None = None) -> Analysis:
    """`crop_share`: the crop's width as a share of the scaled picture's.
    `start`, `end`: only that stretch of `video` (the samples' times count
    from `start`); `protocols`: what ffmpeg may read it through;
    `runner`: runs its ffmpeg (a run's: its cancel ends the analysis at
    once), else one starting it with `start_child` (`subprocess.Popen`'s
    signature); `picture`: `probe_picture`'s answer for `video`, when the
    caller has it (a run analysing range after range probes once)."""
    import cv2
    import numpy as np

    cv: Any = cv2  # its stubs know neither `data` nor every array the calls take

    runner = runner or Runner(start_child=start_child)
    width, height, fps = picture or probe_picture(video, protocols, runner)
    stretch = [] if start is None else ["-ss", f"{start:.3f}"]
    stretch += [] if end is None else ["-t", f"{end - (start or 0.0):.3f}"]
    rows = max(2, round(WIDTH * height / width / 2) * 2)
    # B-frames are not decoded (no other kind refers to them): a few samples a second
    # come from the I- and P-frames at about a third of the decoding's work.
    decode = ["ffmpeg", "-v", "fatal", "-nostdin", "-protocol_whitelist", protocols, "-skip_frame", "bidir",
              *stretch, "-i", video, "-an", "-vf", f"fps={RATE},scale={WIDTH}:{rows},format=gray", "-f", "rawvideo",
              "-"]
    faces = cv.CascadeClassifier(os.path.join(cv.data.haarcascades, "haarcascade_frontalface_default.xml"))
    window = max(1, round(crop_share * WIDTH))
    samples: list[Sample] = []
    shot, previous, thumb_before = 0, None, None
    with _unreadable(), runner.stream(decode, what="the framing's decoder", stall_limit=STALL_S) as child:
        # Frame by frame: a long recap's samples are never all held at once.
        while len(raw := child.read(WIDTH * rows)) == WIDTH * rows:
            frame: Any = np.frombuffer(raw, dtype=np.uint8).reshape(rows, WIDTH)
            thumb = cv.resize(frame, (32, 18), interpolation=cv.INTER_AREA).astype(np.int16)
            if thumb_before is not None and float(np.abs(thumb - thumb_before).mean()) > CUT_DIFFERENCE:
                shot, previous = shot + 1, None
            thumb_before = thumb
            found = faces.detectMultiScale(frame, scaleFactor=1.15, minNeighbors=5, minSize=(16, 16))
            profile = _faces(found, frame, np)
            if profile is None and previous is not None:
                profile = _motion(frame, previous, np)
            previous = frame
            subject = None if profile is None else _centre(profile, window, np)
            samples.append(Sample(round(len(samples) / RATE, 4), shot, subject, _apart(found, window)))
    error = child.stderr.decode(errors="replace").strip()
    if child.returncode != 0 or not samples:
        raise ValueError(f"the video cannot be read for the framing: {error[-200:] or 'no picture'}")
    return Analysis(width, height, fps, tuple(samples))


@contextmanager
def _unreadable() -> Iterator[None]:
    """The decoder stopped by a bound: a video that cannot be analysed (a cancel passes)."""
    try:
        yield
    except ChildStopped as stopped:
        if stopped.why == "cancelled":
            raise
        raise ValueError(f"the video cannot be read for the framing: {stopped}") from None


def _apart(found: Any, window: int) -> bool:
    """The two largest faces are of about one size and no crop holds both."""
    if len(found) < 2:
        return False
    first, second = sorted(((int(w) * int(h), int(x), int(w)) for x, _, w, h in found), reverse=True)[:2]
    if first[0] >= LARGER * second[0]:
        return False
    return max(first[1] + first[2], second[1] + second[2]) - min(first[1], second[1]) > window


def apart_shots(samples: Sequence[Sample]) -> list[tuple[float, float]]:
    """(start, end) in the analysed stretch of each shot in which two faces
    apart are found in at least APART_SHARE of the samples with a subject."""
    spans: list[tuple[float, float]] = []
    for _, group in itertools.groupby(samples, key=lambda s: s.shot):  # a shot's samples follow each other
        inside = list(group)
        seen = [s for s in inside if s.subject is not None]
        if seen and sum(s.apart for s in seen) >= APART_SHARE * len(seen):
            spans.append((inside[0].time, inside[-1].time + 1 / RATE))
    return spans


def _faces(found: Any, frame: Any, np: Any) -> Any:
    if len(found) == 0:
        return None
    profile = np.zeros(frame.shape[1])
    for x, _, w, h in found:
        profile[x:x + w] += h  # a larger face weighs more per column
    return profile


def _motion(frame: Any, previous: Any, np: Any) -> Any:
    moved = np.abs(frame.astype(np.int16) - previous.astype(np.int16)) > MOTION_LEVEL
    if moved.mean() < MOTION_SHARE:
        return None
    return moved.sum(axis=0).astype(float)


def _centre(profile: Any, window: int, np: Any) -> float:
    """The centre of the crop-wide window holding the most of the subject:
    two that cannot share a crop give the larger."""
    if window >= profile.size:
        weights = np.arange(profile.size) + 0.5
        return float((profile * weights).sum() / profile.sum() / profile.size)
    sums = np.convolve(profile, np.ones(window), mode="valid")
    best = np.flatnonzero(sums >= sums.max() - 1e-9)
    start = int(best[len(best) // 2])
    inside = profile[start:start + window]
    centre = start + float((inside * (np.arange(window) + 0.5)).sum() / inside.sum())  # the subject's own middle
    return float(centre / profile.size)
