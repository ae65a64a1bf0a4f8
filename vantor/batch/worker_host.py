"""How a worker process hosts the engine's children.

Every run on a worker is an `EngineRun` with bindings of its own (its lines
and its children's output go to the job's `recap.log`, its children are
stopped when the batch asks), so a worker may run several jobs at once.

What is left process-wide is the one thing that must be: a child (ffmpeg,
wget) must not outlive the worker, even one killed outright. Each child is
started in a process group of its own (no Python code runs between fork and
exec, which is unsafe in a threaded process) and registered with a small
watchdog process; when the worker dies, the watchdog's pipe closes and it
kills every group still registered.
"""

from __future__ import annotations

import atexit
import os
import signal
import subprocess
import sys
import threading
from typing import IO, Any

__all__ = ["start_reaped_child"]

# The watchdog: reads "+PID" / "-PID" lines; at end of input (the worker is
# gone) kills each process group still registered.
_WATCHDOG = """
import os, signal, sys
groups = set()
for line in sys.stdin:
    line = line.strip()
    if line[:1] == "+":
        groups.add(int(line[1:]))
    elif line[:1] == "-":
        groups.discard(int(line[1:]))
for group in groups:
    try:
        os.killpg(group, signal.SIGKILL)
    except OSError:
        pass
"""

_lock = threading.Lock()
_watchdog: subprocess.Popen[str] | None = None
_watchdog_pid_of: int | None = None  # the process that started it (a fork gets its own)


def _tell(line: str) -> None:
    global _watchdog, _watchdog_pid_of
    with _lock:
        if _watchdog is None or _watchdog_pid_of != os.getpid() or _watchdog.poll() is not None:
            _watchdog = subprocess.Popen([sys.executable, "-c", _WATCHDOG], stdin=subprocess.PIPE, text=True,
                                         start_new_session=True, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            _watchdog_pid_of = os.getpid()
        stdin: IO[str] | None = _watchdog.stdin
        assert stdin is not None
        stdin.write(line + "\n")
        stdin.flush()


@atexit.register
def _close_watchdog() -> None:
    """At a normal exit the watchdog is told (its input ends: it kills what is
    still registered, as when the worker dies) and reaped, not left to run on."""
    with _lock:
        if _watchdog is None or _watchdog_pid_of != os.getpid():
            return
        if _watchdog.stdin is not None:
            _watchdog.stdin.close()
        try:
            _watchdog.wait(5)
        except subprocess.TimeoutExpired:
            pass


class _ReapedChild(subprocess.Popen):  # type: ignore[type-arg]
    """A Popen whose process group the watchdog kills if the worker dies;
    `kill()` takes the whole group (a tool's own children too)."""

    def kill(self) -> None:
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except OSError:
            super().kill()

    def wait(self, timeout: float | None = None) -> int:
        status = super().wait(timeout)
        _forget(self.pid)
        return status


_registered: set[int] = set()


def _forget(pid: int) -> None:
    with _lock:
        if pid not in _registered:
            return
        _registered.discard(pid)
    try:
        _tell(f"-{pid}")
    except OSError:
        pass


def start_reaped_child(argv: Any, **kwargs: Any) -> subprocess.Popen[Any]:
    """`subprocess.Popen(argv, **kwargs)`, tied to the worker's life."""
    kwargs["start_new_session"] = True  # the runner asks for it too
    child = _ReapedChild(argv, **kwargs)
    with _lock:
        _registered.add(child.pid)
    _tell(f"+{child.pid}")
    return child
