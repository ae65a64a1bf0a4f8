"""What `--timeline-only` costs against a full recap of the same ranges,
and what NAME.media/ holds for a long source.

- recap: `vantor recap` of 5 ranges of a 60 s synthetic film with the local
  services and `--timeline kdenlive,otio` (warm caches: run once first);
- timeline-only: the same with `--timeline-only` (nothing rendered);

wall and CPU (this process's children) of each, median of 3, interleaved.
Then a 30-minute film's `--timeline-only` export: the bytes NAME.media/
shows, and the bytes it adds to the disk (files that are not a second name
of the cache's). The machine may be shared: the load average is reported.

    .venv/bin/python bench/timeline_bench.py [--json bench/timeline_results.json] [--long-minutes 30]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from vantor.demo.source_video import make_source_video  # noqa: E402

SEGMENTS = [{"start": str(10 * n + 1), "end": str(10 * n + 5), "voiceover": f"Part {n + 1} of the story goes here."}
            for n in range(5)]


def _children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def _run(film: str, segments: str, out: str, cache: str, *extra: str) -> tuple[float, float]:
    env = {**os.environ, "VANTOR_CACHE_DIR": cache, "PYTHONPATH": str(ROOT)}
    env.pop("VANTOR_SERVICES_URL", None)
    shutil.rmtree(out, ignore_errors=True)
    cpu, wall = _children_cpu(), time.monotonic()
    done = subprocess.run([sys.executable, "-m", "vantor", "recap", film, segments, "--services", "local", "-q",
                           "--frame", "center", "--output-dir", out, "--timeline", "kdenlive,otio", *extra],
                          env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return time.monotonic() - wall, _children_cpu() - cpu


def _media(folder: Path) -> dict[str, int]:
    files = [path for path in folder.iterdir() if path.is_file()]
    return {"shown_bytes": sum(path.stat().st_size for path in files),
            "added_bytes": sum(path.stat().st_size for path in files if path.stat().st_nlink == 1),
            "film_links": max(path.stat().st_nlink for path in files if path.name.startswith("source"))}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", default=str(ROOT / "bench" / "timeline_results.json"))
    parser.add_argument("--long-minutes", type=float, default=30.0)
    args = parser.parse_args()
    load = [os.getloadavg()[0]]
    with tempfile.TemporaryDirectory() as scratch:
        film = make_source_video(os.path.join(scratch, "film.mp4"), seconds=60.0)
        segments = os.path.join(scratch, "segments.json")
        Path(segments).write_text(json.dumps(SEGMENTS))
        cache = os.path.join(scratch, "cache")
        _run(film, segments, os.path.join(scratch, "warm"), cache)
        figures: dict[str, list[tuple[float, float]]] = {"recap": [], "timeline_only": []}
        for _ in range(3):
            figures["recap"].append(_run(film, segments, os.path.join(scratch, "a"), cache))
            figures["timeline_only"].append(_run(film, segments, os.path.join(scratch, "b"), cache, "--timeline-only"))
        result: dict[str, object] = {
            name: {"wall_s": round(statistics.median(w for w, _ in runs), 2),
                   "cpu_s": round(statistics.median(c for _, c in runs), 2)} for name, runs in figures.items()}
        long_film = make_source_video(os.path.join(scratch, "long.mp4"), seconds=args.long_minutes * 60,
                                      size="320x180")
        started = time.monotonic()
        _run(long_film, segments, os.path.join(scratch, "long"), cache, "--timeline-only")
        media = _media(Path(scratch) / "long" / "FINAL_RECAP.media")
        result["long_source"] = {"minutes": args.long_minutes, "film_bytes": os.path.getsize(long_film),
                                 "export_wall_s": round(time.monotonic() - started, 2), **media}
    load.append(os.getloadavg()[0])
    result["load_average"] = load
    print(json.dumps(result, indent=2))
    Path(args.json).write_text(json.dumps(result, indent=2) + "\n")


if __name__ == "__main__":
    main()
