"""Local services benchmark: what a warm cache saves, and how fast espeak-ng
speaks on this machine.

1. The same recap (a synthetic 1280x720 video on a loopback web page, fetched
   through yt-dlp; 8 narrated segments) runs twice over one cache directory,
   each run with freshly started services. Service time is the time spent in
   the download (the prefetch, the engine's requests and wget) and in the
   narration requests; the engine's fixed pauses and ffmpeg are not in it.
   Target: the warm run spends at most 5% of the cold run's service time.
2. Speech real-time factor: seconds of synthesis (espeak-ng + MP3 encoding)
   per second of audio, for short, medium and long narrations, uncached.

    .venv/bin/python bench/services_bench.py [--json bench/services_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

SEGMENTS = 8
SOURCE_SECONDS = 120.0
WARM_TARGET_SHARE = 0.05
TEXTS = {
    "short (6 words)": "Our story begins on a quiet morning.",
    "medium (28 words)": ("The team had worked for months on the prototype, and now, with the deadline only days "
                          "away, every small failure felt like a disaster waiting to happen."),
    "long (80 words)": " ".join(["Nobody expected the storm to arrive so early in the season, and the village had"
                                 " made no preparations at all for what was coming next."] * 3),
}


class ServiceMeter:
    """Times the engine's requests and its wget run."""

    def __init__(self, router) -> None:
        self.seconds = {"download requests": 0.0, "wget": 0.0, "narrations": 0.0}
        self._router = router

    def _timed(self, part, call):
        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return call(*args, **kwargs)
            finally:
                self.seconds[part] += time.perf_counter() - started
        return timed

    def bind(self, engine) -> None:
        engine.requests = types.SimpleNamespace(get=self._timed("download requests", self._router.get),
                                                post=self._timed("narrations", self._router.post))
        wget = self._timed("wget", subprocess.run)
        engine.subprocess = types.SimpleNamespace(
            run=lambda argv, **kw: (wget if argv[0] == "wget" else subprocess.run)(argv, **kw))


def one_recap(page: str, cache: str, segments_file: str, out: str) -> dict:
    import vantor.vantor as engine
    from vantor.services import start_local_services

    saved = dict(vars(engine))
    with start_local_services(cache_dir=cache) as services, open(os.devnull, "w") as quiet:
        started = time.perf_counter()
        services.prefetch(page)
        prefetch = time.perf_counter() - started
        meter = ServiceMeter(services.router)
        meter.bind(engine)
        saved_stdout, sys.stdout = sys.stdout, quiet
        try:
            engine.run_recap(page, segments_file, 1.25, "en-US-GuyNeural", out)
        finally:
            sys.stdout = saved_stdout
            vars(engine).update(saved)
        wall = time.perf_counter() - started
    return {"prefetch_s": prefetch, **{f"{k}_s": v for k, v in meter.seconds.items()},
            "service_s": prefetch + sum(meter.seconds.values()), "wall_s": wall}


def duration(path: str) -> float:
    return float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                                check=True, capture_output=True, text=True).stdout)


def speech_rtf(repeats: int = 3) -> dict:
    from vantor.services.narrator import Narrator

    backend = Narrator()
    figures = {}
    with tempfile.TemporaryDirectory() as tmp:
        for label, text in TEXTS.items():
            best = float("inf")
            for _ in range(repeats):
                started = time.perf_counter()
                audio = backend.speak(text, "en-us")  # espeak-ng; bench/speech_bench.py measures the neural voice
                best = min(best, time.perf_counter() - started)
            path = os.path.join(tmp, "n.mp3")
            with open(path, "wb") as f:
                f.write(audio)
            seconds = duration(path)
            figures[label] = {"synthesis_s": best, "audio_s": seconds, "rtf": best / seconds}
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "services_results.json"))
    args = parser.parse_args()

    from vantor.demo.source_video import make_source_video
    from vantor.demo.video_site import VideoSite

    with tempfile.TemporaryDirectory(prefix="vantor-bench-services-") as tmp:
        source = make_source_video(os.path.join(tmp, "source.mp4"), seconds=SOURCE_SECONDS, size="1280x720")
        segments_file = os.path.join(tmp, "segments.json")
        step = SOURCE_SECONDS / SEGMENTS
        with open(segments_file, "w", encoding="utf-8") as f:
            json.dump([{"start": f"{i * step:.1f}", "end": f"{i * step + 3:.1f}",
                        "voiceover": f"Part {i + 1}: something happens here."} for i in range(SEGMENTS)], f)
        with VideoSite(os.path.join(tmp, "www")) as site:
            page, _ = site.publish(source, "film")
            runs = {}
            for name in ("cold", "warm"):
                print(f"{name} run...", file=sys.stderr)
                out = os.path.join(tmp, name)
                os.mkdir(out)
                runs[name] = one_recap(page, os.path.join(tmp, "cache"), segments_file, out)
        source_mb = os.path.getsize(source) / 2**20
    share = runs["warm"]["service_s"] / runs["cold"]["service_s"]
    rtf = speech_rtf()
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"
    report = {"machine": machine, "date": time.strftime("%Y-%m-%d"), "source_mb": source_mb, "segments": SEGMENTS,
              "runs": runs, "warm_share": share, "speech": rtf}
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
    print(f"Machine: {machine}, {report['date']}; source {source_mb:.1f} MB, {SEGMENTS} segments\n")
    print("| run | prefetch s | download requests s | wget s | narrations s | service s | wall s |")
    print("|---|---|---|---|---|---|---|")
    for name, r in runs.items():
        print(f"| {name} | {r['prefetch_s']:.2f} | {r['download requests_s']:.2f} | {r['wget_s']:.2f} | "
              f"{r['narrations_s']:.2f} | {r['service_s']:.2f} | {r['wall_s']:.2f} |")
    verdict = "within" if share <= WARM_TARGET_SHARE else "OUTSIDE"
    print(f"\nwarm/cold service time: {100 * share:.1f}% ({verdict} the 5% target)\n")
    print("| narration | synthesis s | audio s | real-time factor |")
    print("|---|---|---|---|")
    for label, r in rtf.items():
        print(f"| {label} | {r['synthesis_s']:.3f} | {r['audio_s']:.2f} | {r['rtf']:.3f} |")
    print(f"\nJSON written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
