"""Soak: many recaps in one process, to show that nothing builds up.

Runs run_recap again and again (200 times by default) on a tiny synthetic
source (2 s, 160x90) with one segment, against the loopback stand-ins in a
process of their own: real download client, wget, speech client and ffmpeg.
The mandated pauses (3 s before each progress poll, 0.5 s after each
narration) are skipped, since they only wait. Reports the resident set size
after the first run and after the last, and the time per run; every run must
leave exactly the two outputs behind.

    .venv/bin/python bench/soak.py [--runs 200] [--json bench/soak.json]
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import platform
import statistics
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))  # the scripted stand-ins
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench import StandInProcess, current_rss_kb  # noqa: E402  (the benchmark's own helpers)

OUTPUTS = ["FINAL_RECAP.mp4", "horizontal_final.mp4"]
SEGMENTS = [{"start": "0.2", "end": "1.4", "voiceover": "Soak."}]


def soak(runs: int) -> dict:
    import vantor.vantor as engine
    from standins import ServiceRouter
    from vantor.demo.source_video import make_source_video

    with tempfile.TemporaryDirectory(prefix="vantor-soak-") as tmp:
        source = make_source_video(os.path.join(tmp, "source.mp4"), seconds=2.0, size="160x90", rate=10)
        segments_file = os.path.join(tmp, "segments.json")
        with open(segments_file, "w", encoding="utf-8") as f:
            json.dump(SEGMENTS, f)
        out = os.path.join(tmp, "out")
        os.mkdir(out)
        services = StandInProcess(source)
        saved = dict(vars(engine))
        try:
            router = ServiceRouter(services.download, services.speech)
            engine.requests = router
            engine.time = types.SimpleNamespace(sleep=lambda seconds: None)
            times, rss, objects = [], [], None
            with open(os.devnull, "w") as quiet:
                for run in range(runs):
                    started = time.perf_counter()
                    real_stdout, sys.stdout = sys.stdout, quiet
                    try:
                        engine.run_recap("https://www.youtube.com/watch?v=soak", segments_file, 1.5, "soak", out)
                    finally:
                        sys.stdout = real_stdout
                    times.append(time.perf_counter() - started)
                    router.calls.clear()  # the router's own record of requests is not the engine's
                    rss.append(current_rss_kb())
                    if run in (0, runs - 1):  # Python's own view: blocks and objects by type, settled
                        gc.collect()
                        objects = (sys.getallocatedblocks(), collections.Counter(
                            type(o).__qualname__ for o in gc.get_objects()), objects)
                    left = sorted(os.listdir(out))
                    if left != OUTPUTS:
                        raise SystemExit(f"run {run + 1} left {left} in the output directory")
                    print(f"\r  run {run + 1}/{runs}: {times[-1]:.2f} s, RSS {rss[-1] / 1024:.1f} MB",
                          end="", flush=True)
            print()
        finally:
            for name, value in saved.items():
                setattr(engine, name, value)
            services.close()
    blocks_last, counts_last, (blocks_first, counts_first, _) = objects
    return {
        "runs": runs,
        "allocated_blocks_growth": blocks_last - blocks_first,
        "object_growth_by_type": dict((counts_last - counts_first).most_common(5)),
        "rss_after_first_kb": rss[0],
        "rss_after_last_kb": rss[-1],
        "rss_growth_kb": rss[-1] - rss[0],
        "rss_max_kb": max(rss),
        "seconds_per_run_mean": statistics.fmean(times),
        "seconds_per_run_median": statistics.median(times),
        "seconds_per_run_max": max(times),
        "total_seconds": sum(times),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, CPython {platform.python_version()}",
        "date": time.strftime("%Y-%m-%d"),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200, help="recaps to run (default 200)")
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "soak.json"), help="where to write figures")
    args = parser.parse_args()
    print(f"soak: {args.runs} recaps in one process on a 2 s 160x90 source")
    figures = soak(args.runs)
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(figures, f, indent=2)
        f.write("\n")
    print(f"RSS after run 1: {figures['rss_after_first_kb'] / 1024:.1f} MB; after run {figures['runs']}: "
          f"{figures['rss_after_last_kb'] / 1024:.1f} MB (growth {figures['rss_growth_kb']} kB, "
          f"max {figures['rss_max_kb'] / 1024:.1f} MB)")
    print(f"Python allocated blocks: {figures['allocated_blocks_growth']:+d} between run 1 and run "
          f"{figures['runs']}; objects grown by type: {figures['object_growth_by_type'] or 'none'}")
    print(f"time per run: mean {figures['seconds_per_run_mean']:.2f} s, median "
          f"{figures['seconds_per_run_median']:.2f} s, max {figures['seconds_per_run_max']:.2f} s "
          f"({figures['total_seconds']:.0f} s in all)")
    print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
