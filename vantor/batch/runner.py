"""Runs the jobs on Dask distributed: each attempt is one task in a worker
process (one thread each on the embedded cluster), the driver here decides
about retries and keeps the report.

Retries are resubmitted from here rather than by Dask, because only a
classified failure may be retried, after a pause, and may land on another
worker. Dask's own task retries stay off.
"""

from __future__ import annotations

import heapq
import importlib.util
import os
import sys
import time
import uuid
from collections.abc import Iterable, Mapping
from typing import Any

from .check import refuse_shared_output_dirs
from .claim import recorded_attempts
from .cluster import scheduler_address, start_private_cluster, unencrypted_note
from .jobs import Job, job_from_mapping, load_jobs
from .progress import BatchProgress
from .report import JobReport, Report
from .retry import retry_pause
from .services import ServicesProvider, provider_for
from .task import run_job

__all__ = ["BatchInterrupted", "run"]

_WAIT_SECONDS = 0.5
_CLOSE_SECONDS = 10
_CONNECT_SECONDS = 30


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C during a batch; `.report` holds what was done until then."""

    def __init__(self, report: Report) -> None:
        super().__init__("batch interrupted")
        self.report = report


def _as_jobs(jobs: str | os.PathLike[str] | Iterable[Job | Mapping[str, object]]) -> list[Job]:
    if isinstance(jobs, (str, os.PathLike)):
        return load_jobs(jobs)
    return [job if isinstance(job, Job) else job_from_mapping(job, os.getcwd(), 0) for job in jobs]


def run(
    jobs: str | os.PathLike[str] | Iterable[Job | Mapping[str, object]],
    client: Any = None,
    *,
    workers: int | None = None,
    scheduler: str | None = None,
    retries: int = 2,
    services: ServicesProvider | str | None = None,
    force: bool = False,
    pause: float = 2.0,
    progress: BatchProgress | None = None,
    security: Any = None,
    dashboard: bool = False,
    keep_work: bool = False,
) -> Report:
    """Runs every job; returns the report (also for failed jobs). `client`:
    a distributed.Client to submit to; else `scheduler` (an address such as
    tls://host:8786); else an embedded LocalCluster of `workers` processes
    (default: one per core, private to this process: see .cluster), closed
    at the end. `security`: a distributed.Security for `scheduler` (else
    Dask's configuration); `dashboard`: serve the embedded cluster's pages
    on 127.0.0.1. `services`: a provider, or
    "local" / "configured" / a `vantor serve` address. `pause`: seconds
    before the first retry, doubling after. `keep_work`: a failed attempt
    keeps its working folder (else removed, as are those an earlier,
    killed attempt left). Ctrl-C raises BatchInterrupted."""
    job_list = _as_jobs(jobs)  # each Job's options were checked when its RecapSpec was made
    refuse_shared_output_dirs(job_list)
    if retries < 0:
        raise ValueError("retries must be 0 or more")
    provider = provider_for(services or "auto") if services is None or isinstance(services, str) else services
    progress = progress if progress is not None else BatchProgress(len(job_list), sys.stderr)
    progress.total = len(job_list)
    report = Report([JobReport.for_job(job) for job in job_list])
    started = time.monotonic()

    from distributed import Event

    cluster = stop = attempts = None
    own_client = client is None
    batch = uuid.uuid4().hex[:8]
    try:
        if client is None:
            client, cluster = _connect(scheduler, security, workers, dashboard, progress)
        stop = Event(f"vantor-batch-stop-{batch}", client=client)
        report.workers = sum(client.nthreads().values())
        report.dashboard = _dashboard(client, cluster, dashboard)
        if report.dashboard:
            progress.note(f"Dask dashboard: {report.dashboard}")
        attempts = _Attempts(client, job_list, provider, report, batch=batch, stop_event=stop.name, force=force,
                             keep_work=keep_work)
        attempts.run_all(progress, retries=retries, pause=pause)
    except KeyboardInterrupt:
        report.interrupted = True
        if stop is not None:
            stop.set()  # running jobs kill their ffmpeg and return
        if attempts is not None:
            client.cancel(list(attempts.running), force=True)
        for entry in report.jobs:
            if entry.status == "pending":
                entry.status = "cancelled"
        raise BatchInterrupted(report) from None
    finally:
        report.wall_s = round(time.monotonic() - started, 3)
        progress.close()
        if own_client and client is not None:
            client.close(timeout=_CLOSE_SECONDS)
        if cluster is not None:
            cluster.close(timeout=_CLOSE_SECONDS)
    return report


class _Attempts:
    """The jobs' attempts on one client: those running, and the retries
    waiting for their time."""

    def __init__(self, client: Any, jobs: list[Job], provider: ServicesProvider, report: Report, *, batch: str,
                 stop_event: str, force: bool, keep_work: bool = False) -> None:
        self.client, self.jobs, self.provider, self.report = client, jobs, provider, report
        self.batch, self.stop_event, self.force = batch, stop_event, force
        self.keep_work = keep_work
        self.running: dict[Any, int] = {}  # future -> job index
        self.first_submitted: dict[int, float] = {}
        self.retry_at: list[tuple[float, int]] = []  # heap of (due time, job index)

    def submit(self, index: int) -> None:
        entry = self.report.jobs[index]
        entry.attempts += 1
        future = self.client.submit(
            run_job, self.jobs[index], self.provider, force=self.force, stop_event=self.stop_event, batch=self.batch,
            keep_work=self.keep_work,
            key=f"recap-{self.batch}-{index}-{entry.attempts}", pure=False, retries=0,
        )
        self.running[future] = index
        self.first_submitted.setdefault(index, time.monotonic())

    def run_all(self, progress: BatchProgress, *, retries: int, pause: float) -> None:
        """Every job to its final outcome, a transient failure tried again
        after `pause` (doubling) up to `retries` times."""
        for index in range(len(self.jobs)):
            self.submit(index)
        while self.running or self.retry_at:
            while self.retry_at and self.retry_at[0][0] <= time.monotonic():
                self.submit(heapq.heappop(self.retry_at)[1])
            next_retry = self.retry_at[0][0] - time.monotonic() if self.retry_at else _WAIT_SECONDS
            for future in _finished(list(self.running), max(0.05, min(_WAIT_SECONDS, next_retry))):
                index = self.running.pop(future)
                entry, outcome = self.report.jobs[index], _outcome(future)
                if _settle(entry, outcome, self.batch, self.first_submitted[index], retries=retries):
                    heapq.heappush(self.retry_at, (time.monotonic() + retry_pause(entry.attempts, pause), index))
                    progress.note(f"retrying {entry.job} (attempt {entry.attempts + 1}): {outcome['error']}")
                else:
                    progress.finished(entry)
            progress.set_running(min(len(self.running), self.report.workers or len(self.running)))


def _finished(running: list[Any], timeout: float) -> set[Any]:
    """The futures that finish within `timeout` (at least one, or none when
    the time is up: time to redraw and to resubmit)."""
    from distributed import wait

    if not running:
        time.sleep(timeout)
        return set()
    try:
        finished, _ = wait(running, timeout=timeout, return_when="FIRST_COMPLETED")
    except TimeoutError:
        return set()
    return set(finished)


def _connect(scheduler: str | None, security: Any, workers: int | None, dashboard: bool,
             progress: BatchProgress) -> tuple[Any, Any]:
    """(client, cluster): a client of the scheduler at `scheduler`, or of
    an embedded cluster of this process (then returned to be closed)."""
    from distributed import Client

    if scheduler is None:
        return start_private_cluster(workers or os.process_cpu_count() or 1, dashboard=dashboard)
    address = scheduler_address(scheduler, security)
    if (note := unencrypted_note(address, security)) is not None:
        progress.note(note)
    return Client(address, timeout=_CONNECT_SECONDS, security=security), None


def _settle(entry: JobReport, outcome: dict[str, Any], batch: str, first_submitted: float, *, retries: int) -> bool:
    """Records a finished attempt in `entry`; True when the job is to be
    tried again, else the job's outcome is final."""
    # Dask re-runs a task whose worker died: the job's folder counts every run.
    counted = outcome.get("attempts") or recorded_attempts(entry.output_dir, batch)
    entry.attempts = max(entry.attempts, counted or 0)
    entry.run_s = round(entry.run_s + outcome.get("run_s", 0.0), 3)
    if outcome["status"] == "failed" and outcome["transient"] and entry.attempts <= retries:
        return True
    entry.status = "cancelled" if outcome["status"] == "stopped" else outcome["status"]
    entry.error_type, entry.error = outcome["error_type"], outcome["error"]
    entry.outputs = outcome["outputs"]
    entry.wall_s = round(time.monotonic() - first_submitted, 3)
    return False


def _dashboard(client: Any, cluster: Any, dashboard: bool) -> str | None:
    """The dashboard's address when there is one to look at: an embedded
    cluster shows its pages when asked and bokeh is installed; a running
    scheduler says whether it serves them."""
    if cluster is not None:
        return cluster.dashboard_link if dashboard and importlib.util.find_spec("bokeh") else None
    services = client.scheduler_info().get("services", {})
    return client.dashboard_link if "dashboard" in services else None


def _outcome(future: Any) -> dict[str, Any]:
    if future.status == "finished":
        outcome: dict[str, Any] = future.result()
        return outcome
    # The task itself failed in Dask (its worker died more often than
    # allowed, or it could not be unpickled): reported, not retried.
    error = future.exception() if future.status == "error" else None
    return {
        "status": "failed", "transient": False, "outputs": {}, "run_s": 0.0,
        "error_type": type(error).__name__ if error is not None else "Cancelled",
        "error": " ".join(str(error).split()) if error is not None else f"task {future.status}",
    }
