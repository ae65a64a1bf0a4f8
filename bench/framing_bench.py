"""Framing figures: the smart analysis's time per minute of chosen ranges
(target: at most 0.15 of real time on 2 cores), a warm recap with `smart`
against the same recap with `center` (target: at most 1.3x), and the cost
of a shot shown whole over blur within the smart encode (the picture split
and the layers switched by time) against smart alone.

    .venv/bin/python bench/framing_bench.py [--height 720] [--seconds 60]
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

from vantor.demo.video_site import VideoSite  # noqa: E402
from vantor.recap.framing import frame_analysis  # noqa: E402
from vantor.recap.api import make_recap  # noqa: E402
from vantor.recap.framing.modes import camera_path, layered_filter, path_expression  # noqa: E402


def film(path: Path, seconds: int, height: int) -> Path:
    width = height * 16 // 9
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s={width}x{height}:r=30:d={seconds}",
                    "-f", "lavfi", "-i", f"color=c=white:s={width // 10}x{height // 4}:r=30:d={seconds}",
                    "-filter_complex", f"[0][1]overlay=x='{width // 8}+{width // 16}*sin(t)':y={height // 3}",
                    "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60", str(path)], check=True)
    return path


def _cpu() -> float:
    mine, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return mine.ru_utime + mine.ru_stime + children.ru_utime + children.ru_stime


def encode_seconds(source: Path, vf: str) -> float:
    """Wall seconds of one encode of `source` through `vf`, as the conversion encodes (libx264, discarded)."""
    started = time.perf_counter()
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(source), "-an", "-vf", vf, "-c:v", "libx264",
                    "-preset", "veryfast", "-f", "null", "-"], check=True)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--seconds", type=int, default=60)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vantor-framing-bench-") as scratch:
        root = Path(scratch)
        source = film(root / "film.mp4", args.seconds, args.height)
        started, cpu = time.perf_counter(), _cpu()
        found = frame_analysis.analyse(str(source), 0.32)
        analysis, cpu = time.perf_counter() - started, _cpu() - cpu
        scaled = found.width * max(1080 / found.width, 1920 / found.height)
        centre = path_expression(camera_path(found.samples, scaled_width=scaled, crop_width=1080, speed=1.0,
                                             fps=found.fps))
        third = args.seconds / 3
        picture = (found.width, found.height)
        smart_s = encode_seconds(source, layered_filter("9:16", centre, [], picture=picture))
        blurred_s = encode_seconds(source, layered_filter("9:16", centre, [(third, 2 * third, "blur")], picture=picture))
        figures: dict[str, object] = {"source": f"{args.height}p, {args.seconds} s",
                                      "analysis_s": round(analysis, 2),
                                      "analysis_share_of_real_time": round(analysis / args.seconds, 3),
                                      # CPU seconds (this process and ffmpeg's), less subject to the machine's load
                                      "analysis_cpu_s": round(cpu, 2),
                                      # the same smart encode with its middle third shown whole over blur
                                      "encode_smart_s": round(smart_s, 2), "encode_smart_blur_third_s":
                                      round(blurred_s, 2), "blur_shot_over_smart": round(blurred_s / smart_s, 3)}
        os.environ["VANTOR_CACHE_DIR"] = str(root / "cache")  # this benchmark's process only
        half = args.seconds / 2 - 1
        segments = [{"start": "0", "end": f"{half}", "voiceover": "A white box moves at the left of a test picture. " * 3},
                    {"start": f"{half + 1}", "end": f"{2 * half}", "voiceover": "It is still there, moving. " * 4}]
        with VideoSite(root / "www") as site:
            page = site.publish(source, "film")[0]
            for frame in ("center", "smart"):  # the first run of each warms the speech and the analysis
                make_recap(page, segments, voice="en-us", output_dir=root / frame, mkdir=True, services="local",
                           quiet=True, frame=frame, overwrite=True)
            for frame in ("center", "smart"):
                started = time.perf_counter()
                make_recap(page, segments, voice="en-us", output_dir=root / frame, services="local", quiet=True,
                           frame=frame, overwrite=True)
                figures[f"warm_{frame}_s"] = round(time.perf_counter() - started, 2)
        figures["warm_smart_over_center"] = round(float(figures["warm_smart_s"]) / float(figures["warm_center_s"]), 3)
        figures["load"] = os.getloadavg()[0]
        figures["uptime"] = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
        print(json.dumps(figures, indent=2))
        (Path(__file__).parent / "framing_results.json").write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
