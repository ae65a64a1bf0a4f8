"""Batch benchmark: throughput of short recaps on one machine.

Runs the same jobs (default 8, two segments each) on an embedded Dask
cluster of 1 worker (one after another) and of 2 workers (default), against
the loopback stand-ins in this process, and reports per configuration: the
wall time of the batch, the jobs' own time inside the workers, the
throughput, and the scheduling overhead per job (the workers' busy
capacity not spent inside a job: workers x wall - sum of job times, per
job). The clusters are started before the clock runs; their start-up time is
reported on its own. Prints a table and writes JSON.

    .venv/bin/python bench/batch_bench.py [--jobs 8] [--workers 1 2] [--json bench/batch_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))  # the scripted stand-ins

SEGMENTS = [{"start": "1", "end": "2", "voiceover": "one"}, {"start": "4", "end": "5", "voiceover": "two"}]


def measure(workers: int, jobs_path: str, services, quiet) -> dict:
    from vantor.batch import run
    from vantor.batch.cluster import start_private_cluster

    started = time.perf_counter()
    client, cluster = start_private_cluster(workers)  # the cluster `vantor batch` starts: TLS, loopback
    with cluster, client:
        client.wait_for_workers(workers)
        startup = time.perf_counter() - started
        # A warm-up job per worker so the first measured jobs pay no imports.
        client.run(lambda: __import__("vantor.vantor"))
        began = time.perf_counter()
        report = run(jobs_path, client, services=services, force=True, progress=quiet)
        wall = time.perf_counter() - began
    failed = [(j.job, j.error) for j in report.jobs if j.status != "ok"]
    if failed:
        raise SystemExit(f"benchmark jobs failed: {failed}")
    job_seconds = [j.run_s for j in report.jobs]
    n = len(job_seconds)
    return {
        "workers": workers,
        "jobs": n,
        "cluster_start_s": round(startup, 2),
        "wall_s": round(wall, 2),
        "job_mean_s": round(sum(job_seconds) / n, 2),
        "jobs_per_minute": round(60 * n / wall, 2),
        "overhead_per_job_s": round((workers * wall - sum(job_seconds)) / n, 3),
        "submit_to_done_mean_s": round(sum(j.wall_s for j in report.jobs) / n, 2),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=8)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "batch_results.json"))
    args = parser.parse_args()


    from vantor.batch.progress import BatchProgress
    from standins import DownloadService, SpeechService
    from standins.addresses import StandinAddresses
    from vantor.demo.source_video import make_source_video

    with tempfile.TemporaryDirectory(prefix="vantor-batch-bench-") as tmp:
        source = make_source_video(os.path.join(tmp, "source.mp4"), seconds=12.0)
        with open(os.path.join(tmp, "segments.json"), "w") as f:
            json.dump(SEGMENTS, f)
        results = []
        with DownloadService(source, step=1000) as download, SpeechService(seconds=0.8) as speech:
            services = StandinAddresses.of(download, speech)
            for workers in args.workers:
                jobs_path = os.path.join(tmp, f"jobs-{workers}.jsonl")
                with open(jobs_path, "w") as f:
                    for i in range(args.jobs):
                        f.write(json.dumps({"url": f"https://www.youtube.com/watch?v=bench{i}",
                                            "segments": "segments.json", "voice": "en-US-TestVoice",
                                            "speed": 1.5, "output_dir": f"out-{workers}/{i}"}) + "\n")
                results.append(measure(workers, jobs_path, services, BatchProgress(args.jobs, None)))
    base = results[0]
    for result in results:
        result["speed_up"] = round(base["wall_s"] / result["wall_s"], 2)

    print(f"{'workers':>7} {'wall s':>7} {'job s':>6} {'jobs/min':>8} {'overhead/job s':>14} {'speed-up':>8} {'start s':>7}")
    for r in results:
        print(f"{r['workers']:>7} {r['wall_s']:>7} {r['job_mean_s']:>6} {r['jobs_per_minute']:>8} "
              f"{r['overhead_per_job_s']:>14} {r['speed_up']:>8} {r['cluster_start_s']:>7}")
    with open(args.json, "w") as f:
        json.dump({"machine": {"cpus": os.cpu_count(), "python": platform.python_version()},
                   "results": results}, f, indent=2)
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
