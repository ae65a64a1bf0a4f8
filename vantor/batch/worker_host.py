"""How a worker process hosts the engine.

The engine looks `print` and `subprocess` up in its own namespace at each
use, so the worker binds its own there once per process:

* `print` writes to the log of the job running on the calling thread
  (`recap.log` in its output directory), and so do ffmpeg and wget, so the
  progress lines neither interleave between jobs nor flood the terminal;
* `subprocess.run` starts every child (ffmpeg, wget) so that it is killed
  when the worker dies (Linux: PR_SET_PDEATHSIG), and kills it when the
  batch asks its jobs to stop, so no ffmpeg outlives a cancelled batch.
"""

from __future__ import annotations

import builtins
import contextlib
import ctypes
import os
import signal
import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any, TextIO

__all__ = ["JobStopped", "install", "job_context", "raise_if_stopped"]

_PR_SET_PDEATHSIG = 1
_POLL_SECONDS = 0.5


class JobStopped(Exception):
    """The batch was interrupted while this job ran."""


_job = threading.local()  # .log: TextIO, .stop_requested: Callable[[], bool]


def _print(*args: Any, file: TextIO | None = None, **kwargs: Any) -> None:
    target = file if file is not None else getattr(_job, "log", None)
    builtins.print(*args, file=target if target is not None else sys.stdout, **kwargs)


def _die_with_parent(parent: int) -> Callable[[], None] | None:
    if not sys.platform.startswith("linux"):
        return None
    libc = ctypes.CDLL(None, use_errno=True)

    def arm() -> None:  # runs in the child between fork and exec
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != parent:  # the worker died before the line above
            os._exit(1)

    return arm


def _run(argv: Any, *, check: bool = False, capture_output: bool = False,
         **kwargs: Any) -> subprocess.CompletedProcess[Any]:
    """`subprocess.run` for the engine's calls, with the child tied to the
    worker and stopped when the batch is interrupted."""
    raise_if_stopped()
    stop = getattr(_job, "stop_requested", None)
    if capture_output:
        kwargs["stdout"] = kwargs["stderr"] = subprocess.PIPE
    elif (log := getattr(_job, "log", None)) is not None:
        log.flush()  # ffmpeg's own error lines land in the job's log, after the engine's
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
    with subprocess.Popen(argv, preexec_fn=_die_with_parent(os.getpid()), **kwargs) as child:
        while True:
            try:
                stdout, stderr = child.communicate(timeout=_POLL_SECONDS)
                break
            except subprocess.TimeoutExpired:
                if stop is not None and stop():
                    child.kill()
                    child.wait()
                    raise JobStopped("batch interrupted") from None
    result = subprocess.CompletedProcess(argv, child.returncode, stdout, stderr)
    if check:
        result.check_returncode()
    return result


class _Subprocess:
    """The real module, with `run` replaced."""

    run = staticmethod(_run)

    def __getattr__(self, name: str) -> Any:
        return getattr(subprocess, name)


_installed = False
_install_lock = threading.Lock()


def install() -> None:
    global _installed
    with _install_lock:
        if _installed:
            return
        import vantor.vantor as engine

        setattr(engine, "print", _print)
        setattr(engine, "subprocess", _Subprocess())
        _installed = True


def raise_if_stopped() -> None:
    """For waits outside a child process (the local services' download)."""
    stop = getattr(_job, "stop_requested", None)
    if stop is not None and stop():
        raise JobStopped("batch interrupted")


@contextlib.contextmanager
def job_context(log_path: str, stop_requested: Callable[[], bool] | None) -> Iterator[TextIO]:
    """The job's log, which the engine's lines and its children's output go
    to while the block runs on this thread."""
    with open(log_path, "a", encoding="utf-8") as log:
        _job.log, _job.stop_requested = log, stop_requested
        try:
            yield log
        finally:
            _job.log = _job.stop_requested = None
