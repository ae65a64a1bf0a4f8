"""The demo's synthetic source video, made locally with ffmpeg's lavfi
sources: no network and no sample files are needed."""

from __future__ import annotations

import os
import subprocess

from ..runner import run

__all__ = ["make_source_video"]


def make_source_video(path: str, seconds: float = 12.0, size: str = "640x360", rate: int = 25, *,
                      compact: bool = False) -> str:
    """Writes an H.264/AAC MP4 with moving pictures, a running clock and sound.

    Key frames every second, so stream-copy cuts land close to the asked times.
    `compact`: a file to keep (a sixth of the size, twice the encoding time).
    """
    preset = ["-preset", "veryfast", "-crf", "30"] if compact else ["-preset", "ultrafast"]
    clock = (
        "drawtext=text='%{pts\\:hms}':x=(w-tw)/2:y=h-th-20:fontsize=h/14:"
        "fontcolor=white:box=1:boxcolor=black@0.6"
    )
    video = f"testsrc2=size={size}:rate={rate}"

    def command(*picture: str) -> list[str]:
        return [
            "ffmpeg", "-y", "-loglevel", "error",
            "-f", "lavfi", "-i", video,
            "-f", "lavfi", "-i", "sine=frequency=330:sample_rate=44100",
            "-t", str(seconds),
            *picture,
            "-c:v", "libx264", *preset, "-pix_fmt", "yuv420p", "-g", str(rate),
            "-c:a", "aac", "-shortest", os.path.abspath(path),  # never read as "proto:" or "-option"
        ]

    result = run(command("-vf", clock))
    if result.returncode != 0:
        # drawtext needs a font; fall back to the plain test pattern, whose
        # own counter still moves.
        again = run(command(), capture=False)
        if again.returncode != 0:
            raise subprocess.CalledProcessError(again.returncode, command())
    return path
