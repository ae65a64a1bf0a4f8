"""What the sound costs a warm recap, and where its loudness lands.

For one synthetic source (a steady tone for sound) and 4 ranges, on the
local services with warm caches (each variant run once before timing),
interleaved, median of `--repeats`:

- plain: the engine's own sound (narration only, clips ending with it), no captions;
- sound: source ducked under the narration, a music bed, one loudness pass
  and burned-in captions in the "bold" style, with fit "narration" (the same
  clip lengths as plain);
- sound-only: the same without captions (what the sound alone costs);
- sound+extend: the sound with captions with fit "extend" (clips keep their ranges: longer recaps);

reported as sound / plain, in wall time and in CPU seconds (this process's
and its children's: steadier than the wall time on a shared machine). Then the integrated loudness and true peak
(ffmpeg ebur128) of ten recaps with music and ten without, against the
-16 LUFS target. The machine may be shared: the load average is reported.

    .venv/bin/python bench/sound_bench.py [--repeats 3] [--no-loudness] [--json bench/sound_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

RANGES = [("2", "6"), ("10", "14"), ("20", "24"), ("30", "34")]
NARRATIONS = ["The first part opens here.", "Then the second one comes.", "A third, quicker.",
              "And the end of it all."]
WORDS = ["Blue.", "A short one.", "The crowd rises as the ball goes in.", "Then silence, and a long wait.",
         "Nobody expected what came next, least of all the keeper.", "Again."]
SPEED = 1.5


def _cpu() -> float:
    mine, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return mine.ru_utime + mine.ru_stime + children.ru_utime + children.ru_stime


def recap(page: str, segments: list[dict[str, str]], out: str, variant: str, music: str
          ) -> tuple[float, float, str]:
    from vantor.recap.engine.checked_run import execute, prepare
    from vantor.recap.engine.options import RecapSpec

    sound = {"sound": ("duck", music, "narration"), "sound-only": ("duck", music, "narration"),
             "sound+extend": ("duck", music, "extend"), "music": ("duck", music, "extend"),
             "no-music": ("duck", None, "extend")}.get(variant)
    captioned = variant in ("sound", "sound+extend")
    captions, style = ("burn", "bold") if captioned else (None, None)
    # The middle crop for every variant, so that they differ in their sound alone.
    spec = RecapSpec(voice="en-us", speed=SPEED, plain=True, captions=captions, caption_style=style) \
        if sound is None else RecapSpec(voice="en-us", speed=SPEED, captions=captions, caption_style=style,
                                        frame="center", source_audio=sound[0], music=sound[1], fit=sound[2])
    started, cpu = time.perf_counter(), _cpu()
    prepared = prepare(page, _segments_file(segments, out), spec, output_dir=out, services="local", overwrite=True)
    result = execute(prepared, progress=None)
    return time.perf_counter() - started, _cpu() - cpu, str(result.final)


def _segments_file(segments: list[dict[str, str]], out: str) -> str:
    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, "segments.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(segments, f)
    return path


def loudness(video: str) -> tuple[float, float]:
    err = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", video, "-af", "ebur128=peak=true",
                          "-f", "null", "-"], capture_output=True, text=True).stderr
    return float(re.findall(r"I:\s+(\S+) LUFS", err)[-1]), float(re.findall(r"Peak:\s+(\S+) dBFS", err)[-1])


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-loudness", action="store_true", help="time the variants only")
    parser.add_argument("--json")
    args = parser.parse_args()
    from vantor.demo.source_video import make_source_video
    from vantor.demo.video_site import VideoSite

    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="vantor-sound-bench-") as root, \
            VideoSite(os.path.join(root, "www")) as site:
        page = site.publish(make_source_video(os.path.join(root, "film.mp4"), seconds=40.0), "film")[0]
        music = os.path.join(root, "bed.mp3")
        subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=7,volume=0.5", "-ac", "2", music], check=True)
        segments = [{"start": s, "end": e, "voiceover": t} for (s, e), t in zip(RANGES, NARRATIONS)]
        variants = ("plain", "sound-only", "sound", "sound+extend")
        times: dict[str, list[float]] = {v: [] for v in variants}
        cpus: dict[str, list[float]] = {v: [] for v in variants}
        for variant in variants:  # warm the caches
            recap(page, segments, os.path.join(root, variant), variant, music)
        for _ in range(args.repeats):
            for variant in variants:
                wall, cpu, _ = recap(page, segments, os.path.join(root, variant), variant, music)
                times[variant].append(wall)
                cpus[variant].append(cpu)
        medians = {v: statistics.median(t) for v, t in times.items()}
        cpu_medians = {v: statistics.median(t) for v, t in cpus.items()}
        levels: dict[str, list[tuple[float, float]]] = {"music": [], "no-music": []}
        for n in range(0 if args.no_loudness else 10):
            texts = [WORDS[(n + k) % len(WORDS)] for k in range(2)]
            chosen = [{"start": str(4 * n), "end": str(4 * n + 3), "voiceover": texts[0]},
                      {"start": str(4 * n + 3), "end": str(4 * n + 6), "voiceover": texts[1]}]
            for kind in levels:
                out = os.path.join(root, f"{kind}-{n}")
                levels[kind].append(loudness(recap(page, chosen, out, kind, music)[2]))
    figures = {
        "seconds": {v: round(m, 3) for v, m in medians.items()},
        "cpu_seconds": {v: round(m, 3) for v, m in cpu_medians.items()},
        "sound_over_plain": round(medians["sound"] / medians["plain"], 3),
        "sound_over_plain_cpu": round(cpu_medians["sound"] / cpu_medians["plain"], 3),
        "sound_only_over_plain": round(medians["sound-only"] / medians["plain"], 3),
        "extend_over_plain": round(medians["sound+extend"] / medians["plain"], 3),
        "loudness": {kind: {"integrated": [i for i, _ in found], "true_peak": [p for _, p in found],
                            "worst_off_target_lu": round(max(abs(i + 16) for i, _ in found), 2)}
                     for kind, found in levels.items() if found},
        "load": {"before": [round(x, 2) for x in load_before], "after": [round(x, 2) for x in os.getloadavg()]},
    }
    text = json.dumps(figures, indent=2)
    print(text)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
