"""Picture against sound at every join: the flash-and-beep film (a white
frame and a beep at each whole second, key frames 3 s apart, ranges starting
between them) recapped with its own sound kept, at 1x and 1.5x. Reports, for
the joined file and the recap, the frames against the ranges' own count and
each flash's offset from its nearest beep (ms; positive: the picture late).
`--before TREE` runs a second source tree (built in place) the same way.

    .venv/bin/python bench/joins_bench.py [--before /path/to/old/tree] [--json bench/joins_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))


def child(tree: str, root: str, speed: float) -> None:
    sys.path.insert(0, tree)
    from pathlib import Path

    from flash_film import RANGES, beep_onsets, flash_film, flash_onsets, frames

    from vantor.demo.video_site import VideoSite
    from vantor.recap.api import make_recap

    film = flash_film(Path(root) / "flash.mp4", 1 if speed == 1.0 else 2)
    segments = [{"start": s, "end": e, "voiceover": text} for (s, e), text in zip(RANGES, ("One.", "No.", "Low."))]
    with VideoSite(Path(root) / "www") as site:
        page = site.publish(film, "film")[0]
        made = make_recap(page, segments, voice="en-us", speed=speed, output_dir=Path(root) / "out", mkdir=True,
                          services="local", quiet=True, source_audio="mix", fit="range", frame="center")
    report = {}
    for name, video in (("horizontal", made.horizontal), ("recap", made.final)):
        beeps = beep_onsets(video)
        report[name] = {"frames": len(frames(video)),
                        "offsets_ms": [round((f - min(beeps, key=lambda b: abs(b - f))) * 1000)
                                       for f in flash_onsets(video)], "beeps": len(beeps)}
    print(json.dumps(report))


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], float(sys.argv[4]))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--before")
    parser.add_argument("--json", default=os.path.join(ROOT, "bench", "joins_results.json"))
    args = parser.parse_args()
    trees = {"after": ROOT, **({"before": os.path.abspath(args.before)} if args.before else {})}
    results: dict[str, dict[str, object]] = {}
    with tempfile.TemporaryDirectory(prefix="vantor-joins-bench-") as root:
        env = {**os.environ, "VANTOR_CACHE_DIR": os.path.join(root, "cache")}
        env.pop("VANTOR_SERVICES_URL", None)
        for name, tree in trees.items():
            for speed in (1.0, 1.5):
                work = os.path.join(root, f"{name}-{speed}")
                os.makedirs(work)
                done = subprocess.run([sys.executable, __file__, "--child", tree, work, str(speed)], env=env,
                                      check=True, capture_output=True, text=True)
                results[f"{name} {speed}x"] = json.loads(done.stdout.strip().splitlines()[-1])
    expected = 75 + 78 + 80  # the ranges' own frames
    for key, found in results.items():
        for part, figures in found.items():
            print(f"{key:11s} {part:10s} frames {figures['frames']:4d} (ranges hold {expected}), "
                  f"{len(figures['offsets_ms'])} flashes / {figures['beeps']} beeps, offsets ms {figures['offsets_ms']}")
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump({"expected_frames": expected, "results": results}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
