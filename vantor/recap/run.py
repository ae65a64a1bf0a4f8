"""`EngineRun`: one recap through the engine, the one path every front end
takes (`make_recap`, `vantor recap`, `vantor batch`, `vantor demo`).

In this order: refuse to replace an existing result unless asked; a private
working folder inside the output directory; the local services' download to
the end; the engine, with per-run bindings only (its requests to the run's
services, its lines to the run's events, its children started, watched and
stopped by the run, the video's real duration checked after its download);
then the results checked and renamed into the output directory.

Nothing here touches process-wide state: no name on `vantor.vantor` is
rebound, `sys.stdout` and `os.environ` stay as they are. `cancel()` may be
called from any thread.
"""

from __future__ import annotations

import json
import os
import shlex
import shutil
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TextIO

from ..bindings import current_bindings, engine_run
from .outputs import ENGINE_FINAL, ENGINE_HORIZONTAL, OutputError, OutputNames, publish, refuse_existing, working_folder

if TYPE_CHECKING:
    from ..services import LocalServices, NarrationTiming, Progress

__all__ = ["EngineRun", "RunCancelled", "RunEvent", "RunOutputs", "kept_work_dir"]

_WAIT_SLICE = 0.25  # how often a waiting run looks for a cancellation
# The engine pauses before each poll of its download job and after each
# narration, to pace outside services. The local services have the narration
# written when they answer, and a pre-fetched video's job finished at its
# first poll, so those pauses wait for nothing; later polls (a job that had
# to start again) keep theirs.
_POLL_PAUSE_AT_LEAST = 1.0


class RunCancelled(Exception):
    """The run was cancelled (`EngineRun.cancel`, or its stop check)."""


@dataclass(frozen=True)
class RunEvent:
    """Something a run shows as it goes:

    - "stage": a step begins ("download", "engine", "publish"), `text` says it;
    - "line": one complete line the engine printed;
    - "figure": the engine's running percentage of its download job;
    - "download": the local services' download, `data` a `Progress`;
    - "conversion": the conversion starts; `data` is (report file, source
      video, speed), its ffmpeg writing time stamps to the report file;
    - "child": a child (ffmpeg, wget) ended; `text` is its command line,
      `data` the `CompletedProcess` with what was captured of its output.
    """

    kind: str
    text: str = ""
    data: Any = None


@dataclass(frozen=True)
class RunOutputs:
    final: str
    horizontal: str
    encoder: str  # of the conversion that made the recap
    captions: tuple[str, ...] = ()  # NAME.srt and NAME.vtt when captions were asked for


def kept_work_dir(error: BaseException) -> str | None:
    """The working folder a failed run left, for the error's message."""
    return getattr(error, "vantor_work_dir", None)


def _conversion_encoder(argv: Sequence[Any]) -> str | None:
    """The video encoder when `argv` is the engine's conversion to the recap."""
    items = [os.fspath(a) if isinstance(a, os.PathLike) else a for a in argv]
    if not items or not isinstance(items[-1], str) or os.path.basename(items[-1]) != ENGINE_FINAL:
        return None
    try:
        return str(items[items.index("-c:v") + 1])
    except (ValueError, IndexError):
        return None


class _Clock:
    """The run's `time`: the engine's pauses, cut short by a cancellation,
    and on the local services not waited where nothing is pending. `under`
    is the `time` the engine would use without the run (a host's own clock
    bound on the module is kept)."""

    def __init__(self, run: EngineRun, local: bool, under: Any) -> None:
        self._run, self._local, self._under, self._polls = run, local, under, 0

    def sleep(self, seconds: float) -> None:
        if self._local:
            if seconds < _POLL_PAUSE_AT_LEAST:
                return self._run._raise_if_cancelled()
            self._polls += 1
            if self._polls == 1:
                return self._run._raise_if_cancelled()
        if self._under is time:
            self._run._wait(float(seconds))
        else:
            self._run._raise_if_cancelled()
            self._under.sleep(seconds)
        return None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._under, name)


class _Children:
    """The run's `subprocess`: `run` starts each child so that the run can
    stop it, sends its output where the run says, and tells the run which
    conversion succeeded; everything else is the real module's."""

    def __init__(self, run: EngineRun) -> None:
        self._run = run

    def run(self, argv: Any, *, check: bool = False, capture_output: bool = False,
            **kwargs: Any) -> subprocess.CompletedProcess[Any]:
        return self._run.run_child(argv, check=check, capture_output=capture_output, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(subprocess, name)


@dataclass
class EngineRun:
    """One recap. `services`: the local services (None: the hosts the engine
    was built with). `router`: the engine's `requests` for the run (default:
    the local services' router; None without services: the real one). `segments`: the checked segments, to compare with the
    video's real duration after the download (None: not compared).
    `on_event`: called with each `RunEvent`, on the run's thread.
    `child_output`: where ffmpeg's and wget's own output goes (None: this
    process's). `stop_requested`: polled while a child runs; True cancels.
    `start_child`: starts a child (`subprocess.Popen`'s signature)."""

    url: str
    segments_file: str
    speed: float
    voice: str
    output_dir: str = "."
    names: OutputNames = field(default_factory=OutputNames)
    overwrite: bool = False
    services: LocalServices | None = None
    router: Any = None
    segments: list[dict[str, object]] | None = None
    on_event: Callable[[RunEvent], None] | None = None
    child_output: TextIO | None = None
    stop_requested: Callable[[], bool] | None = None
    start_child: Callable[..., subprocess.Popen[Any]] = subprocess.Popen
    captions: str | None = None  # None, or one of `captions.CAPTION_MODES`
    timings: Sequence[NarrationTiming] | None = None  # each segment's, when known (else asked of `services`)

    def __post_init__(self) -> None:
        self.clip_durations: list[float] | None = None  # of the merged clips, probed before the concatenation
        self.work_dir: str | None = None
        self.encoder: str | None = None
        self._cancelled = threading.Event()
        self._lock = threading.Lock()
        self._child: subprocess.Popen[Any] | None = None
        self._pending = ""
        self._report_dir: str | None = None
        self._copy_dir: str | None = None  # the engine's copy of the segments

    # -- control, from any thread -------------------------------------------

    def cancel(self) -> None:
        """Stops the run: its running child is killed now, and the run raises
        `RunCancelled` on its own thread, keeping its working folder."""
        self._cancelled.set()
        with self._lock:
            child = self._child
        if child is not None:
            try:
                child.kill()
            except OSError:
                pass

    @property
    def cancelled(self) -> bool:
        return self._cancelled.is_set() or (self.stop_requested is not None and self.stop_requested())

    # -- the run ------------------------------------------------------------

    def refuse_existing(self) -> None:
        """Before anything is fetched: an existing result stays unless the
        run may replace it."""
        refuse_existing(self.names, self.output_dir, overwrite=self.overwrite,
                        replace="pass --force (overwrite=True) to replace it, or choose another name with -o")

    def run(self) -> RunOutputs:
        from .. import vantor as engine

        if self.captions is not None:
            from .caption_step import check_caption_request

            check_caption_request(self)
        self.refuse_existing()
        if self.services is not None:
            self._event("stage", "download")
            try:
                self.services.prefetch(self.url, on_progress=self._on_download)
            finally:
                self._event("stage", "downloaded")
        self.work_dir = working_folder(self.output_dir)
        try:
            bindings: dict[str, Any] = {
                "print": self.engine_print, "subprocess": _Children(self),
                "time": _Clock(self, self.services is not None,
                               current_bindings().get("time") or vars(engine).get("time", time)),
            }
            router = self.router if self.router is not None else getattr(self.services, "router", None)
            if router is not None:
                bindings["requests"] = router
            if self.segments:
                bindings["_download_video"] = self._guarded_download(engine)
            segments_file = self._engine_segments_file()
            self._event("stage", "engine")
            with engine_run(**bindings):
                engine.run_recap(self.url, segments_file, self.speed, self.voice, self.work_dir)
            self._flush_lines()
            self._raise_if_cancelled()
            self._event("stage", "publish")
            if not os.path.isdir(self.work_dir):
                raise self._folder_gone()
            extras: list[tuple[str, str]] = []
            if self.captions is not None:
                from .caption_step import make_captions

                self._event("stage", "captions")
                extras = make_captions(self)
            final, horizontal = publish(self.work_dir, self.output_dir, self.names, overwrite=self.overwrite,
                                        extras=extras)
        except BaseException as error:
            self._flush_lines()
            failure = self._failure(error)
            if failure is error:
                raise
            raise failure from error
        finally:
            for scratch in (self._report_dir, self._copy_dir):
                if scratch is not None:
                    shutil.rmtree(scratch, ignore_errors=True)
        made_captions = tuple(os.path.join(self.output_dir or ".", name) for _, name in extras)
        return RunOutputs(final, horizontal, self.encoder or "unknown", made_captions)

    def _engine_segments_file(self) -> str:
        """The engine reads times as strings only: checked segments holding
        numbers of seconds reach it as a copy of the run's own with each
        written as the equivalent string. The user's file stays as it is."""
        from .segments_check import engine_segments

        copy = engine_segments(self.segments or [])
        if copy is None:
            return self.segments_file
        self._copy_dir = tempfile.mkdtemp(prefix="vantor-segments-")
        path = os.path.join(self._copy_dir, "segments.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(copy, f, ensure_ascii=False)
        return path

    def _folder_gone(self) -> OutputError:
        return OutputError(f"the working folder {self.work_dir} disappeared during the run (was the output "
                           f"directory {self.output_dir or '.'} removed?); nothing was made")

    def _failure(self, error: BaseException) -> BaseException:
        """The error to raise for a failed run, naming the kept working folder."""
        work = self.work_dir
        if work is not None and not os.path.isdir(work) and not isinstance(error, KeyboardInterrupt):
            return self._folder_gone()
        if work is not None and os.path.isdir(work) and not os.listdir(work):
            os.rmdir(work)  # nothing was made yet: nothing to keep
            self.work_dir = work = None
        if self.cancelled and not isinstance(error, (RunCancelled, KeyboardInterrupt)):
            error = RunCancelled("the recap was cancelled" + (f"; its working files are kept in {work}" if work else ""))
        if work is not None and os.path.isdir(work):
            setattr(error, "vantor_work_dir", work)
            error.add_note(f"the working files are kept in {work}")
        return error

    # -- what the bindings call ---------------------------------------------

    def _raise_if_cancelled(self) -> None:
        if self.cancelled:
            kept = f"; its working files are kept in {self.work_dir}" if self.work_dir else ""
            raise RunCancelled("the recap was cancelled" + kept)

    def _wait(self, seconds: float) -> None:
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            self._raise_if_cancelled()
            self._cancelled.wait(min(left, _WAIT_SLICE))
        self._raise_if_cancelled()

    def _event(self, kind: str, text: str = "", data: Any = None) -> None:
        if self.on_event is not None:
            self.on_event(RunEvent(kind, text, data))

    def _on_download(self, progress: Progress) -> None:
        self._raise_if_cancelled()
        self._event("download", data=progress)

    def engine_print(self, *values: Any, sep: str | None = " ", end: str | None = "\n", file: Any = None,
               flush: bool = False) -> None:
        """The run's `print`: the engine's text, as "line" and "figure" events."""
        if file is not None:  # someone else's stream: as the builtin does
            print(*values, sep=sep, end=end, file=file, flush=flush)
            return
        self._raise_if_cancelled()
        self._pending += (" " if sep is None else sep).join(map(str, values)) + ("\n" if end is None else end)
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            self._event("line", self._as_published(line.rsplit("\r", 1)[-1]))
        if "\r" in self._pending:
            figure = self._pending.rsplit("\r", 1)[-1]
            self._pending = "\r" + figure
            if figure.strip():
                self._event("figure", figure.strip())

    def _as_published(self, line: str) -> str:
        """The engine names its results in the working folder; the person
        reading is told where they will be once the run publishes them."""
        if self.work_dir is None:
            return line
        for made, name in ((ENGINE_FINAL, self.names.final), (ENGINE_HORIZONTAL, self.names.horizontal)):
            line = line.replace(os.path.join(self.work_dir, made), os.path.join(self.output_dir or ".", name))
        return line

    def _flush_lines(self) -> None:
        rest, self._pending = self._pending.rsplit("\r", 1)[-1], ""
        if rest.strip():
            self._event("line", rest)

    def _guarded_download(self, engine: Any) -> Callable[[str, str], None]:
        from .preflight import check_video_duration

        download = current_bindings().get("_download_video") or vars(engine)["_download_video"]
        segments = list(self.segments or [])

        def download_then_measure(url: str, output_file: str) -> None:
            download(url, output_file)
            for warning in check_video_duration(segments, output_file):
                self._event("line", str(warning))

        return download_then_measure

    def _conversion_env(self, argv: Sequence[Any]) -> dict[str, str]:
        # ffmpeg's report, for the conversion bar: this child's environment only.
        self._report_dir = self._report_dir or tempfile.mkdtemp(prefix="vantor-report-")
        report = os.path.join(self._report_dir, "convert.log")
        items = list(argv)
        source = str(items[items.index("-i") + 1]) if "-i" in items[:-1] else None
        self._event("conversion", data=(report, source, self.speed))
        return {**os.environ, "FFREPORT": f"file={report}:level=32"}

    def run_child(self, argv: Any, *, check: bool, capture_output: bool,
                   **kwargs: Any) -> subprocess.CompletedProcess[Any]:
        self._raise_if_cancelled()
        if self.captions is not None and self.clip_durations is None:
            from .caption_step import concatenated_clips

            if (clips := concatenated_clips(argv)) is not None:
                self.clip_durations = clips
        encoder = _conversion_encoder(argv)
        if encoder is not None and "env" not in kwargs:
            kwargs["env"] = self._conversion_env(argv)
        if capture_output:
            kwargs["stdout"] = kwargs["stderr"] = subprocess.PIPE
        elif self.child_output is not None:
            self.child_output.flush()  # the tool's own lines come after the run's
            kwargs.setdefault("stdout", self.child_output)
            kwargs.setdefault("stderr", self.child_output)
        child = self.start_child(argv, **kwargs)
        with self._lock:
            self._child = child
        try:
            while True:
                try:
                    stdout, stderr = child.communicate(timeout=_WAIT_SLICE)
                    break
                except subprocess.TimeoutExpired:
                    if self.cancelled:
                        child.kill()
                        child.wait()
                        self._raise_if_cancelled()
        except BaseException:
            if child.poll() is None:
                child.kill()
            child.wait()
            raise
        finally:
            with self._lock:
                self._child = None
        self._raise_if_cancelled()  # a child killed by cancel() is not a tool's failure
        result = subprocess.CompletedProcess(argv, child.returncode, stdout, stderr)
        self._event("child", shlex.join(os.fspath(a) if isinstance(a, os.PathLike) else str(a) for a in argv),
                    data=result)
        if check:
            result.check_returncode()
        if encoder is not None and result.returncode == 0:
            self.encoder = encoder
        return result
