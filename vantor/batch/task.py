"""One attempt at one job, as it runs in a worker process.

Never raises for the job's own failure: the outcome comes back as a plain
dict, with the error classified here, where the exception still carries
everything (a requests error loses its response when pickled).
"""

from __future__ import annotations

import contextlib
import os
import shutil
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ..recap.checks.preflight import check_run_voice, checked_segments
from ..recap.engine.failures import is_transient
from ..recap.engine.outputs import WORKING_PREFIX, OutputNames
from ..recap.checks.probe import probe_duration
from ..recap.engine.progress_view import showing_progress
from ..recap.engine.run import EngineRun, RunCancelled
from ..services import LocalServices
from ..tools import require_tools
from .claim import FolderTaken, claim_folder
from .jobs import Job
from .marker import MARKER_NAME, finished_outputs, write_marker
from .safe_files import open_own, replace_file
from .services import LocalServicesProvider, ServicesProvider, ensure_open
from .worker_host import start_reaped_child

if TYPE_CHECKING:
    from ..recap.engine.host import RunEvent
    from ..recap.engine.progress_view import ProgressView
    from ..recap.timeline.model import Timeline

__all__ = ["LOG_NAME", "TIMELINE_NAME", "run_job"]

LOG_NAME = "recap.log"
TIMELINE_NAME = "timeline.json"  # the job's final timeline: each range's place in the recap and in the film


def _export(job: Job, handle: object, segments: list[dict[str, object]] | None, to_log: Any,
            timeline: Timeline | None) -> None:
    """The job's timelines for an editor, beside its recap (the local services' cache holds the film)."""
    from ..interchange.run_export import ExportRequest, export_run
    from ..services.file_source import source_address

    if not isinstance(handle, LocalServices) or not segments:
        raise RuntimeError("'timeline' needs the local services and checked segments")
    request = ExportRequest(segments, OutputNames().final, job.output_dir, job.spec, job.timeline)
    with source_address(job.url) as url:
        export_run(request, handle, url, None, lambda line: print(line, file=to_log, flush=True), timeline)


def _seen(event: RunEvent, final: list[Timeline], to_log: ProgressView) -> None:
    if event.kind == "timeline" and event.text == "final":
        final.append(event.data)
    to_log.on_event(event)


def _stop_check(stop_event: str | None) -> Callable[[], bool] | None:
    if stop_event is None:
        return None
    try:
        from distributed import Event, get_worker

        get_worker()
        event = Event(stop_event)
    except (ImportError, ValueError):  # not on a Dask worker: nobody can stop us
        return None

    def stop_requested() -> bool:
        try:
            return bool(event.is_set())
        except Exception:  # noqa: BLE001 - a scheduler gone away means the batch is over
            return True

    return stop_requested


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _remove_leftovers(output_dir: str) -> None:
    """The working folders an earlier attempt left (a killed worker cleans
    nothing up); the folder's lock says no run of ours is using them."""
    with os.scandir(output_dir) as entries:
        for entry in entries:
            if entry.name.startswith(WORKING_PREFIX) and entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)


def run_job(job: Job, services: ServicesProvider, *, force: bool = False,
            stop_event: str | None = None, batch: str | None = None, keep_work: bool = False) -> dict[str, Any]:
    started = time.monotonic()
    outcome: dict[str, Any] = {"status": "failed", "error_type": None, "error": None, "transient": False,
                               "outputs": {}}
    claim = contextlib.ExitStack()  # the job's folder, held until the outcome is settled
    try:
        outcome["attempts"] = claim.enter_context(claim_folder(job.output_dir, batch))
        if not force and (record := finished_outputs(job)) is not None:
            outcome.update(status="skipped", outputs=record.get("outputs", {}))
            return outcome
        # The checks `vantor recap` makes before any download, on the machine
        # that runs the job (where the engine will read the same files).
        segments = checked_segments(job.segments).segments or []
        check_run_voice(job.spec.voice, local=isinstance(services, LocalServicesProvider))
        # On this worker's machine; a `vantor serve` elsewhere speaks there.
        require_tools(local_services=isinstance(services, LocalServicesProvider) and services.address is None)
        os.makedirs(job.output_dir, exist_ok=True)
        if not keep_work:
            _remove_leftovers(job.output_dir)
        # Results a marker vouches for are this batch's own, and an edited job
        # replaces them; any other file of those names is left alone. The
        # marker stays through the run: a run that fails leaves the results
        # it vouches for as they were (the run works in a folder of its own).
        ours = os.path.exists(os.path.join(job.output_dir, MARKER_NAME))
        handle = ensure_open(services)
        log_fd = open_own(os.path.join(job.output_dir, LOG_NAME), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        final: list[Timeline] = []  # the run's timeline as its conversion made the recap
        with os.fdopen(log_fd, "a", encoding="utf-8") as log, \
                showing_progress(log, live=False) as to_log:  # the job's log reads as `vantor recap` shows it
            run = EngineRun(
                job.url, job.segments, job.spec, job.output_dir, overwrite=force or ours,
                services=handle if isinstance(handle, LocalServices) else None,
                router=None if isinstance(handle, LocalServices) else handle,
                segments=segments, on_event=lambda event: _seen(event, final, to_log), child_output=log,
                stop_requested=_stop_check(stop_event), start_child=start_reaped_child, keep_work=keep_work)
            made = run.run()
            if job.timeline:
                _export(job, handle, segments, to_log, run.timeline)  # the recap's own timeline
        outputs: dict[str, float | None] = {path: probe_duration(path) for path in (made.final, made.horizontal)}
        if final:  # before the marker, which vouches for the job's results
            replace_file(os.path.join(job.output_dir, TIMELINE_NAME), final[-1].to_json().encode())
        write_marker(job, outputs)
        outcome.update(status="ok", outputs=outputs)
    except FolderTaken as error:
        outcome.update(status="locked", error_type="FolderTaken", error=str(error))
    except RunCancelled as error:
        outcome.update(status="stopped", error_type="RunCancelled", error=str(error))
    except Exception as error:  # noqa: BLE001 - every failure is reported, none stops the batch
        outcome.update(
            error_type=f"{type(error).__module__}.{type(error).__qualname__}".removeprefix("builtins."),
            error=_one_line(error),
            transient=is_transient(error),
        )
    finally:
        claim.close()
        outcome["run_s"] = round(time.monotonic() - started, 3)
    return outcome
