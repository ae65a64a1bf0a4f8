"""Download jobs: one per (address, format), run by a backend in a bounded
pool of threads, finished files kept in the shared cache.

A job request for an address that is cached finishes at once; one for an
address already being fetched joins that job; a job keeps running after its
callers stop asking, so a later request finds it further on or finished.
"""

from __future__ import annotations

import hashlib
import threading
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Callable
from typing import Protocol

from .cache import FileCache
from .limits import Limits
from .ytdlp_backend import Cancelled, DownloadFailed, Fetched, TransferProgress

__all__ = ["DownloadBackend", "Job", "JobRefused", "Jobs"]

KEEP_ENDED = 10_000


class DownloadBackend(Protocol):
    def fetch(self, url: str, height: int, work_dir: str, on_progress: Callable[[TransferProgress], None],
              cancelled: threading.Event) -> Fetched: ...


class JobRefused(Exception):
    """The request cannot become a job (limit reached, bad address)."""


@dataclass
class Job:
    id: str
    url: str
    key: str
    state: str = "queued"  # queued, downloading, finished, failed
    progress: TransferProgress | None = None
    path: Path | None = None
    error: str | None = None
    changed: threading.Condition = field(default_factory=threading.Condition)

    @property
    def per_mille(self) -> int:
        if self.state == "finished":
            return 1000
        if self.progress is None:
            return 0
        # 1000 means finished; the last few per mille cover any conversion.
        return min(990, int(self.progress.fraction * 990))

    def update(self, **changes: object) -> None:
        with self.changed:
            for name, value in changes.items():
                setattr(self, name, value)
            self.changed.notify_all()

    def wait_started(self, timeout: float) -> None:
        """Waits until the job has bytes coming, has ended, or `timeout`."""
        with self.changed:
            self.changed.wait_for(lambda: self.state != "queued", timeout)


def cache_key(url: str, height: int) -> str:
    return hashlib.sha256(f"{height}\n{url}".encode()).hexdigest()[:32]


class Jobs:
    def __init__(self, backend: DownloadBackend, cache_dir: str | Path, limits: Limits) -> None:
        self.backend: DownloadBackend = backend
        self.limits: Limits = limits
        self.cache: FileCache = FileCache(Path(cache_dir) / "downloads", ".mp4", limits.cache_bytes)
        self._pool = ThreadPoolExecutor(max_workers=limits.max_jobs, thread_name_prefix="vantor-download")
        self._lock = threading.Lock()
        self._jobs: dict[str, Job] = {}
        self._active: dict[str, Job] = {}  # key -> job not yet ended
        self._closing = threading.Event()

    def get(self, job_id: str) -> Job | None:
        with self._lock:
            return self._jobs.get(job_id)

    def request(self, url: str, height: int) -> Job:
        """The job for `url`: a finished one from the cache, the running one
        for the same address, or a new one."""
        if not url.lower().startswith(("http://", "https://")):
            raise JobRefused(f"unsupported address {url!r}: give an http:// or https:// video address")
        key = cache_key(url, height)
        with self._lock:
            if self._closing.is_set():
                raise JobRefused("the service is shutting down")
            running = self._active.get(key)
            if running is not None:
                return running
            job = Job(uuid.uuid4().hex[:16], url, key)
            cached = self.cache.get(key)
            if cached is not None:
                job.state, job.path = "finished", cached
            elif len(self._active) >= self.limits.max_jobs:
                raise JobRefused(f"{len(self._active)} downloads are running, the service's limit; try again later")
            else:
                self._active[key] = job
                self._pool.submit(self._run, job, height)
            self._jobs[job.id] = job
            self._forget_old_jobs()
            return job

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
                cached = self.cache.get(job.key)
                if cached is None:
                    with self.cache.work_dir(job.key) as work_dir:
                        fetched = self.backend.fetch(
                            job.url, height, work_dir,
                            lambda p: job.update(state="downloading", progress=p), self._closing,
                        )
                        cached = self.cache.put_file(job.key, fetched.path)
            job.update(state="finished", path=cached)
        except Cancelled as error:
            job.update(state="failed", error=str(error))
        except DownloadFailed as error:
            job.update(state="failed", error=str(error))
        except Exception as error:  # any other fault still ends the job as failed, with its reason
            job.update(state="failed", error=f"{type(error).__name__}: {error}")
        finally:
            with self._lock:
                if self._active.get(job.key) is job:
                    del self._active[job.key]

    def wait_first_answer(self, job: Job) -> None:
        job.wait_started(self.limits.job_answer_wait)

    def close(self) -> None:
        self._closing.set()
        self._pool.shutdown(wait=True, cancel_futures=True)
