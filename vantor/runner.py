"""`Runner`: how the product starts every tool process (ffmpeg, ffprobe,
wget, espeak-ng ...) and waits for it.

Each child leads a session and process group of its own, so ending it ends
whatever it started too (a shell's pipeline, a tool's helpers). A child is
watched while it runs:
- `cancel()`, from any thread, kills every running child's group at once;
  a polled `stop_requested` does the same within POLL_S;
- a time limit (whole seconds of wall time) and a stall limit (seconds
  without a byte of output) kill the group and raise `ChildStopped`;
- what is captured is bounded: the start of stdout (what a caller parses)
  and the end of stderr (where a tool says why it failed), `keep` bytes of
  each; the rest is read and dropped, so a chatty child never blocks on a
  full pipe and never fills the memory.
When the child ends, its group's leftovers are killed: no run leaves a
process behind.

`run()` waits for a child and answers a `CompletedProcess`; `stream()` hands
its stdout to the caller to read as it comes (a decoded picture, samples).
One Runner belongs to one run (or one service job); nothing here is
process-wide.
"""

from __future__ import annotations

import os
import signal
import subprocess
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import IO, Any

__all__ = ["KEEP_BYTES", "ChildCancelled", "ChildStopped", "Runner", "Streamed", "kill_group", "run"]

POLL_S = 0.05  # how often a running child's bounds and stop check are looked at
KEEP_BYTES = 64 * 1024  # of stdout's start and of stderr's end, per child
_READ = 64 * 1024
_LEFT_S = 5.0  # waited for a pipe's last bytes once the child and its group are gone


class ChildStopped(Exception):
    """A bound ended the child; `why`: "time", "stall" or "cancelled"."""

    def __init__(self, message: str, *, why: str) -> None:
        super().__init__(message)
        self.why: str = why


class ChildCancelled(ChildStopped):
    """The runner was cancelled while the child ran."""

    def __init__(self, message: str = "cancelled") -> None:
        super().__init__(message, why="cancelled")


def kill_group(child: subprocess.Popen[Any]) -> None:
    """SIGKILL to the child's group when it leads one, else to the child and
    the processes it started."""
    try:
        os.killpg(child.pid, signal.SIGKILL)
        return
    except ProcessLookupError:  # it leads no group (or the group is gone): no group can bear its pid
        pass
    except PermissionError:
        return
    if child.poll() is None:
        # Stopped first, so that nothing forks between the look at /proc and the kill.
        for pid in [child.pid, *_descendants(child.pid)]:
            _signal(pid, signal.SIGSTOP)
        for pid in [*_descendants(child.pid), child.pid]:
            _signal(pid, signal.SIGKILL)


def _signal(pid: int, number: int) -> None:
    try:
        os.kill(pid, number)
    except (ProcessLookupError, PermissionError):
        pass


def _descendants(pid: int) -> list[int]:
    """The processes below `pid`, from /proc (parents before their children)."""
    parents: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            parents.setdefault(parent, []).append(int(entry))
    found: list[int] = []
    todo = list(parents.get(pid, ()))
    while todo:
        found.append(todo.pop(0))
        todo.extend(parents.get(found[-1], ()))
    return found


def _own_group() -> bool:
    """Whether a child leads a group of its own, so that ending it ends what
    it started. Not while this process ignores SIGINT (a recap started in a
    script's background): a terminal's Ctrl-C, sent to the whole foreground
    group, then reaches the run only through its children, in this group."""
    return signal.getsignal(signal.SIGINT) is not signal.SIG_IGN


class _Watch:
    """One child's bounds: when it began, when it last wrote, why it was stopped."""

    def __init__(self, what: str, time_limit: float | None, stall_limit: float | None) -> None:
        self.what: str = what
        self.began: float = time.monotonic()
        self.last: float = self.began
        self.time_limit: float | None = time_limit
        self.stall_limit: float | None = stall_limit
        self.why: str | None = None

    def heard(self) -> None:
        self.last = time.monotonic()

    def over(self) -> str | None:
        now = time.monotonic()
        if self.time_limit is not None and now - self.began > self.time_limit:
            return "time"
        if self.stall_limit is not None and now - self.last > self.stall_limit:
            return "stall"
        return None

    def stopped(self) -> ChildStopped:
        if self.why == "time":
            return ChildStopped(f"{self.what} took longer than its limit of {self.time_limit:g} s; it was stopped",
                                why="time")
        return ChildStopped(f"{self.what} wrote nothing for {self.stall_limit:g} s; it was stopped", why="stall")


class Streamed:
    """A streaming child's side for its caller: `read()`/`lines()` its stdout
    as it comes; once the `stream()` block has ended, `returncode` and the
    end of its stderr (`stderr`, bytes)."""

    def __init__(self, child: subprocess.Popen[bytes], watch: _Watch) -> None:
        self.child: subprocess.Popen[bytes] = child
        self._watch = watch
        self.returncode: int | None = None
        self.stderr: bytes = b""

    def read(self, size: int) -> bytes:
        """Up to `size` bytes, fewer only at the end of the output."""
        assert self.child.stdout is not None
        got = bytearray()
        while len(got) < size and (chunk := self.child.stdout.read(size - len(got))):
            got += chunk
            self._watch.heard()
        return bytes(got)

    def lines(self) -> Iterator[bytes]:
        """Each line, at most 64 KiB: a longer one comes in pieces."""
        assert self.child.stdout is not None
        while line := self.child.stdout.readline(_READ):
            self._watch.heard()
            yield line


class Runner:
    """Starts and watches one run's children. `start_child`: starts one
    (`subprocess.Popen`'s signature; the runner asks it for a new session).
    `stop_requested`: polled while a child runs; True cancels.
    `cancelled_error`: the exception a cancellation raises (default
    `ChildCancelled`)."""

    def __init__(self, *, start_child: Callable[..., subprocess.Popen[Any]] | None = None,
                 stop_requested: Callable[[], bool] | None = None,
                 cancelled_error: Callable[[], BaseException] | None = None) -> None:
        self.start_child: Callable[..., subprocess.Popen[Any]] = start_child or _popen
        self._stop_requested = stop_requested
        self._cancelled_error = cancelled_error or ChildCancelled
        self._cancelled = threading.Event()
        self._lock = threading.Lock()
        self._live: set[subprocess.Popen[Any]] = set()

    # -- cancellation, from any thread ---------------------------------------

    def cancel(self) -> None:
        """Kills every running child's group now; each waiting caller raises."""
        self._cancelled.set()
        with self._lock:
            live = list(self._live)
        for child in live:
            kill_group(child)

    @property
    def cancelled(self) -> bool:
        return self._cancelled.is_set() or (self._stop_requested is not None and self._stop_requested())

    def raise_if_cancelled(self) -> None:
        if self.cancelled:
            raise self._cancelled_error()

    # -- children ---------------------------------------------------------------

    def start(self, argv: Sequence[Any], **options: Any) -> subprocess.Popen[Any]:
        """Starts a child the caller talks to itself (a long-lived voice),
        in a session of its own; `cancel()` kills it with the others, and
        `end(child)` waits for it once it is told to go (`kill_group` to
        force it)."""
        return self._start(argv, options)

    def _start(self, argv: Sequence[Any], options: dict[str, Any]) -> subprocess.Popen[Any]:
        self.raise_if_cancelled()
        child = self.start_child(list(argv), start_new_session=_own_group(), **options)
        with self._lock:
            self._live.add(child)
        if self._cancelled.is_set():  # cancel() came while it started: it saw no child
            kill_group(child)
        return child

    def end(self, child: subprocess.Popen[Any]) -> None:
        self._end(child)

    def _end(self, child: subprocess.Popen[Any]) -> None:
        """Waits for the child, then kills what is left of its group."""
        try:
            child.wait()
        finally:
            kill_group(child)  # a grandchild that outlived its parent
            with self._lock:
                self._live.discard(child)

    def _watch(self, child: subprocess.Popen[Any], watch: _Watch, done: threading.Event | None = None) -> None:
        """Until the child exits (or `done` is set): its group killed on a
        cancellation or a bound."""
        while child.poll() is None and not (done is not None and done.is_set()):
            if self.cancelled:
                watch.why = "cancelled"
            elif (over := watch.over()) is not None:
                watch.why = over
            if watch.why is not None:
                kill_group(child)
                return
            try:
                child.wait(POLL_S)
            except subprocess.TimeoutExpired:
                pass

    def _raise_stopped(self, watch: _Watch) -> None:
        if watch.why == "cancelled" or self._cancelled.is_set():
            raise self._cancelled_error()
        if watch.why is not None:
            raise watch.stopped()

    def run(self, argv: Sequence[Any], *, what: str | None = None, time_limit: float | None = None,
            stall_limit: float | None = None, keep: int = KEEP_BYTES, text: bool = False,
            capture: bool = True, stdout: IO[Any] | None = None, on_line: Callable[[str], None] | None = None,
            input: bytes | None = None, **options: Any) -> subprocess.CompletedProcess[Any]:
        """Runs `argv` to its end. `capture`: stdout and stderr are kept
        (bounded) and answered; else they go to `stdout` (a file; None: this
        process's), and only a time limit applies. `text`: answered as str;
        `on_line`: each stdout line as it comes (text). `what`: the child's
        name in messages. `input`: written to its stdin (else it reads
        nothing). `options`: Popen's (cwd, env). Raises
        ChildStopped when a bound ends it, the cancelled error when the
        runner is cancelled."""
        watch = _Watch(what or os.path.basename(str(argv[0])), time_limit, stall_limit if capture else None)
        if capture:
            options.update(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        elif stdout is not None:
            options.update(stdout=stdout, stderr=stdout)
        options["stdin"] = subprocess.DEVNULL if input is None else subprocess.PIPE
        child = self._start(argv, options)
        kept = {"out": bytearray(), "err": bytearray()}
        pumps = [] if not capture else [
            threading.Thread(target=_pump, args=(child.stdout, watch, kept, "out", keep, on_line), daemon=True),
            threading.Thread(target=_pump, args=(child.stderr, watch, kept, "err", keep, None), daemon=True)]
        if input is not None:
            pumps.append(threading.Thread(target=_feed, args=(child.stdin, input), daemon=True))
        for pump in pumps:
            pump.start()
        try:
            self._watch(child, watch)
        except BaseException:
            kill_group(child)
            raise
        finally:
            self._end(child)
            for pump in pumps:
                pump.join(_LEFT_S)  # past it, a process that left the group holds the pipe: what came is kept
            for stream in (child.stdout, child.stderr):
                if stream is not None:
                    stream.close()
        self._raise_stopped(watch)
        out, err = bytes(kept["out"]), bytes(kept["err"])
        if text:
            return subprocess.CompletedProcess(list(argv), child.returncode, out.decode(errors="replace"),
                                               err.decode(errors="replace"))
        return subprocess.CompletedProcess(list(argv), child.returncode, out if capture else None,
                                           err if capture else None)

    @contextmanager
    def stream(self, argv: Sequence[Any], *, what: str | None = None, time_limit: float | None = None,
               stall_limit: float | None = None, keep: int = KEEP_BYTES, **options: Any) -> Iterator[Streamed]:
        """Starts `argv` and yields its `Streamed` stdout to read. The block
        leaving early (an exception, or output no longer wanted) ends the
        child; at the block's end a bound or a cancellation that stopped the
        child raises as in `run()`, before the caller's own error."""
        watch = _Watch(what or os.path.basename(str(argv[0])), time_limit, stall_limit)
        options.update(stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child = self._start(argv, options)
        streamed = Streamed(child, watch)
        kept = {"err": bytearray()}
        done = threading.Event()
        pump = threading.Thread(target=_pump, args=(child.stderr, watch, kept, "err", keep, None), daemon=True)
        watcher = threading.Thread(target=self._watch, args=(child, watch, done), daemon=True)
        pump.start()
        watcher.start()
        try:
            yield streamed
        except BaseException:
            kill_group(child)
            self._close(child, done, watcher, pump)
            self._raise_stopped(watch)
            raise
        assert child.stdout is not None
        child.stdout.close()  # a child still writing ends on the closed pipe
        watcher.join()  # the bounds hold while it finishes
        self._close(child, done, watcher, pump)
        streamed.returncode, streamed.stderr = child.returncode, bytes(kept["err"])
        self._raise_stopped(watch)

    def _close(self, child: subprocess.Popen[Any], done: threading.Event, watcher: threading.Thread,
               pump: threading.Thread) -> None:
        done.set()
        watcher.join()
        try:
            self._end(child)
        finally:
            pump.join(_LEFT_S)
            for stream in (child.stdout, child.stderr):
                if stream is not None:
                    stream.close()


def _pump(stream: IO[bytes], watch: _Watch, kept: dict[str, bytearray], name: str, keep: int,
          on_line: Callable[[str], None] | None) -> None:
    """Reads `stream` to its end: stdout's first `keep` bytes, stderr's last."""
    held = kept[name]
    lines = bytearray()
    try:
        while chunk := (stream.readline(_READ) if on_line is not None else stream.read1(_READ)):  # type: ignore[attr-defined]
            watch.heard()
            if on_line is not None:
                lines += chunk
                if lines.endswith(b"\n") or len(lines) >= _READ:
                    on_line(lines.decode(errors="replace").rstrip("\n"))
                    lines.clear()
            if name == "out":
                held += chunk[:max(0, keep - len(held))]
            else:
                held += chunk
                del held[:max(0, len(held) - keep)]
        if lines and on_line is not None:
            on_line(lines.decode(errors="replace"))
    except (OSError, ValueError):  # closed under it: the child was ended
        pass


def _popen(argv: Sequence[Any], **options: Any) -> subprocess.Popen[Any]:
    return subprocess.Popen(argv, **options)  # looked up at the call: a stand-in put there is used


def _feed(stream: IO[bytes], data: bytes) -> None:
    try:
        with stream:
            stream.write(data)
    except (BrokenPipeError, ValueError):  # the child ended without reading it all
        pass


def run(argv: Sequence[Any], **kwargs: Any) -> subprocess.CompletedProcess[Any]:
    """`Runner().run(argv, ...)`, for a child that belongs to no run."""
    return Runner().run(argv, **kwargs)
