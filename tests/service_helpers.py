"""Helpers for the local services' tests: a loopback video site and a
bounded poll of a download job."""

from __future__ import annotations

import json
import subprocess
import threading
from pathlib import Path
from urllib.parse import quote

import requests

from vantor.services.ytdlp_backend import Fetched, TransferProgress


def ask(base_url: str, address: str) -> dict:
    return requests.get(f"{base_url}/ajax/download.php?format=1080&url={quote(address, safe='')}", timeout=60).json()


def poll_until_done(progress_url: str, limit: int = 600) -> list[dict]:
    """Every poll's answer until the job finishes or fails (at most `limit`)."""
    answers = []
    for _ in range(limit):
        answer = requests.get(progress_url, timeout=15).json()
        answers.append(answer)
        if not answer["success"] or answer["progress"] >= 1000:
            return answers
        threading.Event().wait(0.1)
    raise AssertionError(f"job not done after {limit} polls: {answers[-1]}")


def streams(path: str | Path) -> dict:
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "format=format_name,duration:stream=codec_type,codec_name,height", "-of", "json", str(path)],
                         capture_output=True, text=True, check=True).stdout
    data = json.loads(out)
    return {"format": data["format"]["format_name"], "duration": float(data["format"].get("duration", 0)),
            **{s["codec_type"]: s["codec_name"] for s in data["streams"]}}


class GatedBackend:
    """A download that takes as long as the test wants (the real one cannot
    be held up on purpose): it reports progress, then waits for `release`."""

    def __init__(self, video: str, fail: bool = False, private_sources: str = "refuse",
                 stage: str = "downloading") -> None:
        self.video = video
        self.stage = stage
        self.fail = fail
        self.private_sources = private_sources
        self.release = threading.Event()
        self.calls: list[str] = []

    def admits(self, url: str, reach: str) -> bool:
        from vantor.services.source_guard import admits

        return admits(self.private_sources, url, reach)

    def fetch(self, url, height, work_dir, on_progress, cancelled) -> Fetched:
        self.calls.append(url)
        size = Path(self.video).stat().st_size
        partial = Path(work_dir) / "video.mp4.part"
        partial.write_bytes(Path(self.video).read_bytes()[: size // 2])
        on_progress(TransferProgress(0.5, size // 2, size, 1000.0, 1.0, stage=self.stage))
        while not self.release.wait(0.05):
            if cancelled.is_set():
                raise RuntimeError("cancelled")
        if self.fail:
            from vantor.services.ytdlp_backend import DownloadFailed

            raise DownloadFailed("connection reset halfway")
        done = Path(work_dir) / "video.mp4"
        done.write_bytes(Path(self.video).read_bytes())
        return Fetched(done, "gated")
