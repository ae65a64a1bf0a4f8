"""Recap benchmark: where the time of a run goes, and how much memory it takes.

Runs run_recap on a synthetic source with 4, 16 and 64 segments against the
loopback stand-ins (real download client, wget, speech client and ffmpeg),
each size in a fresh interpreter so the peak RSS belongs to that run alone.
Reports total wall time, time inside outside programs by command kind, the
mandated pauses, time in service exchanges, the engine's own overhead, peak
RSS growth, and import times. Prints a table and writes JSON.

    .venv/bin/python bench/bench.py [--sizes 4 16 64] [--json bench/results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests"))  # the scripted stand-ins

KINDS = ("cut", "merge", "concat", "hardware attempt", "software conversion", "wget")
SEGMENT_SECONDS = 0.8
TARGET_OVERHEAD_SHARE = 0.01
TARGET_OVERHEAD_PER_SEGMENT_MS = 2.0
TARGET_RSS_SLACK_MB = 16.0


def command_kind(argv: list[str]) -> str:
    if argv[0] == "wget":
        return "wget"
    if "-ss" in argv:
        return "cut"
    if "-map" in argv:
        return "merge"
    if "concat" in argv:
        return "concat"
    if "h264_nvenc" in argv:
        return "hardware attempt"
    if "libx264" in argv:
        return "software conversion"
    return "other"


class Meter:
    """Wraps the engine's subprocess, time and requests to time each part."""

    def __init__(self, router):
        self.tools = dict.fromkeys(KINDS, 0.0)
        self.pauses = 0.0
        self.service = 0.0
        self.largest_narration = 0
        self._router = router

    def run(self, argv, **kwargs):
        started = time.perf_counter()
        try:
            return subprocess.run(argv, **kwargs)
        finally:
            kind = command_kind(list(argv))
            self.tools[kind] = self.tools.get(kind, 0.0) + time.perf_counter() - started

    def sleep(self, seconds):
        started = time.perf_counter()
        time.sleep(seconds)
        self.pauses += time.perf_counter() - started

    def _timed(self, method):
        def call(*args, **kwargs):
            started = time.perf_counter()
            try:
                return method(*args, **kwargs)
            finally:
                self.service += time.perf_counter() - started
        return call

    def b64decode(self, text):
        import base64

        data = base64.b64decode(text)
        self.largest_narration = max(self.largest_narration, len(data))
        return data

    def bind(self, engine):
        engine.subprocess = types.SimpleNamespace(run=self.run)
        engine.time = types.SimpleNamespace(sleep=self.sleep)
        engine.requests = types.SimpleNamespace(get=self._timed(self._router.get), post=self._timed(self._router.post))
        engine.base64 = types.SimpleNamespace(b64decode=self.b64decode)


def current_rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


class StandInProcess:
    """The stand-in services in a process of their own, so their threads
    neither share the GIL with nor add memory to the measured run."""

    def __init__(self, source: str):
        self.process = subprocess.Popen([sys.executable, __file__, "--serve", source], cwd=ROOT,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ports = json.loads(self.process.stdout.readline())
        self.download = types.SimpleNamespace(port=ports["download"])
        self.speech = types.SimpleNamespace(port=ports["speech"])

    def close(self):
        self.process.stdin.close()  # the server exits when its stdin closes
        self.process.stdout.close()
        self.process.wait(timeout=30)


def serve_until_stdin_closes(source: str) -> None:
    from standins import serve

    with serve(source) as (download, speech, _router):
        print(json.dumps({"download": download.port, "speech": speech.port}), flush=True)
        sys.stdin.read()


def one_run(count: int, source: str) -> dict:
    """Runs one recap of `count` segments in this process; returns figures."""
    import vantor.vantor as engine
    from standins import ServiceRouter

    with tempfile.TemporaryDirectory(prefix="vantor-bench-") as tmp:
        segments = [
            {"start": f"{i:.1f}", "end": f"{i + SEGMENT_SECONDS:.1f}", "voiceover": f"Segment number {i + 1}."}
            for i in range(count)
        ]
        segments_file = os.path.join(tmp, "segments.json")
        with open(segments_file, "w", encoding="utf-8") as f:
            json.dump(segments, f)
        out = os.path.join(tmp, "out")
        os.mkdir(out)
        services = StandInProcess(source)
        try:
            meter = Meter(ServiceRouter(services.download, services.speech))
            meter.bind(engine)
            rss_before = current_rss_kb()
            peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            started = time.perf_counter()
            with open(os.devnull, "w") as quiet:
                saved, sys.stdout = sys.stdout, quiet
                try:
                    engine.run_recap("https://www.youtube.com/watch?v=bench", segments_file, 1.5, "bench", out)
                finally:
                    sys.stdout = saved
            wall = time.perf_counter() - started
            peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        finally:
            services.close()
    tools = sum(meter.tools.values())
    overhead = wall - tools - meter.pauses - meter.service
    return {
        "segments": count,
        "wall_s": wall,
        "tools_s": meter.tools,
        "pauses_s": meter.pauses,
        "service_s": meter.service,
        "overhead_s": overhead,
        "overhead_per_segment_ms": overhead / count * 1000,
        "overhead_share": overhead / wall,
        "peak_rss_growth_mb": (max(peak_after, peak_before) - min(rss_before, peak_before)) / 1024,
        "largest_narration_mb": meter.largest_narration / 2**20,
    }


def engine_alone_ms_per_segment(count: int = 64, repeats: int = 5) -> float:
    """The engine's own cost per segment with every outside part stubbed:
    tools exit at once (writing empty outputs), no pauses, an in-memory
    speech answer of 12 kB. Only the engine and the file system remain."""
    import base64
    import vantor.vantor as engine

    saved = dict(vars(engine))
    audio = "data:audio/mpeg;base64," + base64.b64encode(os.urandom(12_000)).decode()

    class Answer:
        status_code = 200

        def json(self):
            return {"audio_data": audio}

    def run(argv, **kwargs):
        if argv[0] == "ffmpeg":
            open(argv[-1], "wb").close()
        return subprocess.CompletedProcess(argv, 0)

    engine.subprocess = types.SimpleNamespace(run=run)
    engine.time = types.SimpleNamespace(sleep=lambda seconds: None)
    engine.requests = types.SimpleNamespace(post=lambda *args, **kwargs: Answer())
    engine._download_video = lambda url, output_file: open(output_file, "wb").close()
    best = float("inf")
    try:
        with tempfile.TemporaryDirectory(prefix="vantor-bench-alone-") as tmp, open(os.devnull, "w") as quiet:
            segments_file = os.path.join(tmp, "segments.json")
            with open(segments_file, "w", encoding="utf-8") as f:
                json.dump([{"start": str(i), "end": str(i + 1), "voiceover": "x"} for i in range(count)], f)
            for _ in range(repeats):
                saved_stdout, sys.stdout = sys.stdout, quiet
                started = time.perf_counter()
                try:
                    engine.run_recap("https://www.youtube.com/watch?v=bench", segments_file, 1.5, "bench", tmp)
                finally:
                    sys.stdout = saved_stdout
                best = min(best, time.perf_counter() - started)
    finally:
        vars(engine).update(saved)
    return best / count * 1000


def import_seconds(statement: str, repeats: int = 5) -> float:
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    times = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, check=True, capture_output=True, text=True)
        times.append(float(out.stdout))
    return min(times)


def table(results: list[dict], imports: dict) -> str:
    head = ["segments", "wall s", *[f"{k} s" for k in KINDS], "pauses s", "services s",
            "overhead s", "overhead/seg ms", "overhead %", "peak RSS growth MB"]
    rows = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        cells = [str(r["segments"]), f"{r['wall_s']:.2f}", *[f"{r['tools_s'][k]:.2f}" for k in KINDS],
                 f"{r['pauses_s']:.2f}", f"{r['service_s']:.2f}", f"{r['overhead_s']:.3f}",
                 f"{r['overhead_per_segment_ms']:.2f}", f"{100 * r['overhead_share']:.2f}",
                 f"{r['peak_rss_growth_mb']:.1f}"]
        rows.append("| " + " | ".join(cells) + " |")
    rows.append("")
    rows.append(f"Import time: `vantor.vantor` {imports['vantor.vantor'] * 1000:.1f} ms "
                f"(requests included), `requests` alone {imports['requests'] * 1000:.1f} ms.")
    return "\n".join(rows)


def verdicts(results: list[dict]) -> list[str]:
    lines = []
    for r in results:
        rss_limit = 3 * r["largest_narration_mb"] + TARGET_RSS_SLACK_MB
        ok = (r["overhead_share"] <= TARGET_OVERHEAD_SHARE
              and r["overhead_per_segment_ms"] <= TARGET_OVERHEAD_PER_SEGMENT_MS
              and r["peak_rss_growth_mb"] <= rss_limit)
        lines.append(f"{r['segments']} segments: {'within' if ok else 'OUTSIDE'} targets "
                     f"(overhead {100 * r['overhead_share']:.2f}% <= 1%, {r['overhead_per_segment_ms']:.2f} ms/segment "
                     f"<= 2 ms, RSS growth {r['peak_rss_growth_mb']:.1f} MB <= {rss_limit:.1f} MB)")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 16, 64])
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "results.json"))
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--source", help=argparse.SUPPRESS)
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.serve is not None:  # stand-in services for a measured child
        serve_until_stdin_closes(args.serve)
        return 0
    if args.one is not None:  # child: one size, figures on stdout
        print(json.dumps(one_run(args.one, args.source)))
        return 0

    from vantor.demo.source_video import make_source_video

    with tempfile.TemporaryDirectory(prefix="vantor-bench-src-") as tmp:
        source = make_source_video(os.path.join(tmp, "source.mp4"), seconds=max(args.sizes) + 2.0, size="1280x720")
        results = []
        for size in args.sizes:
            print(f"running {size} segments...", file=sys.stderr)
            out = subprocess.run([sys.executable, __file__, "--one", str(size), "--source", source],
                                 check=True, capture_output=True, text=True, cwd=ROOT)
            results.append(json.loads(out.stdout.strip().splitlines()[-1]))
    imports = {"vantor.vantor": import_seconds("import vantor.vantor"), "requests": import_seconds("import requests")}
    alone = engine_alone_ms_per_segment()
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} {platform.python_version()}"
    report = {"machine": machine, "date": time.strftime("%Y-%m-%d"), "results": results, "imports_s": imports,
              "engine_alone_ms_per_segment": alone}
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
    print(f"Machine: {machine}, {report['date']}\n")
    print(table(results, imports))
    print(f"Engine alone (outside work stubbed, 64 segments): {alone:.3f} ms per segment.")
    print()
    print("\n".join(verdicts(results)))
    print(f"\nJSON written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
