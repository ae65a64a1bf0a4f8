"""Download service benchmark: what the rewrite of every download into a
fresh MP4 costs, and how soon a picture past 8K is refused.

For a 60 s 640x360 source as H.264/AAC MP4 (the rewrite copies the streams)
and as VP9/Opus WebM (it converts them), measures the rewrite alone (median
of 3) and a whole `vantor recap` of that address with the local services
(6 narrated segments, fresh cache, so the recap's time includes the download
and its rewrite), and reports the rewrite as a share of the recap. Then
serves an 8192x8192 H.264 file and times its job from request to refusal.
Prints the figures and writes JSON.

    .venv/bin/python bench/rewrite_bench.py [--json bench/rewrite_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

SECONDS = 60.0
SEGMENTS = [{"start": str(s), "end": str(s + 3), "voiceover": f"Scene {n} of the story goes on here."}
            for n, s in enumerate(range(2, 56, 9), 1)]


def time_rewrite(source: Path, work: Path) -> float:
    from vantor.services.children import Bounds
    from vantor.services.media_format import rewrite

    took = []
    for n in range(3):
        target = work / f"out{n}.mp4"
        started = time.perf_counter()
        rewrite(str(source), None, str(target), Bounds.starting_now(3600, 60))
        took.append(time.perf_counter() - started)
        target.unlink()
    return statistics.median(took)


def time_recap(address: str, work: Path) -> float:
    from child_env import child_env

    work.mkdir(parents=True, exist_ok=True)
    segments = work / "segments.json"
    segments.write_text(json.dumps(SEGMENTS))
    env = child_env(VANTOR_CACHE_DIR=str(work / "cache"))
    env.pop("VANTOR_SERVICES_URL", None)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vantor", "recap", address, str(segments), "--services", "local",
                    "--voice", "en-us", "--mkdir", "--output-dir", str(work / "out")], cwd=ROOT, env=env,
                   check=True, capture_output=True, timeout=900)
    return time.perf_counter() - started


def time_8k_refusal(work: Path) -> dict[str, float | str]:
    from hostile_site import Site, body
    from service_helpers import ask, poll_until_done
    from vantor.services.children import Bounds
    from vantor.services.media_format import NotAVideo, probe
    from vantor.services.server import InProcessServer, Services, new_token

    bomb = work / "bomb.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=blue:s=8192x8192:d=0.2:r=10",
                    "-c:v", "libx264", "-preset", "ultrafast", str(bomb)], check=True)
    started = time.perf_counter()
    try:
        probe(str(bomb), Bounds.starting_now(60, 60))
    except NotAVideo:
        pass
    probe_s = time.perf_counter() - started
    server = InProcessServer(Services(work / "cache8k", token=new_token(), private_sources="allow"))
    try:
        with Site({"/bomb.mp4": body(bomb.read_bytes())}) as site:
            started = time.perf_counter()
            job = ask(server.base_url, site.base_url + "/bomb.mp4")
            last = poll_until_done(job["progress_url"])[-1] if job["success"] else job
            job_s = time.perf_counter() - started
    finally:
        server.close()
    return {"file_bytes": bomb.stat().st_size, "header_check_s": probe_s, "job_request_to_refusal_s": job_s,
            "error": last.get("error", "")}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", default=str(ROOT / "bench" / "rewrite_results.json"))
    args = parser.parse_args()
    from standins.media import make_source_webm
    from vantor.demo.source_video import make_source_video
    from vantor.demo.video_site import VideoSite

    results: dict[str, object] = {"machine": f"{platform.machine()}, {os.cpu_count()} cores, "
                                             f"CPython {platform.python_version()}",
                                  "date": time.strftime("%Y-%m-%d"), "source": f"{SECONDS:g} s 640x360, 25 fps"}
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        sources = {"h264_aac_mp4 (stream copy)": Path(make_source_video(str(work / "film.mp4"), seconds=SECONDS)),
                   "vp9_opus_webm (converted)": Path(make_source_webm(str(work / "clip.webm"), seconds=SECONDS))}
        with VideoSite(work / "www") as site:
            for n, (name, source) in enumerate(sources.items()):
                rewrite_s = time_rewrite(source, work)
                address = site.publish(source, f"v{n}")[1]
                recap_s = time_recap(address, work / f"recap{n}")
                results[name] = {"rewrite_s": rewrite_s, "recap_wall_s": recap_s, "share": rewrite_s / recap_s}
                print(f"{name}: rewrite {rewrite_s:.2f} s of a {recap_s:.1f} s recap ({100 * rewrite_s / recap_s:.1f} %)",
                      flush=True)
        refusal = time_8k_refusal(work)
        results["8k_refusal"] = refusal
        print(f"8192x8192 H.264 ({refusal['file_bytes']} bytes): header check {refusal['header_check_s']:.2f} s, "
              f"job request to refusal {refusal['job_request_to_refusal_s']:.2f} s: {refusal['error']}")
    Path(args.json).write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
