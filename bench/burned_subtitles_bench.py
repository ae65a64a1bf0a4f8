"""Looking for subtitles burned into a recap's joined video (done once per
run that draws captions, before the conversion): seconds of work per second
of joined video, ffmpeg's peak memory, and the band found, on a 1280x720
H.264 film made here whose running clock is burned text in its lower part.

    .venv/bin/python bench/burned_subtitles_bench.py [--seconds 60] [--size 1280x720]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from vantor.demo.source_video import make_source_video  # noqa: E402
from vantor.recap.captions.burned_subtitles import find_band  # noqa: E402


def read(film: str, size: str) -> None:
    """In a process of its own, so that its children's peak memory is ffmpeg's alone."""
    width, height = map(int, size.split("x"))
    began = time.perf_counter()
    band = find_band(film, width, height)
    wall = time.perf_counter() - began
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(json.dumps({"read_s": round(wall, 2), "cpu_s": round(used.ru_utime + used.ru_stime, 2),
                      "ffmpeg_peak_rss_mib": round(used.ru_maxrss / 1024, 1),
                      "band": None if band is None else [band.top, band.bottom]}))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--read", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.read:
        return read(args.read, args.size)
    with tempfile.TemporaryDirectory() as folder:
        film = make_source_video(os.path.join(folder, "film.mp4"), seconds=args.seconds, size=args.size)
        said = subprocess.run([sys.executable, __file__, "--read", film, "--size", args.size], check=True,
                              capture_output=True).stdout
    measured = json.loads(said)
    figures = {"film_s": args.seconds, "size": args.size, **measured,
               "real_time_factor": round(measured["read_s"] / args.seconds, 4), "load": os.getloadavg()[0]}
    print(json.dumps(figures, indent=2))
    (Path(__file__).with_name("burned_subtitles_results.json")).write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
