"""What a warm recap costs against one ffmpeg doing the same picture work,
and what burned-in captions add to it.

For one synthetic source and 4 ranges, on the local services with warm
caches (each variant run once before timing), interleaved, median of 3:

- plain: `make_recap` without captions;
- burn: the same with `captions="burn"`;
- bold: burned with `caption_style="bold"` (each word lit while spoken; this tree only);
- floor: one ffmpeg doing the same trims, join, speed-up, scale and crop
  with the same encoder settings (libx264 ultrafast, crf 23);

reported as plain / floor and burn / plain. `--before TREE` times a second
source tree (built in place) interleaved with this one, for a before/after.
Each recap runs in a fresh interpreter with the tree on its path; the time
is taken inside it, around the call. The machine may be shared: the load
average before and after is reported with the figures.

    .venv/bin/python bench/host_bench.py [--before /path/to/old/tree] [--json bench/host_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RANGES = [("2", "6"), ("10", "14"), ("20", "24"), ("30", "34")]
NARRATIONS = ["The first part opens here.", "Then the second one comes.", "A third, quicker.",
              "And the end of it all."]
SPEED = 1.5
VF = (f"setpts={1 / SPEED:.6f}*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920")


def child(tree: str, mode: str, page: str, out: str) -> None:
    sys.path.insert(0, tree)
    from vantor import make_recap

    segments = [{"start": s, "end": e, "voiceover": text} for (s, e), text in zip(RANGES, NARRATIONS)]
    started = time.perf_counter()
    make_recap(page, segments, voice="en-us", speed=SPEED, output_dir=out, mkdir=True, services="local",
               captions=None if mode == "plain" else "burn", quiet=True, overwrite=True,
               **({"caption_style": "bold"} if mode == "bold" else {}))
    print(json.dumps({"seconds": time.perf_counter() - started}))


def recap_seconds(tree: str, mode: str, page: str, out: str, env: dict[str, str]) -> float:
    done = subprocess.run([sys.executable, __file__, "--child", tree, mode, page, out], env=env, check=True,
                          capture_output=True, text=True)
    return float(json.loads(done.stdout.strip().splitlines()[-1])["seconds"])


def floor_seconds(source: str, out: str) -> float:
    """One ffmpeg: the 4 ranges read with input seeking (as the recap's cuts
    are), joined with a tone of each range's length for sound, sped up,
    scaled, cropped and encoded once."""
    inputs, parts, labels = [], [], ""
    for n, (start, end) in enumerate(RANGES):
        inputs += ["-ss", start, "-to", end, "-i", source]
        parts.append(f"[{n}:v]setpts=PTS-STARTPTS[v{n}];sine=d={float(end) - float(start)}[a{n}];")
        labels += f"[v{n}][a{n}]"
    graph = "".join(parts) + f"{labels}concat=n={len(RANGES)}:v=1:a=1[v][a];[v]{VF}[vo];[a]atempo={SPEED}[ao]"
    started = time.perf_counter()
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", *inputs, "-filter_complex", graph, "-map", "[vo]",
                    "-map", "[ao]", "-c:a", "aac", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", out],
                   check=True)
    return time.perf_counter() - started


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", help="another source tree, built in place, timed interleaved with this one")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "host_results.json"))
    args = parser.parse_args()
    sys.path.insert(0, ROOT)
    from vantor.demo.source_video import make_source_video
    from vantor.demo.video_site import VideoSite

    trees = {"after": ROOT, **({"before": os.path.abspath(args.before)} if args.before else {})}
    modes = {t: ("plain", "burn", "bold") if t == "after" else ("plain", "burn") for t in trees}
    times: dict[str, list[float]] = {f"{t} {m}": [] for t in trees for m in modes[t]}
    times["floor"] = []
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="vantor-host-bench-") as root:
        env = {**os.environ, "VANTOR_CACHE_DIR": os.path.join(root, "cache")}
        env.pop("VANTOR_SERVICES_URL", None)
        source = make_source_video(os.path.join(root, "source.mp4"), seconds=40.0, size="1280x720")
        with VideoSite(os.path.join(root, "www")) as site:
            page = site.publish(source, "film")[0]
            for name, tree in trees.items():  # warm: the download and the narrations cached, files in the page cache
                for mode in modes[name]:
                    recap_seconds(tree, mode, page, os.path.join(root, "warm"), env)
            for _ in range(args.repeats):
                times["floor"].append(floor_seconds(source, os.path.join(root, "floor.mp4")))
                for name, tree in trees.items():
                    for mode in modes[name]:
                        out = os.path.join(root, f"{name}-{mode}")
                        times[f"{name} {mode}"].append(recap_seconds(tree, mode, page, out, env))
    median = {key: statistics.median(values) for key, values in times.items()}
    ratios = {}
    for name in trees:
        ratios[f"{name} plain/floor"] = median[f"{name} plain"] / median["floor"]
        ratios[f"{name} burn/plain"] = median[f"{name} burn"] / median[f"{name} plain"]
    ratios["after bold/plain"] = median["after bold"] / median["after plain"]
    report = {"median_s": median, "runs_s": times, "ratios": ratios, "load_before": load_before,
              "load_after": os.getloadavg(), "cpus": os.cpu_count()}
    for key, value in median.items():
        print(f"{key:14s} {value:7.2f} s  ({', '.join(f'{v:.2f}' for v in times[key])})")
    for key, value in ratios.items():
        print(f"{key:20s} {value:5.2f}x")
    print(f"load average before {load_before[0]:.1f}, after {report['load_after'][0]:.1f} on {os.cpu_count()} CPUs")
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
