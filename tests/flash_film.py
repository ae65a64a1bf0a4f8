"""A film that flashes white and beeps at the same instant every second,
its key frames 3 s apart, and how to read the flashes, the beeps and the
frames back from a recap of it (the exact-join tests and bench/joins_bench.py)."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

import numpy as np

BEEP = 5000  # Hz, clear of the narration's band
RATE = 25
RANGES = [("1.5", "4.5"), ("5.2", "8.3"), ("9.7", "12.9")]  # key frames at 0, 3, 6, 9, 12 s
FLASHES = 9  # whole seconds inside the ranges: 2-4, 6-8, 10-12
SYNC = 0.045  # lips visibly miss their words past this


def ffmpeg(*args: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(["ffmpeg", "-nostdin", "-v", "error", *args], capture_output=True, check=True)


def flash_film(path: Path, lit: int) -> str:
    """14 s at 25 fps, white for `lit` frames and a 30 ms beep at each whole second."""
    picture = f"color=black:s=160x90:r={RATE}:d=14,drawbox=c=white:t=fill:enable='lt(mod(n\\,{RATE})\\,{lit})'"
    beep = f"aevalsrc='if(lt(mod(t\\,1)\\,0.03)\\,0.8*sin(2*PI*{BEEP}*t)\\,0)':s=48000:d=14"
    ffmpeg("-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", beep, "-c:v", "libx264", "-preset", "ultrafast",
           "-g", "75", "-keyint_min", "75", "-sc_threshold", "0", "-c:a", "aac", "-shortest", str(path))
    return str(path)


def frames(video: Path) -> list[tuple[float, float]]:
    """(time, mean brightness) of every frame, as decoded."""
    shown = subprocess.run(["ffmpeg", "-nostdin", "-i", str(video), "-an", "-vf", "signalstats,metadata=print:key="
                            "lavfi.signalstats.YAVG:file=-", "-f", "null", "-"], capture_output=True, text=True).stdout
    times = [float(t) for t in re.findall(r"pts_time:(\S+)", shown)]
    return list(zip(times, (float(y) for y in re.findall(r"YAVG=(\S+)", shown))))


def flash_onsets(video: Path) -> list[float]:
    seen = frames(video)
    return [t for (t, y), (_, before) in zip(seen, [(0.0, 0.0), *seen]) if y > 128 >= before]


def beep_onsets(video: Path) -> list[float]:
    raw = ffmpeg("-i", str(video), "-vn", "-af", f"bandpass=f={BEEP}:width_type=q:w=20,bandpass=f={BEEP}:"
                 "width_type=q:w=20", "-ac", "1", "-ar", "48000", "-f", "s16le", "-").stdout
    loud = np.nonzero(np.abs(np.frombuffer(raw, np.int16)) > 1500)[0]
    starts = loud[np.concatenate(([True], np.diff(loud) > 4800))]  # 0.1 s of quiet between beeps
    return [float(s) / 48000 for s in starts]
