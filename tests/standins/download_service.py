"""Stand-in for the video download service.

    GET /ajax/download.php?format=1080&url=<encoded>
        {"success": true, "id": <job id>, "progress_url": "<base>/progress/<id>"}
    GET /progress/<id>
        {"success": true, "progress": <per mille>[, "download_url": "<base>/files/<id>.mp4"]}
        progress grows by `step` per poll; the file address comes with 1000.
    GET /files/<name>.mp4
        the video given at construction, with Content-Length

Each job request and each poll can be scripted to answer otherwise (a status,
any body, a stall); see `script_job` and `script_polls`.
"""

from __future__ import annotations

import os
from collections import deque
from typing import Any
from urllib.parse import parse_qs, urlsplit

from ._loopback import Answer, LoopbackService, Request

__all__ = ["DownloadService"]


def _scripted(status: int | None = None, body: object = None, delay: float | None = None) -> dict[str, Any]:
    return {"status": status, "body": body, "delay": delay}


class DownloadService(LoopbackService):
    """`video_path`: the file served to `wget`. `step`: per-mille progress
    added by each poll (500 completes a job on its 2nd poll; 0 never does)."""

    def __init__(self, video_path: str | os.PathLike[str], *, step: int = 500) -> None:
        super().__init__()
        self.video_path: str = os.fspath(video_path)
        self.step: int = step
        self.jobs: dict[int, str] = {}  # job id -> the video address asked for (decoded)
        self.polls: dict[int, int] = {}  # job id -> polls answered
        self.file_status: int = 200
        self._job_script: deque[dict[str, Any]] = deque()
        self._poll_script: deque[dict[str, Any]] = deque()

    # -- scripting ------------------------------------------------------
    def script_job(self, status: int | None = None, body: object = None, delay: float | None = None) -> None:
        """Queues the answer to the next job request. `status`: sent instead
        of 200. `body`: bytes/str sent raw, anything else as JSON, instead of
        a new job (None: a new job for a 200, an error object otherwise).
        `delay`: seconds to stall before answering."""
        with self._lock:
            self._job_script.append(_scripted(status, body, delay))

    def script_polls(self, answers: list[dict[str, Any]]) -> None:
        """Queues answers for the next polls, one each, as dicts with the
        optional keys status, body and delay (meaning as in `script_job`; a
        missing body gives the usual progress). Afterwards polls are
        answered as usual again. Every poll counts towards the job's progress."""
        with self._lock:
            self._poll_script.extend(_scripted(**answer) for answer in answers)

    def fail_files(self, status: int = 404) -> None:
        """The file endpoint answers `status` from now on."""
        with self._lock:
            self.file_status = status

    def file_url(self, job_id: int) -> str:
        return f"{self.base_url}/files/{job_id}.mp4"

    def progress_url(self, job_id: int) -> str:
        return f"{self.base_url}/progress/{job_id}"

    # -- answers --------------------------------------------------------
    def handle(self, request: Request) -> Answer:
        parts = urlsplit(request.path)
        if request.method == "GET" and parts.path == "/ajax/download.php":
            return self._job(parse_qs(parts.query).get("url", [""])[0])
        if request.method == "GET" and parts.path.startswith("/progress/"):
            return self._poll(parts.path.removeprefix("/progress/"))
        if request.method == "GET" and parts.path.startswith("/files/"):
            return self._file(parts.path.removeprefix("/files/"))
        return Answer(404, {"success": False, "error": "not found"})

    def _job(self, video_address: str) -> Answer:
        script = self._job_script.popleft() if self._job_script else _scripted()
        status = script["status"] or 200
        body = script["body"]
        if body is None:
            if status == 200:
                job_id = len(self.jobs) + 1
                self.jobs[job_id] = video_address
                self.polls[job_id] = 0
                body = {"success": True, "id": job_id, "progress_url": self.progress_url(job_id)}
            else:
                body = {"success": False, "error": f"scripted status {status}"}
        return Answer(status, body, script["delay"])

    def _poll(self, key: str) -> Answer:
        job_id = int(key) if key.isdigit() else None
        if job_id in self.polls:
            self.polls[job_id] += 1
        script = self._poll_script.popleft() if self._poll_script else _scripted()
        body = script["body"]
        if body is None:
            if job_id not in self.polls:
                return Answer(404, {"success": False, "error": "no such job"}, script["delay"])
            progress = min(1000, self.polls[job_id] * self.step)
            body = {"success": True, "progress": progress}
            if progress >= 1000:
                body["download_url"] = self.file_url(job_id)
        return Answer(script["status"] or 200, body, script["delay"])

    def _file(self, name: str) -> Answer:
        # Every job's file is the one video.
        if self.file_status != 200 or not name.endswith(".mp4"):
            return Answer(404 if self.file_status == 200 else self.file_status, "no such file\n")
        return Answer(200, file=self.video_path)
