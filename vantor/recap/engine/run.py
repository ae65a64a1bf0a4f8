"""`EngineRun`: one recap through the engine, the one path every front end
takes (`make_recap`, `vantor recap`, `vantor batch`, `vantor demo`).

In this order: refuse to replace an existing result unless asked; the local
services' download to the end, with the narrations being spoken beside it
(`speech_beside`) and then awaited; a private working folder inside the
output directory; the engine, with its steps taken by the run's host (`host.RunHost`:
children, cancellation, pauses, events, the captions within the conversion)
and its requests sent to the run's services; then the results checked and
renamed into the output directory.

Nothing here touches process-wide state: no name on `vantor.vantor` is
rebound, `sys.stdout` and `os.environ` stay as they are. `cancel()` may be
called from any thread.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TextIO

from ...bindings import engine_run
from ..captions.emphasis import spoken_segments, spoken_text
from .host import RunCancelled, RunEvent, RunHost, Shaper
from .outputs import ENGINE_FINAL, ENGINE_HORIZONTAL, OutputError, OutputNames, publish, refuse_existing, working_folder
from .run_media import RunMedia

if TYPE_CHECKING:
    from ...services import LocalServices, NarrationTiming, Progress
    from ..captions.caption_step import CaptionPlan
    from ..framing.frame_step import FramePlan
    from .options import RecapSpec
    from ..sound.sound_step import SoundPlan
    from ..fit.speech_beside import SpeechBeside
    from ..timeline.model import Timeline
    from ..timeline.timeline_plan import RunTimeline

__all__ = ["EngineRun", "RunCancelled", "RunEvent", "RunOutputs", "kept_work_dir"]


@dataclass(frozen=True)
class RunOutputs:
    final: str
    horizontal: str
    encoder: str  # of the conversion that made the recap
    captions: tuple[str, ...] = ()  # NAME.srt and NAME.vtt when captions were asked for


def kept_work_dir(error: BaseException) -> str | None:
    """The working folder a failed run left, for the error's message."""
    return getattr(error, "vantor_work_dir", None)


@dataclass
class EngineRun:
    """One recap. `services`: the local services (None: the hosts the engine
    was built with). `router`: the engine's `requests` for the run (default:
    the local services' router; None without services: the real one).
    `segments`: the checked segments, to compare with the video's real
    duration after the download (None: not compared).
    `on_event`: called with each `RunEvent`, on the run's thread.
    `child_output`: where ffmpeg's and wget's own output goes (None: this
    process's). `stop_requested`: polled while a child runs; True cancels.
    `start_child`: starts a child (`subprocess.Popen`'s signature).
    `spec`: what the recap is asked to be, checked when it was made."""

    url: str
    segments_file: str
    spec: RecapSpec
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
    timings: Sequence[NarrationTiming] | None = None  # each segment's, when known (else asked of `services`)
    # A failed or cancelled run's working folder is removed unless kept (the
    # download stays in the services' cache, so a retry fetches nothing again).
    keep_work: bool = False
    # The narrations being spoken beside the download (with `services`): awaited
    # after it, their timings become the run's; a failure on either side ends both.
    speech: SpeechBeside | None = None

    def __post_init__(self) -> None:
        self.work_dir: str | None = None
        self.encoder: str | None = None
        self.host: RunHost | None = None  # made when the run starts
        self._cancel_asked = False
        self._copy_dir: str | None = None  # the engine's copy of the segments
        self._media = RunMedia()
        self._finished = False  # the recap is published

    # -- control, from any thread -------------------------------------------

    def cancel(self) -> None:
        """Stops the run: its running child is killed now, and the run raises
        `RunCancelled` on its own thread (its working folder kept only with
        `keep_work`)."""
        self._cancel_asked = True
        if self.host is not None:
            self.host.cancel()

    @property
    def timeline(self) -> Timeline | None:
        """The run's own timeline once it has made the recap: every range's
        exact frame times, its narration's place and its crop (None before,
        or when the run failed)."""
        if not self._finished or self.host is None or self.host.timeline is None:
            return None
        return self.host.timeline.current

    @property
    def cancelled(self) -> bool:
        if self.host is not None:
            return self.host.cancelled
        return self._cancel_asked or (self.stop_requested is not None and self.stop_requested())

    # -- the run ------------------------------------------------------------

    def refuse_existing(self) -> None:
        """Before anything is fetched: an existing result stays unless the
        run may replace it."""
        refuse_existing(self.names, self.output_dir, overwrite=self.overwrite,
                        replace="pass --force (overwrite=True) to replace it, or choose another name with -o")

    def run(self) -> RunOutputs:
        from ... import vantor as engine

        shapers = self._shapers()
        self.refuse_existing()
        # One record of the run's media for its checks and shapers; the narrations'
        # lengths from their voiced timings when the run's own services spoke them.
        self._media = RunMedia(self.timings if self.services is not None else None)
        host = self._host(shapers)
        self._media.runner = host.runner  # its probes end with the run's other children
        if self.services is not None:
            self._download(self.services)
        self.work_dir = host.work_dir = working_folder(self.output_dir)
        failed = False
        for shaper in shapers:
            shaper.work_dir, shaper.media, shaper.runner = self.work_dir, self._media, host.runner
            shaper.timeline = host.timeline
        try:
            segments_file = self._engine_segments_file()
            self._event("stage", "engine", self._published_paths())
            router = self.router if self.router is not None else getattr(self.services, "router", None)
            with engine_run(host=host, **({"requests": router} if router is not None else {})):
                engine.run_recap(self.url, segments_file, self.spec.speed, self.spec.voice, self.work_dir)
            host.raise_if_cancelled()
            self.encoder = host.encoder
            self._event("stage", "publish")
            if not os.path.isdir(self.work_dir):
                raise self._folder_gone()
            extras: list[tuple[str, str]] = []
            for shaper in shapers:
                shaper.close()
                extras += shaper.made
            final, horizontal = publish(self.work_dir, self.output_dir, self.names, overwrite=self.overwrite,
                                        extras=extras)
        except BaseException as error:
            failed = True
            failure = self._failure(error)
            if failure is error:
                raise
            raise failure from error
        finally:
            host.close()  # its children end before their folder goes
            if self._copy_dir is not None:
                shutil.rmtree(self._copy_dir, ignore_errors=True)
            if failed and not self.keep_work and self.work_dir is not None:
                shutil.rmtree(self.work_dir, ignore_errors=True)
        self._finished = True
        made_captions = tuple(os.path.join(self.output_dir or ".", name) for _, name in extras)
        return RunOutputs(final, horizontal, self.encoder or "unknown", made_captions)

    def _download(self, services: LocalServices) -> None:
        speech = self.speech
        self._event("stage", "download")
        if speech is not None:
            speech.start()
        try:
            services.prefetch(self.url, on_progress=self._on_download,
                              stopped=speech.failed if speech is not None else None)
        except BaseException:
            if speech is not None:
                speech.halt()
            raise
        finally:
            self._event("stage", "downloaded")
        if speech is not None:
            assert self.host is not None
            timings = speech.timings(self._emit, lambda: self.host is not None and self.host.cancelled)
            if timings is not None:
                self.timings = timings
                self._media = RunMedia(timings)
                self._media.runner = self.host.runner
                self.host.media = self._media  # its cuts measure the narrations as the sound does
                if self.host.timeline is not None:
                    self.host.timeline.timings = timings  # planned from them when the source is there

    def _shapers(self) -> list[Shaper]:
        """The run's features, in the order they shape each command."""
        framing = self._frame_plan()
        captions = self._caption_plan()
        sound = self._sound_plan()
        return [shaper for shaper in (framing, sound, captions) if shaper is not None]

    def _sound_plan(self) -> SoundPlan | None:
        sound = self.spec.sound
        if sound is None:
            return None
        from ..sound.sound_step import SoundPlan

        def measure(argv: list[str], **kwargs: Any) -> subprocess.CompletedProcess[Any]:
            assert self.host is not None  # made before the engine starts
            return self.host.run_child(argv, captured=True, **kwargs)

        return SoundPlan(sound, self.spec.speed, self._segment_list, lambda line: self._event("line", line), measure)

    def _segment_list(self) -> list[dict[str, object]]:
        if self.segments:
            return list(self.segments)
        with open(self.segments_file, encoding="utf-8") as f:
            return list(json.load(f))

    def _host(self, shapers: Sequence[Shaper]) -> RunHost:
        self.host = RunHost(emit=self._emit, local=self.services is not None,
                            check_fetched=self._fetched_check(), child_output=self.child_output,
                            stop_requested=self.stop_requested, start_child=self.start_child, shapers=shapers,
                            local_file=getattr(self.services, "local_file", None), timeline=self._timeline())
        self.host.media = self._media
        if self._cancel_asked:
            self.host.cancel()
        return self.host

    def _timeline(self) -> RunTimeline:
        """The run's one timeline, planned by its host when the source is there."""
        from ..framing.modes import ASPECTS
        from ..timeline.model import SoundBed
        from ..timeline.timeline_plan import RunTimeline

        spec, sound = self.spec, self.spec.sound
        return RunTimeline(self._readable_segments, speed=spec.speed,
                           fit=sound.fit if sound is not None else "narration",
                           texts=lambda: [spoken_text(str(s.get("voiceover", ""))) for s in self._readable_segments()
                                          if isinstance(s, dict)],
                           timings=self.timings if self.services is not None else None,
                           sound=SoundBed(source=sound.source_audio) if sound is not None else
                           SoundBed(source="off"), picture=ASPECTS.get(spec.aspect, (1080, 1920)),
                           caption_style=spec.caption_style if spec.captions == "burn" else None)

    def _frame_plan(self) -> FramePlan | None:
        if self.spec.plain:
            return None  # the engine's own centre crop to 9:16
        from ..framing.frame_step import FramePlan

        return FramePlan(self.spec.frame, self.spec.aspect, say=lambda line: self._event("line", line),
                         range_frames=self._range_frames)

    def _range_frames(self) -> list[object]:
        return [segment.get("frame") if isinstance(segment, dict) else None for segment in self._segment_list()]

    def _caption_plan(self) -> CaptionPlan | None:
        spec = self.spec
        if spec.captions is None:
            return None
        from ..captions.caption_step import CaptionPlan, check_caption_request, picture_fills

        self.names = check_caption_request(spec.captions, timings_known=self.timings is not None or
                                           self.services is not None, names=self.names)
        frame, aspect = (None, "9:16") if spec.plain else (spec.frame, spec.aspect)
        return CaptionPlan(spec.captions, self.names, spec.speed, self._narration_timings, spec.look,
                           voice=spec.voice, aspect=aspect,
                           fills=lambda: picture_fills(frame, self._range_frames()),
                           narrations=lambda: [str(s.get("voiceover", "")) if isinstance(s, dict) else ""
                                               for s in self._readable_segments()],
                           say=lambda line: self._event("line", line))

    def _narration_timings(self, count: int) -> Sequence[NarrationTiming]:
        if self.timings is not None:
            return self.timings
        assert self.services is not None
        segments = self._segment_list()
        # The service keeps each narration's timing with its audio: answered from its cache.
        return [self.services.narration_timing(spoken_text(str(s["voiceover"])), self.spec.voice)
                for s in segments[:count]]

    def _fetched_check(self) -> Callable[[str], list[str]] | None:
        if not self.segments:
            return None
        from ..checks.preflight import check_video_duration

        segments = list(self.segments)
        # The run's media record as it is then (the narrations' timings may come with the download).
        return lambda video: [str(warning) for warning in check_video_duration(segments, video,
                                                                               self._media.source_length)]

    def _published_paths(self) -> dict[str, str]:
        """Where the engine's results in the working folder will be once published."""
        assert self.work_dir is not None
        return {os.path.join(self.work_dir, made): os.path.join(self.output_dir or ".", name)
                for made, name in ((ENGINE_FINAL, self.names.final), (ENGINE_HORIZONTAL, self.names.horizontal))}

    def _engine_segments_file(self) -> str:
        """The engine reads times as strings only: checked segments holding
        numbers of seconds reach it as a copy of the run's own with each
        written as the equivalent string, and narrations marking words for
        the captions without the marks. The user's file stays as it is."""
        from ..checks.segments_check import engine_segments

        copy = engine_segments(self.segments or [])
        unmarked = spoken_segments(copy or self.segments or self._readable_segments())
        copy = unmarked if unmarked is not None else copy
        if copy is None:
            return self.segments_file
        self._copy_dir = tempfile.mkdtemp(prefix="vantor-segments-")
        path = os.path.join(self._copy_dir, "segments.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(copy, f, ensure_ascii=False)
        return path

    def _readable_segments(self) -> list[dict[str, object]]:
        """The unchecked segments file's list, if it is one (else the engine says what is wrong)."""
        try:
            found = self._segment_list()
        except (OSError, ValueError, TypeError):
            return []
        return found if isinstance(found, list) else []

    def _folder_gone(self) -> OutputError:
        return OutputError(f"the working folder {self.work_dir} disappeared during the run (was the output "
                           f"directory {self.output_dir or '.'} removed?); nothing was made")

    def _failure(self, error: BaseException) -> BaseException:
        """The error to raise for a failed run, naming the working folder
        where it is kept."""
        work = self.work_dir
        if work is not None and not os.path.isdir(work) and not isinstance(error, KeyboardInterrupt):
            return self._folder_gone()
        if work is not None and os.path.isdir(work) and not os.listdir(work):
            os.rmdir(work)  # nothing was made yet: nothing to keep
            self.work_dir = work = None
        if not self.keep_work:
            if isinstance(error, RunCancelled) and work is not None and work in str(error):
                error = RunCancelled("the recap was cancelled")  # the host named the folder about to go
            work = None  # removed once the host has closed
        if self.cancelled and not isinstance(error, (RunCancelled, KeyboardInterrupt)):
            error = RunCancelled("the recap was cancelled" + (f"; its working files are kept in {work}" if work else ""))
        if work is not None and os.path.isdir(work):
            setattr(error, "vantor_work_dir", work)
            error.add_note(f"the working files are kept in {work}")
        return error

    # -- events ---------------------------------------------------------------

    def _emit(self, event: RunEvent) -> None:
        if self.on_event is not None:
            self.on_event(event)

    def _event(self, kind: str, text: str = "", data: Any = None) -> None:
        self._emit(RunEvent(kind, text, data))

    def _on_download(self, progress: Progress) -> None:
        if self.host is not None:
            self.host.raise_if_cancelled()
        if self.speech is not None:
            for event in self.speech.news():
                self._emit(event)
        self._event("download", data=progress)
