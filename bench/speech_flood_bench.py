"""Speech flood benchmark: what 45 parallel narration requests do to the
other answers of one `vantor serve`.

A small video (about 33 KB) is fetched from a loopback page into the cache.
Then 45 requests for different narrations (espeak-ng, uncached) are sent at
once from 127.0.0.1; one second later, while they run, the bench measures
(a) downloading the cached file (a fresh job for it, its progress answer and
the file), (b) a short narration asked by another local client (source
address 127.0.0.2) and (c) one asked by the flooding client itself. It
reports each time, the flood's statuses and how long the flood took.

    .venv/bin/python bench/speech_flood_bench.py [--json FILE] [--root DIR]

bench/speech_flood_results.json holds a run before this queue (--root on a
copy of the older commit) and after it.

`--root` runs another copy of the package (an older commit, for a before/after
comparison) with this machine's tools.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import quote

import requests

ROOT = Path(__file__).resolve().parents[1]
FLOOD = 45
SPEECH = "/api/generate-audio-frontend"
LINE = ("Nobody expected the storm to arrive so early in the season, and the village had made no preparations "
        "at all for what was coming next. Number {n}, run {run}.")


def small_video(folder: Path) -> Path:
    path = folder / "film.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=15:duration=4",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=4", "-c:v", "libx264", "-preset", "veryfast",
                    "-crf", "30", "-c:a", "aac", "-b:a", "32k", "-shortest", str(path)], check=True)
    return path


def speak(port: int, path: str, text: str, source: str = "127.0.0.1") -> tuple[int, float]:
    started = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=900, source_address=(source, 0))
    try:
        connection.request("POST", path, json.dumps({"text": text, "voice": "en-us"}),
                           {"Content-Type": "application/json"})
        answer = connection.getresponse()
        answer.read()
        return answer.status, time.perf_counter() - started
    finally:
        connection.close()


def fetch_cached(base: str, address: str) -> dict[str, float]:
    """A job for the cached address, its progress answer and its file."""
    started = time.perf_counter()
    job = requests.get(f"{base}/ajax/download.php?format=1080&url={quote(address, safe='')}", timeout=900).json()
    asked = time.perf_counter()
    progress = requests.get(job["progress_url"], timeout=900).json()
    polled = time.perf_counter()
    size = len(requests.get(progress["download_url"], timeout=900).content)
    done = time.perf_counter()
    return {"job request s": round(asked - started, 3), "progress s": round(polled - asked, 3),
            "file s": round(done - polled, 3), "file bytes": size}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="write the figures here as well")
    parser.add_argument("--root", default=str(ROOT), help="the package copy to run (default: this one)")
    args = parser.parse_args()
    run = str(int(time.time()))
    with tempfile.TemporaryDirectory(prefix="vantor-flood-") as tmp:
        www = Path(tmp) / "www"
        www.mkdir()
        video = small_video(www)

        class Quiet(SimpleHTTPRequestHandler):
            def __init__(self, *a, **k):
                super().__init__(*a, directory=str(www), **k)

            def log_message(self, *a):
                pass

        site = ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
        threading.Thread(target=site.serve_forever, daemon=True).start()
        address = f"http://127.0.0.1:{site.server_address[1]}/film.mp4"
        env = {**os.environ, "PYTHONPATH": args.root, "PYTHONUNBUFFERED": "1"}
        server = subprocess.Popen([sys.executable, "-m", "vantor", "serve", "--port", "0", "--allow-private-sources",
                                   "--cache-dir", str(Path(tmp) / "cache")], cwd=args.root, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            assert server.stdout is not None
            base = server.stdout.readline().split(" on ", 1)[1].split(" ", 1)[0]
            port = int(base.split(":")[2].split("/")[0])
            path = base.split(str(port), 1)[1] + SPEECH
            for _ in range(100):
                try:
                    job = requests.get(f"{base}/ajax/download.php?url={quote(address, safe='')}", timeout=60).json()
                    break
                except requests.ConnectionError:
                    time.sleep(0.1)
            while not requests.get(job["progress_url"], timeout=60).json().get("download_url"):
                time.sleep(0.1)
            quiet = fetch_cached(base, address)
            speak(port, path, f"Warm up {run}.")
            quiet_short = speak(port, path, f"A short line {run}.", "127.0.0.2")[1]
            flood_started = time.perf_counter()
            with ThreadPoolExecutor(FLOOD + 2) as pool:
                flood = [pool.submit(speak, port, path, LINE.format(n=n, run=run)) for n in range(FLOOD)]
                time.sleep(1.0)
                loaded = fetch_cached(base, address)
                other = pool.submit(speak, port, path, f"Another client's short line {run}.", "127.0.0.2")
                same = pool.submit(speak, port, path, f"The flooder's short line {run}.")
                other_status, other_s = other.result()
                same_status, same_s = same.result()
                answers = [f.result() for f in flood]
            flood_s = time.perf_counter() - flood_started
        finally:
            server.terminate()
            server.wait(timeout=60)
            site.shutdown()
    statuses = sorted({status for status, _ in answers})
    result = {
        "machine": f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}",
        "package": args.root,
        "unloaded": {**quiet, "short narration s (other client)": round(quiet_short, 3)},
        "during the flood": {**loaded,
                             "short narration (other client)": {"status": other_status, "s": round(other_s, 3)},
                             "short narration (flooding client)": {"status": same_status, "s": round(same_s, 3)}},
        "flood": {"requests": FLOOD, **{f"status {s}": sum(a == s for a, _ in answers) for s in statuses},
                  "slowest answer s": round(max(t for _, t in answers), 3), "all answered after s": round(flood_s, 3)},
    }
    print(json.dumps(result, indent=2))
    if args.json:
        Path(args.json).write_text(json.dumps(result, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
