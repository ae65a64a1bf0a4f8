"""Where a cold recap's time goes before the engine starts: the narrations'
speech and the video's download, one after the other or side by side.

`make_recap` of the 5-minute 720p H.264 film (bench/source_bench.py makes
it) on a loopback site, 6 ranges of 8 s, the local services in a fresh
cache, in a fresh interpreter per recap with each tree on its path. From
the run's events: the download's span (stage "download" to "downloaded"),
the speech's (the first narration asked to the last spoken, where the tree
says; else the time from the call to the download's start, when it spoke
first), and the time until the engine starts; with the whole recap's wall
and CPU seconds (the process and its children) and the load average around
it. `--before TREE` runs another tree, interleaved, each going first in turn.
`--serve-seconds N`: the film's file served at a steady rate over N seconds
(tests/slow_site.py), as a site reached over a network would: the download
then waits on the transfer instead of taking the CPUs.

    .venv/bin/python bench/speech_overlap_bench.py [--before /work/wt/old-main] [--rounds 2]
        [--serve-seconds 8] [--json bench/speech_overlap_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))


def child(tree: str, page: str, out: str, segments: str, voice: str) -> None:
    sys.path.insert(0, tree)
    from vantor import make_recap

    marks: dict[str, float] = {}
    started = time.perf_counter()

    def on_event(event: object) -> None:
        now = time.perf_counter() - started
        kind, text = getattr(event, "kind"), getattr(event, "text")
        if kind == "stage":
            marks.setdefault(text, now)
        elif kind == "speech":
            marks.setdefault("speech_first_asked", now)
            marks["speech_last_news"] = now

    make_recap(page, json.loads(segments), voice=voice, output_dir=out, mkdir=True, services="local", quiet=True,
               on_event=on_event)
    wall = time.perf_counter() - started
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime
    print(json.dumps({"marks": marks, "wall_s": wall, "cpu_s": cpu}))


def one(tree: str, page: str, plan: list[dict[str, str]], voice: str, work: Path) -> dict[str, float]:
    from child_env import child_env

    env = child_env(VANTOR_CACHE_DIR=str(work / "cache"))
    env.pop("VANTOR_SERVICES_URL", None)
    load_before = os.getloadavg()[0]
    done = subprocess.run([sys.executable, __file__, "--child", tree, page, str(work / "out"), json.dumps(plan), voice],
                          env=env, capture_output=True, text=True, timeout=1800, cwd=tree)
    if done.returncode != 0:
        raise SystemExit(f"the recap failed ({tree}): {done.stderr.strip().splitlines()[-1:]}")
    found = json.loads(done.stdout.strip().splitlines()[-1])
    marks = found["marks"]
    download = marks["downloaded"] - marks["download"]
    if "speech_first_asked" in marks:  # spoken beside the download
        speech = marks["speech_last_news"] - marks["speech_first_asked"]
    else:  # spoken before it
        speech = marks["download"]
    return {"wall_s": round(found["wall_s"], 1), "cpu_s": round(found["cpu_s"], 1), "speech_s": round(speech, 1),
            "download_s": round(download, 1), "until_engine_s": round(marks["engine"], 1),
            "load_before": round(load_before, 2), "load_after": round(os.getloadavg()[0], 2)}


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:7])
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", help="another tree, built in place, run interleaved with this one")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--minutes", type=float, default=5.0)
    parser.add_argument("--serve-seconds", type=float, help="serve the file at a steady rate over this long")
    parser.add_argument("--json", default=str(ROOT / "bench" / "speech_overlap_results.json"))
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT))
    sys.path.insert(0, str(ROOT / "tests"))
    import contextlib

    import source_bench
    from slow_site import SlowSite
    from vantor.demo.video_site import VideoSite

    trees = {"after": str(ROOT), **({"before": os.path.abspath(args.before)} if args.before else {})}
    film, plan, voice = source_bench.source("h264", args.minutes), source_bench.segments(args.minutes), source_bench.voice()
    runs: dict[str, list[dict[str, float]]] = {name: [] for name in trees}
    with contextlib.ExitStack() as stack:
        tmp = stack.enter_context(tempfile.TemporaryDirectory(prefix="vantor-speech-bench-"))
        if args.serve_seconds:
            page = stack.enter_context(SlowSite(film, args.serve_seconds)).address
        else:
            page = stack.enter_context(VideoSite(Path(tmp) / "www")).publish(film, "film")[0]
        for n in range(args.rounds):
            order = list(trees.items())
            for name, tree in order if n % 2 == 0 else order[::-1]:
                work = Path(tmp) / f"run-{name}-{n}"
                got = one(tree, page, plan, voice, work)
                runs[name].append(got)
                print(f"round {n + 1} {name}: {got}", flush=True)
    median = {name: {key: statistics.median(run[key] for run in found) for key in found[0]}
              for name, found in runs.items()}
    report: dict[str, object] = {"date": time.strftime("%Y-%m-%d %H:%M"), "cpus": os.cpu_count(),
                                 "served_over_s": args.serve_seconds,
                                 "film": film.name, "voice": voice, "ranges": len(plan), "runs": runs,
                                 "median": median}
    if "before" in trees:
        report["after_over_before"] = {key: round(median["after"][key] / median["before"][key], 2)
                                       for key in ("wall_s", "cpu_s", "until_engine_s")}
        print(f"after / before (medians): {report['after_over_before']}")
    Path(args.json).write_text(json.dumps(report, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
