"""Loaded into each worker process of the embedded cluster (a Dask preload).

Ctrl-C on a terminal interrupts every process of the foreground group, the
embedded cluster's workers too. Stopping them is the batch driver's work
(it tells the running jobs to kill their children, then closes the
cluster); a worker that takes the interrupt itself only dies half-way and
prints Dask's tracebacks. So the workers ignore SIGINT. Their ffmpeg and
wget still stop: the driver's stop request kills them, and they die with
their worker.
"""

from __future__ import annotations

import signal
from typing import Any

__all__ = ["dask_setup"]


def dask_setup(worker: Any) -> None:
    """Called by Dask on the worker process's main thread as it starts."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
