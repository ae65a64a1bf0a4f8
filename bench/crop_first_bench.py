"""Crop-first figures: the conversion's CPU seconds with the window cropped
from the source before the scale against the picture scaled to cover and
then cropped (the graph the conversion had), on one film, for a fixed
centre and a smart path; the PSNR between the two pictures; and the form
of a hundred ranges' framing (a chain per range, each path a balanced
expression) against the one flat expression of the joined recap that
ffmpeg refused past about ninety terms.

    .venv/bin/python bench/crop_first_bench.py [--height 720] [--seconds 20]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from vantor.recap.framing.modes import path_expression, smart_filter  # noqa: E402


def film(path: Path, seconds: int, height: int) -> Path:
    width = height * 16 // 9
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=s={width}x{height}:r=30:d={seconds}",
                    "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60", str(path)], check=True)
    return path


def conversion_cpu(source: Path, vf: str, out: Path) -> float:
    """CPU seconds of one encode of `source` through `vf` as the conversion's software attempt encodes."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", str(source), "-an", "-vf", vf, "-c:v", "libx264",
                    "-preset", "ultrafast", "-crf", "23", str(out)], check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def psnr(first: Path, second: Path) -> float:
    done = subprocess.run(["ffmpeg", "-hide_banner", "-i", str(first), "-i", str(second), "-lavfi", "psnr", "-f", "null",
                           "-"], capture_output=True, text=True, check=True).stderr
    return float(done.rsplit("average:", 1)[1].split()[0])


def scale_first(centre: str) -> str:
    return (f"scale=1080:1920:force_original_aspect_ratio=increase,"
            f"crop=w=1080:h=1920:x='clip(({centre})*iw-ow/2,0,iw-ow)':y='(ih-oh)/2',setsar=1")


def flat_terms(keys: list[tuple[float, float]]) -> int:
    """The terms of the one flat expression the joined recap had: the first value and one per change."""
    return 1 + sum(1 for (_, a), (_, b) in zip(keys, keys[1:]) if abs(b - a) >= 1e-7)


def depth(expression: str) -> int:
    level = deepest = 0
    for char in expression:
        level += char == "("
        level -= char == ")"
        deepest = max(deepest, level)
    return deepest


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--seconds", type=int, default=20)
    args = parser.parse_args()
    figures: dict[str, object] = {"source": f"{args.height}p testsrc2, {args.seconds} s, libx264 ultrafast crf 23"}
    size = (args.height * 16 // 9, args.height)
    # A camera that moves every second, as a busy smart path does.
    moving = path_expression([(t / 2, 0.3 + 0.4 * ((t // 2) % 2)) for t in range(2 * args.seconds)])
    with tempfile.TemporaryDirectory(prefix="vantor-crop-bench-") as scratch:
        root = Path(scratch)
        source = film(root / "film.mp4", args.seconds, args.height)
        for name, centre in (("centre", "0.5"), ("smart", moving)):
            before = conversion_cpu(source, scale_first(centre), root / f"{name}_before.mp4")
            after = conversion_cpu(source, smart_filter("9:16", centre, size), root / f"{name}_after.mp4")
            figures[f"{name}_scale_first_cpu_s"] = round(before, 2)
            figures[f"{name}_crop_first_cpu_s"] = round(after, 2)
            figures[f"{name}_crop_first_over_scale_first"] = round(after / before, 3)
            figures[f"{name}_psnr_db"] = round(psnr(root / f"{name}_before.mp4", root / f"{name}_after.mp4"), 2)
    # A hundred ranges of 2 s, the camera moving twice in each.
    per_range = [[(0.0, 0.3), (0.5, 0.3), (1.0, 0.6), (1.5, 0.6), (1.9, 0.4)] for _ in range(100)]
    joined = [(n * 2 + t, x) for n, keys in enumerate(per_range) for t, x in keys]
    chains = [smart_filter("9:16", path_expression(keys), size) for keys in per_range]
    figures["hundred_ranges_flat_terms"] = flat_terms(joined)  # the limit was about 93
    figures["hundred_ranges_filters"] = sum(len(re.findall(r"(?:^|,)(crop|scale|setsar)=", c)) for c in chains)
    figures["hundred_ranges_deepest_nesting"] = max(depth(c) for c in chains)
    figures["hundred_ranges_graph_chars"] = sum(len(c) for c in chains)
    figures["one_path_of_the_hundred_joined_nesting"] = depth(path_expression(joined))
    figures["load"] = round(os.getloadavg()[0], 2)
    print(json.dumps(figures, indent=2))
    (Path(__file__).parent / "crop_first_results.json").write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
