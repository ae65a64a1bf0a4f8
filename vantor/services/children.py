"""Bounded child processes of a download job (ffprobe, the rewrite to MP4).

Every child gets the job's remaining wall time, is ended when it writes
nothing for the stall limit or when the service shuts down, and carries a
CPU-time limit of its own (RLIMIT_CPU set by `prlimit`, which then execs
the program: no preexec_fn in a threaded service), so even a child whose
service was killed outright stops on its own. The product's runner starts
and watches it: the child leads its own process group, and the whole group
is killed.
"""

from __future__ import annotations

import math
import os
import shutil
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from ..runner import ChildStopped as Stopped
from ..runner import Runner

__all__ = ["Bounds", "ChildStopped", "Completed", "run"]

KEEP_STDERR = 64 * 1024


class ChildStopped(Exception):
    """The child was ended by a bound; `cancelled`: by the service shutting down."""

    def __init__(self, reason: str, *, cancelled: bool = False) -> None:
        super().__init__(reason)
        self.cancelled: bool = cancelled


@dataclass(frozen=True)
class Bounds:
    ends: float  # time.monotonic() at the job's deadline
    deadline: float  # the job's whole deadline in seconds, for messages
    stall_seconds: float
    cancelled: threading.Event | None = None

    @classmethod
    def starting_now(cls, deadline: float, stall_seconds: float, cancelled: threading.Event | None = None) -> Bounds:
        return cls(time.monotonic() + deadline, deadline, stall_seconds, cancelled)

    def cpu_seconds(self) -> int:
        # Every core busy for the rest of the wall time: the wall limit ends
        # the child first while the service lives; this one ends an orphan.
        left = max(0.0, self.ends - time.monotonic())
        return max(1, math.ceil(left * (os.cpu_count() or 1)))


@dataclass(frozen=True)
class Completed:
    returncode: int
    stdout: str
    stderr: str


def _limited(argv: list[str], cpu_seconds: int) -> list[str]:
    prlimit = shutil.which("prlimit")
    if prlimit is None:
        raise FileNotFoundError("prlimit is missing: install util-linux (scripts/provision.sh does)")
    # Soft limit: SIGXCPU; one second later the hard limit's SIGKILL.
    return [prlimit, f"--cpu={cpu_seconds}:{cpu_seconds + 1}", "--", *argv]


def run(argv: list[str], bounds: Bounds, what: str, on_line: Callable[[str], None] | None = None) -> Completed:
    """Runs `argv` within `bounds`; `on_line` gets each stdout line as it
    comes. Raises ChildStopped (naming `what`) when a bound ends it."""
    runner = Runner(stop_requested=None if bounds.cancelled is None else bounds.cancelled.is_set,
                    cancelled_error=lambda: ChildStopped(f"unavailable: the service shut down during {what}; "
                                                         "try again later", cancelled=True))
    try:
        done = runner.run(_limited(argv, bounds.cpu_seconds()), what=what, text=True, on_line=on_line,
                          keep=KEEP_STDERR, time_limit=max(0.0, bounds.ends - time.monotonic()),
                          stall_limit=bounds.stall_seconds)
    except Stopped as stopped:
        if stopped.why == "time":
            raise ChildStopped(f"the download stalled: {what} took longer than the service's deadline "
                               f"of {bounds.deadline:g} s") from None
        raise ChildStopped(f"the download stalled: {what} made no progress for {bounds.stall_seconds:g} s") from None
    return Completed(done.returncode, done.stdout, done.stderr)
