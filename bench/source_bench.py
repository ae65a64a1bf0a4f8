"""Source codec benchmark: the cold recap of a long VP9/Opus WebM beside the
same film as H.264/AAC MP4, and the cold recap of a 5-minute H.264 film.

Each source is a 720p, 25 fps film with sound, made once with ffmpeg and
kept in bench/sources/ (a 30-minute VP9 film takes a while on two cores);
each is served on a loopback video site. Each recap is `vantor recap` of
the film's page with the local services, 6 ranges of 8 s spread over the
film, default options, in a fresh cache (so it downloads, rewrites and
speaks everything). The long pair runs interleaved (H.264, VP9, H.264, ...)
so that the machine's load falls on both alike. Reports wall time, CPU
seconds (the recap's process and every child it waited for) and the load
average around each run. `--checkout DIR` runs every recap a second time
with another checkout's `vantor` (its engine built there), interleaved too,
and reports this checkout's short recap over the other's (wall and CPU).
`--short-only` leaves the long pair out. Prints the figures and writes JSON.

    .venv/bin/python bench/source_bench.py [--minutes 30] [--rounds 1] [--checkout /work/main]
        [--short-only] [--json bench/source_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

SOURCES = ROOT / "bench" / "sources"
SIZE, RATE, GOP = "1280x720", 25, 100  # a key frame every 4 s
RANGES, RANGE_SECONDS = 6, 8
# Both at the same bitrate, so the downloads weigh alike; VP9 cheap to make in its real-time mode.
CODECS = {
    "h264": ("mp4", ["-c:v", "libx264", "-preset", "ultrafast", "-b:v", "1M", "-c:a", "aac", "-b:a", "96k"]),
    "vp9": ("webm", ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-row-mt", "1",
                     "-b:v", "1M", "-c:a", "libopus", "-b:a", "96k"]),
}


def source(codec: str, minutes: float) -> Path:
    """The cached film, made now if it is missing."""
    ext, options = CODECS[codec]
    path = SOURCES / f"{codec}-{minutes:g}min-720p.{ext}"
    if path.exists():
        return path
    SOURCES.mkdir(parents=True, exist_ok=True)
    partial = path.with_name("partial-" + path.name)
    seconds = minutes * 60
    print(f"making {path.name} (once) ...", flush=True)
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", f"testsrc2=s={SIZE}:r={RATE}",
                    "-f", "lavfi", "-i", "sine=frequency=330:sample_rate=48000", "-t", str(seconds),
                    "-pix_fmt", "yuv420p", "-g", str(GOP), *options, str(partial)], check=True)
    partial.rename(path)
    return path


def segments(minutes: float) -> list[dict[str, str]]:
    step = minutes * 60 / RANGES
    return [{"start": f"{step * n + step / 3:.1f}", "end": f"{step * n + step / 3 + RANGE_SECONDS:.1f}",
             "voiceover": f"Scene {n + 1}: the story moves on, and the hero learns something new."}
            for n in range(RANGES)]


def voice() -> str:
    from vantor.services.piper_backend import bundled_voice, piper_version

    return "en-US-GuyNeural" if piper_version() and bundled_voice() else "en-us"


def recap(checkout: Path, address: str, plan: list[dict[str, str]], work: Path) -> dict[str, float]:
    """One cold recap: wall seconds, CPU seconds, the load before and after."""
    from child_env import child_env

    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    (work / "segments.json").write_text(json.dumps(plan))
    env = child_env(VANTOR_CACHE_DIR=str(work / "cache"))
    env.pop("VANTOR_SERVICES_URL", None)
    env["PYTHONPATH"] = str(checkout)
    load_before = os.getloadavg()[0]
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vantor", "recap", address, str(work / "segments.json"),
                           "--services", "local", "--voice", voice(), "--mkdir", "--output-dir", str(work / "out")],
                          cwd=checkout, env=env, capture_output=True, text=True, timeout=3600)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise SystemExit(f"the recap failed ({checkout}): {done.stderr.strip().splitlines()[-1:]}")
    cpu = (after.ru_utime - used.ru_utime) + (after.ru_stime - used.ru_stime)
    shutil.rmtree(work, ignore_errors=True)
    return {"wall_s": round(wall, 1), "cpu_s": round(cpu, 1), "load_before": round(load_before, 2),
            "load_after": round(os.getloadavg()[0], 2)}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=30.0, help="the long pair's length")
    parser.add_argument("--short-minutes", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--checkout", type=Path, help="another checkout to run beside this one")
    parser.add_argument("--short-only", action="store_true", help="only the short H.264 recap")
    parser.add_argument("--json", default=str(ROOT / "bench" / "source_results.json"))
    args = parser.parse_args()
    from vantor.demo.video_site import VideoSite

    checkouts = {"this": ROOT, **({"other": args.checkout.resolve()} if args.checkout else {})}
    runs = [] if args.short_only else [(f"{codec}_{args.minutes:g}min", codec, args.minutes) for codec in ("h264", "vp9")]
    runs.append((f"h264_{args.short_minutes:g}min", "h264", args.short_minutes))
    results: dict[str, object] = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores (shared), CPython {platform.python_version()}",
        "date": time.strftime("%Y-%m-%d %H:%M"), "source": f"{SIZE}, {RATE} fps, key frame every {GOP} frames",
        "ranges": f"{RANGES} of {RANGE_SECONDS} s, voice {voice()}, default options, fresh cache",
        "checkouts": {name: str(path) for name, path in checkouts.items()}}
    films = {name: source(codec, minutes) for name, codec, minutes in runs}
    figures: dict[str, dict[str, list[dict[str, float]]]] = {name: {c: [] for c in checkouts} for name, _, _ in runs}
    with tempfile.TemporaryDirectory() as tmp, VideoSite(Path(tmp) / "www") as site:
        pages = {name: site.publish(film, name.replace(".", "_"))[0] for name, film in films.items()}
        for n in range(args.rounds):
            for name, _, minutes in runs:
                order = list(checkouts.items())
                for label, checkout in order if n % 2 == 0 else order[::-1]:  # each goes first in turn
                    got = recap(checkout, pages[name], segments(minutes), Path(tmp) / "run")
                    figures[name][label].append(got)
                    print(f"round {n + 1}: {name} ({label}): {got['wall_s']} s wall, {got['cpu_s']} s CPU, "
                          f"load {got['load_before']} -> {got['load_after']}", flush=True)
    results["runs"] = figures

    def best(name: str, label: str, key: str) -> float:
        return min(run[key] for run in figures[name][label])

    short = runs[-1][0]
    if "other" in checkouts:
        results[f"{short}_this_over_other"] = {key: round(best(short, "this", key) / best(short, "other", key), 2)
                                               for key in ("wall_s", "cpu_s")}
        print(f"{short}: this / other cold recap: {results[f'{short}_this_over_other']} (target: at most 0.65)")
    for label in checkouts if not args.short_only else ():
        long_h264, long_vp9 = runs[0][0], runs[1][0]
        results[f"vp9_over_h264_{label}"] = {key: round(best(long_vp9, label, key) / best(long_h264, label, key), 2)
                                             for key in ("wall_s", "cpu_s")}
        print(f"{label}: VP9 / H.264 cold recap of {args.minutes:g} min: "
              f"{results[f'vp9_over_h264_{label}']} (target: wall at most 1.3)")
    Path(args.json).write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
