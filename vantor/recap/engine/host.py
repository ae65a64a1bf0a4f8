"""`RunHost`: the engine's steps as a product run takes them.

Bound as the run's `host` (see `steps`), it
- starts every child through the run's one `Runner` (`runner`), so
  `cancel()` from any thread kills the one running and its process group,
  and sends its output where the run says; the features' own tools
  (framing's analysis, the media probes) run through it too;
- restricts each ffmpeg input to local files and pipes
  (`-protocol_whitelist file,pipe` before every `-i`): the source video
  comes from a service, and a crafted container or list must not make
  ffmpeg reach the network or other protocols;
- paces the engine's pauses, cut short by a cancellation, and on the local
  services skips those that wait for nothing;
- hands each thing to show to the run's `on_event` as a typed `RunEvent`;
- checks the video's real duration against the segments after the fetch;
- keeps the run's timeline (planned when the source is there, refined at
  each cut) and makes the conversion the exact join of the ranges
  (`join_step`);
- shapes the cut, the merge and the conversion through the run's
  `Shaper`s (framing, sound, captions: each adds to the named parts of the
  command models, so a feature costs no pass of its own), and has the
  conversion's ffmpeg report its progress (FFREPORT, in that child's
  environment only).
"""

from __future__ import annotations

import os
import shlex
import signal
import subprocess
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO

from ...runner import Runner
from . import fetch_step
from ..timeline.command import CutCommand
from .fetch_step import LocalFile
from .outputs import OutputError
from .run_media import RunMedia
from ..timeline.timeline_plan import RunTimeline
from .steps import (Concat, Conversion, Cut, Event, Fetch, Job, Merge, Narration, Pause, Poll, StepHost, engine_name,
                    fspath_argv)

if TYPE_CHECKING:
    from ..timeline.join_step import RecapJoin
    from ..timeline.model import RangeTime

__all__ = ["RunCancelled", "RunEvent", "RunHost", "Shaper", "restricted_inputs"]

_WAIT_SLICE = 0.25  # how often a waiting run looks for a cancellation
_FFMPEG_TOOLS = ("ffmpeg", "ffprobe")
INPUT_PROTOCOLS = "file,pipe"


class RunCancelled(Exception):
    """The run was cancelled (`EngineRun.cancel`, or its stop check)."""


@dataclass(frozen=True)
class RunEvent:
    """Something a run shows as it goes:

    - "stage": a step of the run begins ("download", "downloaded", "engine",
      "publish"); for "engine", `data` maps the engine's result paths in the
      working folder to where the run publishes them;
    - "engine": the engine's `steps.Event` in `data`, its line in `text`;
    - "line": a line of the run's own (a warning);
    - "download": the local services' download, `data` a `Progress`;
    - "speech": a narration spoken beside the download was asked for or is
      spoken, `data` a `speech_beside.NarrationNews`;
    - "conversion": the conversion starts; `data` is (report file, seconds
      its ffmpeg will write on the report's clock, None when unknown), its
      time stamps written to the report file;
    - "child": a child (ffmpeg, wget) ended; `text` is its command line,
      `data` the `CompletedProcess` with what was captured of its output;
    - "timeline": the run's `timeline.Timeline` in `data`, `text` "planned"
      (the source is there, before the first cut) or "final" (as the
      conversion made the recap, each range's exact frame times).
    """

    kind: str
    text: str = ""
    data: Any = None


# ffmpeg's own exit status when a signal (Ctrl-C, SIGTERM) stopped it.
_FFMPEG_SIGNALLED = 255


def _interrupted(argv: Sequence[Any], status: int) -> bool:
    """Whether a child's exit status says Ctrl-C stopped it: killed by
    SIGINT, or ffmpeg's status for a signal it caught."""
    return status == -signal.SIGINT or (status == _FFMPEG_SIGNALLED
                                        and os.path.basename(str(argv[0])).startswith("ffmpeg"))


def restricted_inputs(argv: Sequence[Any]) -> list[Any]:
    """An ffmpeg/ffprobe `argv` with `-protocol_whitelist file,pipe` before
    each `-i`; any other command as it is."""
    items = list(argv)
    if not items or os.path.basename(str(items[0])) not in _FFMPEG_TOOLS:
        return items
    out: list[Any] = [items[0]]
    for item in items[1:]:
        if item == "-i":
            out += ["-protocol_whitelist", INPUT_PROTOCOLS]
        out.append(item)
    return out


class Shaper:
    """A feature that shapes the engine's commands within the run's own
    encodes. `cut` and `merge` are handed the command as the engine, or the
    shapers before this one, made it and answer the command to run;
    `conversion` adds to the recap's conversion model. The defaults leave
    them as they are. `work_dir` is the run's working folder
    (set before the engine starts); the conversion runs there, so a filter
    may name a file of that folder by its bare name. `close()` removes the
    shaper's scratch files; `made` lists (file in the working folder,
    published name) pairs to publish with the results. `media`: what the
    run knows of its files (the run hands every shaper its one record, so
    no file is probed twice)."""

    work_dir: str | None = None
    made: list[tuple[str, str]]
    media: RunMedia
    runner: Runner  # the run's (set with `media`): a feature's own tools are cancelled with the run
    timeline: RunTimeline | None = None  # the run's (set with `media`), each range refined before its cut's shapers

    def __init__(self) -> None:
        self.made = []
        self.media = RunMedia()
        self.runner = Runner()

    def cut(self, step: Cut, command: CutCommand) -> CutCommand:
        return command

    def merge(self, step: Merge, argv: list[Any]) -> list[Any]:
        return argv

    def conversion(self, step: Conversion, join: RecapJoin) -> None:
        """Adds the feature to the recap's conversion (`join_step.RecapJoin`)."""

    def range_chain(self, rng: RangeTime, src_label: str, out_label: str) -> str | None:
        """The feature's picture chain for one range (`[src]...[out]`, its
        time 0 at the range's first frame), or None when it frames the
        joined recap instead."""
        return None

    def close(self) -> None:
        pass

    def stop(self) -> None:
        """Ends what the shaper does beside the engine's steps; the host
        calls it once the run is over, finished or failed."""


class RunHost(StepHost):
    """The host of one run. `emit`: each `RunEvent`. `local`: the local
    services answer (the pauses they make pointless are skipped).
    `check_fetched(video)`: warnings about the fetched video, shown after
    the engine says it is there.
    `child_output`: where the children's own output goes (None: this
    process's). `stop_requested`: polled while waiting; True cancels.
    `start_child`: `subprocess.Popen`'s signature. `shapers`: the run's
    features, in the order they shape each command (framing, sound,
    captions). `local_file`: the run's own services' cached file for a file
    address (see fetch_step)."""

    def __init__(self, *, emit: Callable[[RunEvent], None], local: bool,
                 check_fetched: Callable[[str], list[str]] | None = None, child_output: TextIO | None = None,
                 stop_requested: Callable[[], bool] | None = None,
                 start_child: Callable[..., subprocess.Popen[Any]] = subprocess.Popen,
                 shapers: Sequence[Shaper] = (), local_file: LocalFile | None = None,
                 timeline: RunTimeline | None = None) -> None:
        self._emit, self._local = emit, local
        self._local_file = local_file
        self._check_fetched, self._child_output = check_fetched, child_output
        self._shapers = tuple(shapers)
        self._cancelled = threading.Event()
        self.runner: Runner = Runner(start_child=start_child, stop_requested=stop_requested,
                             cancelled_error=self._cancelled_error)
        self._polls = 0
        self._clips: list[str] = []
        self._report_dir: str | None = None
        self.encoder: str | None = None  # of the conversion that made the recap
        self.work_dir: str | None = None  # named when a cancellation keeps it
        # The run's timeline: planned when the source is there, refined by each cut.
        self.timeline = timeline
        self.media: RunMedia = RunMedia()

    # -- cancellation, from any thread --------------------------------------

    def cancel(self) -> None:
        self._cancelled.set()
        self.runner.cancel()

    @property
    def _start_child(self) -> Callable[..., subprocess.Popen[Any]]:
        return self.runner.start_child

    @_start_child.setter
    def _start_child(self, start_child: Callable[..., subprocess.Popen[Any]]) -> None:
        self.runner.start_child = start_child

    @property
    def cancelled(self) -> bool:
        return self.runner.cancelled  # cancel() cancels the runner too; it polls the same stop_requested

    def raise_if_cancelled(self) -> None:
        self.runner.raise_if_cancelled()

    def _cancelled_error(self) -> RunCancelled:
        kept = self.work_dir
        return RunCancelled("the recap was cancelled" + (f"; its working files are kept in {kept}" if kept else ""))

    def close(self) -> None:
        """Ends the shapers' work beside the steps, then removes the run's
        scratch (the conversion's report)."""
        for shaper in self._shapers:
            shaper.stop()
        if self._report_dir is not None:
            import shutil

            shutil.rmtree(self._report_dir, ignore_errors=True)

    # -- the steps ------------------------------------------------------------

    def job(self, step: Job) -> Any:
        self.raise_if_cancelled()
        return super().job(step)

    def poll(self, step: Poll) -> Any:
        self.raise_if_cancelled()
        return super().poll(step)

    def pause(self, step: Pause) -> None:
        # The local services have the narration written when they answer, and
        # a pre-fetched video's job finished at its first poll: those pauses
        # wait for nothing. Later polls (a job that had to start again) wait.
        if self._local:
            if step.why == "narration":
                return self.raise_if_cancelled()
            self._polls += 1
            if self._polls == 1:
                return self.raise_if_cancelled()
        clock = engine_name("time")
        if clock is not time:  # a clock the host bound for the engine is kept
            self.raise_if_cancelled()
            clock.sleep(step.seconds)
            return None
        deadline = time.monotonic() + float(step.seconds)
        while (left := deadline - time.monotonic()) > 0:
            self.raise_if_cancelled()
            self._cancelled.wait(min(left, _WAIT_SLICE))
        return self.raise_if_cancelled()

    def narration(self, step: Narration) -> None:
        self.raise_if_cancelled()
        super().narration(step)

    def fetch(self, step: Fetch) -> int:
        return fetch_step.fetch(step, self.run_child, self._local_file)

    def cut(self, step: Cut) -> int:
        if not self._shapers and self.timeline is None:
            return self.run_child(step.argv).returncode
        command = CutCommand(step.source, step.start, step.end, step.target)
        if self.timeline is not None:
            self._refine(step)  # first: the shapers read the range as this cut makes it
        for shaper in self._shapers:
            command = shaper.cut(step, command)
        return self.run_child(command.render()).returncode

    def _refine(self, step: Cut) -> None:
        """The timeline's range as this cut makes it: its narration's measured length."""
        assert self.timeline is not None
        if self.timeline.current is None:
            self._plan(step.source)
        voice = os.path.join(os.path.dirname(step.target), f"voice_{step.index}.mp3")
        try:
            spoken: float | None = self.media.narration_length(step.index, voice)
        except Exception:  # an unreadable narration fails at the merge, which says so
            spoken = None
        self.timeline.cut(step.index, step.start, step.end, spoken)

    def merge(self, step: Merge) -> int:
        argv = list(step.argv)
        for shaper in self._shapers:
            argv = shaper.merge(step, argv)
        return self.run_child(argv).returncode

    def concat(self, step: Concat) -> int:
        self._clips = list(step.clips)
        return self.run_child(step.argv).returncode

    def conversion(self, step: Conversion) -> int:
        argv, cwd = list(step.argv), None
        if self._shapers or self.timeline is not None:
            # Run in the working folder, so filters name its files bare (a
            # path in a filter argument would need escaping).
            argv, cwd = self._exact_conversion(step), self.work_dir
        # ffmpeg's report, for the conversion bar: this child's environment only.
        self._report_dir = self._report_dir or tempfile.mkdtemp(prefix="vantor-report-")
        report = os.path.join(self._report_dir, "convert.log")
        # A product run's conversion also writes the joined file, whose clock (the source's speed) its report counts.
        # (The timeline's length, not a probe: a failed first attempt may have cut the joined file short.)
        current = self.timeline.current if self.timeline is not None else None
        clock = current.duration * step.speed if current is not None else _recap_length(step.source, step.speed)
        self._emit(RunEvent("conversion", data=(report, clock)))
        done = self.run_child(argv, captured=not step.checked, cwd=cwd,
                              env={**os.environ, "FFREPORT": f"file={report}:level=32"})
        if done.returncode == 0:
            self.encoder = step.encoder
            if self.timeline is not None and self.timeline.current is not None:
                self._emit(RunEvent("timeline", "final", self.timeline.current))
        return done.returncode

    def _exact_conversion(self, step: Conversion) -> list[str]:
        from ... import vantor as engine
        from ..timeline.join_step import RecapJoin

        timeline = self.timeline.current if self.timeline is not None else None
        if timeline is None or len(timeline.ranges) != len(self._clips):
            raise OutputError("the source video's picture could not be read to place the ranges; nothing was made "
                              "(check that the video plays, or try another copy of it)")
        join = RecapJoin(timeline, self._clips, [self.timeline.starts.get(n, r.source_in)  # type: ignore[union-attr]
                                                 for n, r in enumerate(timeline.ranges, 1)],
                         step.target, step.source, step.encoder, str(engine._build_atempo_chain(step.speed)))
        for shaper in self._shapers:
            shaper.conversion(step, join)
        if self.timeline is not None:
            self.timeline.current = join.timeline  # as the features refined it (the crop)
        if self.work_dir is not None:  # what a kept working folder shows of the run
            with open(os.path.join(self.work_dir, "timeline.json"), "w", encoding="utf-8") as f:
                f.write(join.timeline.to_json())
        return join.render([shaper.range_chain for shaper in self._shapers])

    def event(self, step: Event) -> None:
        self.raise_if_cancelled()
        self._emit(RunEvent("engine", step.text, step))
        if step.kind == "downloaded" and step.path is not None and self._check_fetched is not None:
            for warning in self._check_fetched(step.path):
                self._emit(RunEvent("line", warning))
        if step.kind == "downloaded" and step.path is not None and self.timeline is not None:
            self._plan(step.path)  # before the first cut

    def _plan(self, video: str) -> None:
        assert self.timeline is not None
        self.timeline.start(video, self.run_child)
        if self.timeline.current is not None:
            self._emit(RunEvent("timeline", "planned", self.timeline.current))

    # -- children -------------------------------------------------------------

    def run_child(self, argv: Sequence[Any], *, captured: bool = False,
                  **kwargs: Any) -> subprocess.CompletedProcess[Any]:
        """Runs `argv` (inputs restricted) through the run's runner, so that
        `cancel()` kills it, and tells the run; a cancellation raises
        RunCancelled."""
        self.raise_if_cancelled()
        argv = restricted_inputs(argv)
        if not captured and self._child_output is not None:
            self._child_output.flush()  # the tool's own lines come after the run's
        result = self.runner.run(argv, capture=captured, stdout=None if captured else self._child_output, **kwargs)
        self.raise_if_cancelled()  # a child killed by cancel() is not a tool's failure
        if _interrupted(argv, result.returncode):
            # Ctrl-C reached the child (the terminal signals the whole group); this process may
            # ignore SIGINT (started in the background) or see it only after the child's exit.
            raise KeyboardInterrupt(f"{os.path.basename(str(argv[0]))} was interrupted")
        self._emit(RunEvent("child", shlex.join(fspath_argv(argv)), result))
        return result


def _recap_length(source: str | None, speed: float) -> float | None:
    """The recap's length for a conversion of `source` at `speed` (None:
    unknown, so no figure is shown)."""
    from ..checks.probe import UnreadableVideo, probe_duration

    try:
        return probe_duration(source) / speed if source else None
    except UnreadableVideo:
        return None
