"""Download jobs: one per (address, format), run by a backend in a bounded
pool of threads, finished files kept in the shared cache.

A job request for an address that is cached finishes at once; one for an
address already being fetched joins that job; a job keeps running after its
callers stop asking, so a later request finds it further on or finished.
"""

from __future__ import annotations

import hashlib
import logging
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Callable
from typing import Protocol
from urllib.parse import urlsplit

from .cache import FileCache, is_disk_full
from .limits import Limits
from .ytdlp_backend import Cancelled, DownloadFailed, Fetched, TransferProgress

__all__ = ["DownloadBackend", "Job", "JobRefused", "Jobs"]

KEEP_ENDED = 10_000
DOWNLOADED, CONVERTED = 900, 990  # per mille at the end of the transfer and of the rewrite
_log = logging.getLogger("vantor.services")


class DownloadBackend(Protocol):
    def fetch(self, url: str, height: int, work_dir: str, on_progress: Callable[[TransferProgress], None],
              cancelled: threading.Event) -> Fetched: ...


class JobRefused(Exception):
    """The request cannot become a job (limit reached, bad address).
    `busy`: a limit, so the same request may succeed later."""

    def __init__(self, message: str, *, busy: bool = False) -> None:
        super().__init__(message)
        self.busy: bool = busy


@dataclass
class Job:
    id: str
    url: str
    key: str
    state: str = "queued"  # queued, downloading, converting (the rewrite to MP4), finished, failed
    progress: TransferProgress | None = None
    path: Path | None = None
    error: str | None = None
    detail: str | None = None  # yt-dlp's own message, for a client's -v
    host: str = ""
    ended_at: float | None = None  # time.monotonic()
    fetched: bool = False  # its file was sent to a client at least once
    changed: threading.Condition = field(default_factory=threading.Condition)

    @property
    def per_mille(self) -> int:
        if self.state == "finished":
            return 1000
        if self.progress is None:
            return 0
        # 1000 means finished; the transfer counts up to 900, the rewrite to
        # MP4 after it (a stream copy, or a conversion taking minutes) to 990.
        if self.progress.stage == "converting":
            return DOWNLOADED + min(CONVERTED - DOWNLOADED, int(self.progress.fraction * (CONVERTED - DOWNLOADED)))
        return min(DOWNLOADED, int(self.progress.fraction * DOWNLOADED))

    def update(self, **changes: object) -> None:
        with self.changed:
            for name, value in changes.items():
                setattr(self, name, value)
            self.changed.notify_all()


def source_host(url: str) -> str:
    try:
        return (urlsplit(url).hostname or "").lower()
    except ValueError:
        return ""


def cache_key(url: str, height: int, reach: str = "public") -> str:
    # What the fetch reached is part of the key, so a file that came from a
    # private address is found only where the policy admits it.
    return hashlib.sha256(f"{reach}\n{height}\n{url}".encode()).hexdigest()[:32]


class Jobs:
    def __init__(self, backend: DownloadBackend, cache_dir: str | Path, limits: Limits) -> None:
        self.backend: DownloadBackend = backend
        self.limits: Limits = limits
        self.cache: FileCache = FileCache(Path(cache_dir) / "downloads", ".mp4", limits.cache_bytes,
                                          protected=self._awaiting_fetch)
        self._pool = ThreadPoolExecutor(max_workers=limits.max_jobs, thread_name_prefix="vantor-download")
        self._lock = threading.Lock()
        self._jobs: dict[str, Job] = {}
        self._active: dict[str, Job] = {}  # key -> job not yet ended
        self._closing = threading.Event()

    @property
    def closing(self) -> bool:
        return self._closing.is_set()

    @property
    def closing_event(self) -> threading.Event:
        """Set once the service is shutting down (other requests end with it)."""
        return self._closing

    def begin_close(self) -> None:
        """Refuses new jobs and ends running downloads (at once, not waited for)."""
        self._closing.set()

    def _awaiting_fetch(self) -> set[Path]:
        """Files of finished jobs that their clients have not fetched yet,
        within the grace period."""
        now = time.monotonic()
        with self._lock:
            return {j.path for j in self._jobs.values() if j.path is not None and not j.fetched
                    and j.ended_at is not None and now - j.ended_at < self.limits.fetch_grace}

    def get(self, job_id: str) -> Job | None:
        with self._lock:
            return self._jobs.get(job_id)

    def request(self, url: str, height: int) -> Job:
        """The job for `url`: a finished one from the cache, the running one
        for the same address, or a new one."""
        if not url.lower().startswith(("http://", "https://")):
            raise JobRefused("unsupported address: give an http:// or https:// video address")
        key = cache_key(url, height)
        host = source_host(url)
        with self._lock:
            if self._closing.is_set():
                raise JobRefused("busy: the service is shutting down; try again later", busy=True)
            running = self._active.get(key)
            if running is not None:
                return running
            job = Job(uuid.uuid4().hex[:16], url, key, host=host)
            cached = self._cached(url, height)
            if cached is not None:
                job.state, job.path, job.ended_at = "finished", cached, time.monotonic()
            elif len(self._active) >= self.limits.max_jobs:
                raise JobRefused(f"busy: {len(self._active)} downloads are running, the service's limit; "
                                 "try again later", busy=True)
            elif sum(j.host == host for j in self._active.values()) >= self.limits.max_jobs_per_host:
                raise JobRefused(f"busy: {self.limits.max_jobs_per_host} downloads from {host or 'that site'} "
                                 "are running, the service's limit per site; try again later", busy=True)
            else:
                self._active[key] = job
                self._pool.submit(self._run, job, height)
            self._jobs[job.id] = job
            self._forget_old_jobs()
            return job

    def _cached(self, url: str, height: int) -> Path | None:
        """The cached file of `url` that the backend's policy admits now."""
        from .source_guard import REACHES  # imports yt-dlp: only once a job is asked for

        for reach in REACHES:
            key = cache_key(url, height, reach)
            if reach == "public" or self.cache.path(key).exists() and self._admits(url, reach):
                if (found := self.cache.get(key)) is not None:
                    return found
        return None

    def _admits(self, url: str, reach: str) -> bool:
        admits = getattr(self.backend, "admits", None)
        return admits is not None and admits(url, reach)

    def _forget_old_jobs(self) -> None:
        # A long-lived service answers many requests; ended jobs are kept only
        # for their clients' next polls and file fetch, the newest KEEP_ENDED.
        if len(self._jobs) <= KEEP_ENDED:
            return
        for job_id in [i for i, j in self._jobs.items() if j.state in ("finished", "failed")][:-KEEP_ENDED]:
            del self._jobs[job_id]

    def _run(self, job: Job, height: int) -> None:
        try:
            # Another process may be fetching the same address into the shared
            # cache: wait for it, then take its file.
            with self.cache.lock(job.key):
                cached = self._cached(job.url, height)
                if cached is None:
                    with self.cache.work_dir(job.key) as work_dir:
                        fetched = self.backend.fetch(
                            job.url, height, work_dir,
                            lambda p: job.update(state=p.stage, progress=p), self._closing,
                        )
                        cached = self.cache.put_file(cache_key(job.url, height, fetched.reach), fetched.path)
            job.update(state="finished", path=cached, ended_at=time.monotonic())
        except Cancelled as error:
            job.update(state="failed", error="unavailable: the service shut down during the download; try again later",
                       ended_at=time.monotonic())
        except DownloadFailed as error:
            job.update(state="failed", error=str(error), detail=error.detail, ended_at=time.monotonic())
        except Exception as error:  # any other fault still ends the job as failed; the detail only in the log
            _log.warning("download job %s failed", job.id, exc_info=error)
            reason = ("the service's disk is full; try again later" if is_disk_full(error)
                      else "the download failed inside the service; try again later")
            job.update(state="failed", error=f"unavailable: {reason}", ended_at=time.monotonic())
        finally:
            with self._lock:
                if self._active.get(job.key) is job:
                    del self._active[job.key]

    def close(self) -> None:
        self._closing.set()
        self._pool.shutdown(wait=True, cancel_futures=True)
