"""Synthetic media for the stand-in services and the tests (the source video
itself is the demo's: `vantor.demo.source_video`).

Everything is made locally with ffmpeg's lavfi sources and espeak-ng, so no
network and no sample files are needed.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile

from vantor.demo.source_video import make_source_video

__all__ = ["make_source_video", "make_source_webm", "make_narration_mp3", "narration_mp3_bytes", "have_espeak"]


def have_espeak() -> bool:
    return shutil.which("espeak-ng") is not None


def make_source_webm(path: str, seconds: float = 6.0, size: str = "640x360", rate: int = 25) -> str:
    """Writes a VP9/Opus WebM, the kind of file many sites serve and the
    engine cannot cut as is."""
    subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error",
         "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
         "-t", str(seconds), "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "500k",
         "-c:a", "libopus", "-shortest", path],
        check=True,
    )
    return path


def make_narration_mp3(path: str, text: str, seconds: float | None = None) -> str:
    """Speaks `text` into an MP3 with espeak-ng, or writes a tone when it is
    missing (its length follows the word count, about 2.5 words a second)."""
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "speech.wav")
        if seconds is None and have_espeak() and text.strip():
            subprocess.run(["espeak-ng", "-w", wav, "--", text], check=True, capture_output=True)
            source = ["-i", wav]
        else:
            length = seconds if seconds is not None else max(0.5, len(text.split()) / 2.5)
            source = ["-f", "lavfi", "-i", f"sine=frequency=550:sample_rate=22050:duration={length}"]
        subprocess.run(
            ["ffmpeg", "-y", "-loglevel", "error", *source, "-c:a", "libmp3lame", "-q:a", "6",
             os.path.abspath(path)],
            check=True,
        )
    return path


def narration_mp3_bytes(text: str, seconds: float | None = None) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "narration.mp3")
        make_narration_mp3(out, text, seconds)
        with open(out, "rb") as f:
            return f.read()
