"""One recap as the command line and `vantor.make_recap` run it:
checks first, then the services, then the one run path (`EngineRun`) with
its progress shown on a stream of the caller's choosing, then a result with
the measured outputs.
"""

from __future__ import annotations

import contextlib
import json
import os
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from ..fit.fit_report import check_caption_choice, fit_timings, measured_fit
from ..framing.modes import ASPECTS
from .options import RecapSpec
from ..checks.preflight import (COMMAND_LINE, PYTHON, PreflightError, Wording, check_run_voice, checked_segments,
                        make_output_dir, remove_made_folders)
from .progress_view import ProgressView, showing_progress
from .outputs import OutputError, OutputNames, refuse_existing
from ..checks.probe import probe_duration
from .run import EngineRun, RunEvent
from ..sound.sound_step import SoundChoice
from ..fit.speech_beside import SpeechBeside
from .services_choice import SERVICES, ServicesChoice, resolve_services, shown_address
from ..sound.spoken_by import spoken_notes, voices_spoken
from ...services.file_source import is_video_file, source_address
from ...tools import require_tools

if TYPE_CHECKING:
    from ...interchange.export import Exported
    from ...services import LocalServices
    from ..fit.fit_report import SegmentFit
    from ..timeline.model import Timeline

__all__ = ["SERVICES", "PreparedRecap", "RecapResult", "TimelineResult", "execute", "execute_timeline_only", "prepare",
           "resolve_services"]


@dataclass(frozen=True)
class RecapResult:
    """What a finished recap left behind."""

    final: Path  # the 1080x1920 recap (FINAL_RECAP.mp4 unless named)
    horizontal: Path  # the joined horizontal video (horizontal_final.mp4 beside it)
    final_duration: float  # seconds
    horizontal_duration: float  # seconds
    final_size: int  # bytes
    horizontal_size: int  # bytes
    segments: int
    wall_time: float  # seconds, checks included
    encoder: str  # the video encoder of the conversion: "h264_nvenc" or "libx264"
    captions: tuple[Path, ...] = ()  # NAME.srt and NAME.vtt beside the recap, when asked for
    # Per segment, who spoke it: {"segment", "voice", "engine": "piper" | "espeak-ng"}; empty when
    # the speech service was not local (its word timings say which engine spoke).
    voices: tuple[dict[str, object], ...] = ()
    # The picture's framing: the mode and the aspect (`framing.FRAME_MODES`, `framing.ASPECTS`).
    frame: str = "center"
    aspect: str = "9:16"
    # The sound asked for: source audio, music file, loudness, fit.
    sound: SoundChoice | None = None
    # The timelines for an editor written beside the recap (NAME.otio ...), and NAME.media/.
    timelines: tuple[Path, ...] = ()
    media: Path | None = None

    def as_json(self) -> dict[str, object]:
        captions = {path.suffix.lstrip("."): str(path) for path in self.captions}  # "srt", "vtt"
        return {
            "outputs": {"final": str(self.final), "horizontal": str(self.horizontal)} | captions,
            "durations": {"final": self.final_duration, "horizontal": self.horizontal_duration},
            "sizes": {"final": self.final_size, "horizontal": self.horizontal_size},
            "segments": self.segments,
            "wall_time": round(self.wall_time, 3),
            "encoder": self.encoder,
            "voices": [dict(voice) for voice in self.voices],
            "framing": {"frame": self.frame, "aspect": self.aspect, "size": list(ASPECTS[self.aspect])},
        } | ({"sound": _sound_json(self.sound)} if self.sound is not None else {}) | _timelines_json(self)


def _timelines_json(result: RecapResult | TimelineResult) -> dict[str, object]:
    if not result.timelines:
        return {}
    return {"timelines": [str(path) for path in result.timelines], "media": str(result.media)}


@dataclass(frozen=True)
class TimelineResult:
    """What `--timeline-only` left behind: the timelines and their media, no recap."""

    timelines: tuple[Path, ...]
    media: Path
    film: str  # how the source film got into the media folder: "linked" or "copied"
    wall_time: float

    def as_json(self) -> dict[str, object]:
        return _timelines_json(self) | {"film": self.film, "wall_time": round(self.wall_time, 3)}


@dataclass(frozen=True)
class PreparedRecap:
    """A run whose arguments passed every check that needs no service."""

    url: str
    segments_file: str
    spec: RecapSpec  # the run's options, checked when made
    output_dir: str
    services: str  # resolved: "configured", "local" or an address
    segments: list[dict[str, object]]  # as checked; empty when the check was skipped
    warnings: list[str]  # the segments check's warnings, shown with the progress
    started: float  # time.monotonic() when the checks began
    names: OutputNames = field(default_factory=OutputNames)
    overwrite: bool = False
    made: tuple[str, ...] = ()  # folders the checks created for the output directory, outermost first
    keep_work: bool = False  # a failed run's working folder stays (else removed)
    timeline: tuple[str, ...] = ()  # the editors' formats to write (`interchange.FORMATS`)
    timeline_only: bool = False  # write the timelines and their media, not the recap


def prepare(url: str, segments_file: str | os.PathLike[str], spec: RecapSpec, *,
            output_dir: str | os.PathLike[str], services: str | ServicesChoice = "auto",
            mkdir: bool = False, segments_name: str | None = None,
            check_segments: bool = True, output_name: str | None = None,
            overwrite: bool = False, wording: Wording = COMMAND_LINE, timeline: object = None,
            timeline_only: bool = False) -> PreparedRecap:
    """Every check that can run before a service is asked anything, beyond
    those `spec` passed when it was made; a missing output directory is
    created (its missing parents too with `mkdir`) only when the rest
    passed. `wording`: whether refusals speak of flags or of Python
    arguments. `timeline`: the editors' formats to write beside the recap
    (`timeline_only`: instead of it)."""
    started = time.monotonic()
    segments_path = os.fspath(segments_file)
    if _swapped(url, segments_path):
        order = "url, segments" if wording is PYTHON else "vantor recap URL SEGMENTS"
        raise PreflightError(f"the video address and the segments file are swapped: {segments_path!r} is the "
                             f"address and {url!r} the segments; give the address first ({order})")
    services = resolve_services(services)
    if not url.strip():
        raise PreflightError("the video address is empty")
    if services != "local" and is_video_file(url):
        how = 'services="local"' if wording is PYTHON else "--services local"
        raise PreflightError(f"{url!r} is a file on this machine, which only the local services started here can "
                             f"fetch; use {how}")
    # An address names a `vantor serve` elsewhere: its speech is spoken there.
    require_tools(local_services=services == "local")
    try:
        names = OutputNames(output_name or OutputNames().final, captions=spec.captions is not None)
    except OutputError as error:
        raise PreflightError(str(error)) from None
    segments: list[dict[str, object]] = []
    warnings: list[str] = []
    if check_segments:
        report = checked_segments(segments_path, segments_name)
        segments = report.segments or []
        # With the local services the fit report gives each narration its voiced
        # length: the check's guess from word counts would be a second, other one.
        warnings = [str(problem) for problem in report.warnings
                    if not (services == "local" and problem.member == "voiceover" and problem.severity == "warning")]
    check_run_voice(spec.voice, local=services != "configured")
    if spec.strict_fit and not check_segments:
        raise PreflightError("--strict needs the segments checked; drop --no-check")
    check_caption_choice(spec.captions, services, spec.strict_fit, python=wording is PYTHON)
    formats = _timeline_formats(timeline, timeline_only, services, check_segments, python=wording is PYTHON)
    directory = make_output_dir(output_dir, parents=mkdir, wording=wording)
    if not timeline_only:
        refuse_existing(names, directory.path, overwrite=overwrite, replace=wording.replace)
    _refuse_existing_timelines(formats, names, directory.path, overwrite, wording)
    return PreparedRecap(url, segments_path, spec, directory.path, services, segments, warnings,
                         started, names, overwrite, directory.made, timeline=formats, timeline_only=timeline_only)


def _timeline_formats(timeline: object, timeline_only: bool, services: str, check_segments: bool, *,
                      python: bool) -> tuple[str, ...]:
    """The editors' formats asked for, checked before anything is fetched."""
    from ...interchange import parse_formats

    flag = "timeline" if python else "--timeline"
    if timeline is not None and not isinstance(timeline, (str, list, tuple)):
        raise PreflightError(f"{flag} must name formats such as \"otio,kdenlive\", not {type(timeline).__name__}")
    try:
        formats = parse_formats(timeline)
    except ValueError as error:
        raise PreflightError(str(error)) from None
    if timeline_only and not formats:
        raise PreflightError(f"{'timeline_only' if python else '--timeline-only'} needs {flag} to name the formats "
                             "to write")
    if formats and services == "configured":
        fix = 'pass services="local"' if python else "use --services local"
        raise PreflightError(f"{flag} takes the film and the narrations from the local services' cache; {fix} or "
                             "the address of a vantor serve")
    if formats and not check_segments:
        raise PreflightError(f"{flag} needs the segments checked; drop --no-check")
    return formats


def _refuse_existing_timelines(formats: tuple[str, ...], names: OutputNames, directory: str, overwrite: bool,
                               wording: Wording) -> None:
    from ...interchange import FORMATS
    from ...interchange.media import media_folder_name

    if overwrite or not formats:
        return
    stem = os.path.splitext(names.final)[0]
    there = [name for name in (*(stem + FORMATS[chosen] for chosen in formats), media_folder_name(stem))
             if os.path.lexists(os.path.join(directory or ".", name))]
    if there:
        raise PreflightError(f"{', '.join(there)} already exist in {directory or '.'!r}; {wording.replace} "
                             "to replace them")


def _swapped(url: str, segments: str) -> bool:
    """The segments file given where the address goes, and an address where
    the file goes: no web address is a file here, and no file an address."""
    return ("://" in segments and not os.path.exists(segments) and "://" not in url
            and (os.path.isfile(url) or url.lower().endswith(".json")))


@contextlib.contextmanager
def services_for_run(run: PreparedRecap, view: ProgressView) -> Iterator[LocalServices | None]:
    """The services `run` talks to: None for the configured hosts as built,
    else local services (started here, or the `vantor serve` at an address)."""
    if run.services == "configured":
        yield None
        return
    from ...services import start_local_services

    address = None if run.services == "local" else run.services
    shown = f"at {shown_address(address)}" if address else "on this machine"
    print(f"vantor: using the local download and speech services ({shown})",
          file=view)
    with start_local_services(address) as services:
        yield services


def _count_segments(path: str) -> int:
    with open(path, encoding="utf-8") as f:
        return len(json.load(f))


def execute(run: PreparedRecap, *, progress: TextIO | None, live: bool | None = None,
            on_event: Callable[[RunEvent], None] | None = None,
            on_start: Callable[[EngineRun], None] | None = None, verbose: bool = False,
            child_output: TextIO | None = None, stop_requested: Callable[[], bool] | None = None) -> RecapResult:
    """Runs the recap; its progress goes to `progress` (None: nowhere) and
    each event to `on_event`. `on_start` gets the `EngineRun` before it runs
    (to cancel it from another thread). `verbose`: the progress shows the
    detail too (see `ProgressView`). `child_output`: a file for ffmpeg's and
    wget's own output (None: this process's). `stop_requested()` True
    cancels the run (RunCancelled), the fit report's speech included."""
    try:
        return _execute(run, progress=progress, live=live, on_event=on_event, on_start=on_start, verbose=verbose,
                        child_output=child_output, stop_requested=stop_requested)
    except BaseException:
        remove_made_folders(run.made)  # only while empty: a 404, a refusal after the checks
        raise


def _execute(run: PreparedRecap, *, progress: TextIO | None, live: bool | None,
             on_event: Callable[[RunEvent], None] | None, on_start: Callable[[EngineRun], None] | None,
             verbose: bool, child_output: TextIO | None,
             stop_requested: Callable[[], bool] | None = None) -> RecapResult:
    with showing_progress(progress, live=live, verbose=verbose) as view:
        if run.made:
            print(f"vantor: created the output directory {run.output_dir or '.'!r}", file=view)
        for warning in run.warnings:
            print(warning, file=view)  # with the progress, before the download

        def show(event: RunEvent) -> None:
            view.on_event(event)
            if on_event is not None:
                on_event(event)

        with services_for_run(run, view) as services, source_address(run.url) as url:
            spec = run.spec
            mode = spec.sound.fit if spec.sound is not None else "narration"
            fits, speech = None, None
            if spec.strict_fit:  # a misfit refuses the run before anything is downloaded
                fits = measured_fit(run.segments, spec, services, view, stop=stop_requested)
                for note in spoken_notes(voices_spoken(spec.voice, fit_timings(fits) or ())):
                    print(note, file=view)
            elif run.segments and services is not None:
                speech = SpeechBeside(run.segments, spec.voice, services, view, mode=mode,
                                      needed=spec.captions is not None, stop=stop_requested)
            engine_run = EngineRun(url, run.segments_file, spec, run.output_dir,
                                   names=run.names, overwrite=run.overwrite, services=services,
                                   segments=run.segments or None, on_event=show,
                                   timings=fit_timings(fits), child_output=child_output,
                                   keep_work=run.keep_work, stop_requested=stop_requested, speech=speech)
            if on_start is not None:
                on_start(engine_run)
            try:
                outputs = engine_run.run()
            finally:
                if speech is not None:
                    speech.halt()  # whatever ended the run: no narration asked after it
            spoken = voices_spoken(spec.voice, fit_timings(speech.fits if speech is not None else fits) or ())
            exported = _export(run, services, url, speech.fits if speech is not None else fits, view,
                               engine_run.timeline)
    return RecapResult(
        final=Path(outputs.final), horizontal=Path(outputs.horizontal),
        final_duration=probe_duration(outputs.final), horizontal_duration=probe_duration(outputs.horizontal),
        final_size=os.path.getsize(outputs.final), horizontal_size=os.path.getsize(outputs.horizontal),
        segments=len(run.segments) or _count_segments(run.segments_file),
        wall_time=time.monotonic() - run.started, encoder=outputs.encoder,
        captions=tuple(Path(path) for path in outputs.captions), voices=spoken,
        # The engine's own picture is its centre crop to 9:16.
        frame="center" if run.spec.plain else run.spec.frame, aspect="9:16" if run.spec.plain else run.spec.aspect,
        sound=run.spec.sound,
        timelines=tuple(Path(path) for path in exported.timelines) if exported else (),
        media=Path(exported.media) if exported else None,
    )


def _export(run: PreparedRecap, services: LocalServices | None, url: str, fits: list[SegmentFit] | None,
            view: ProgressView, timeline: Timeline | None = None) -> Exported | None:
    """The timelines for an editor: `timeline`, the recap's own (None: planned, with no recap)."""
    if not run.timeline:
        return None
    if services is None:
        raise PreflightError("the timeline needs the local services' cache; use --services local")
    from ...interchange.run_export import ExportRequest, export_run

    request = ExportRequest(run.segments, run.names.final, run.output_dir, run.spec, run.timeline)
    return export_run(request, services, url, fits, lambda line: print(line, file=view, flush=True), timeline)


def execute_timeline_only(run: PreparedRecap, *, progress: TextIO | None, verbose: bool = False) -> TimelineResult:
    """`--timeline-only`: the narrations spoken and the film fetched as a
    recap would, the timelines and their media written, nothing rendered."""
    try:
        with showing_progress(progress, verbose=verbose) as view:
            for warning in run.warnings:
                print(warning, file=view)
            with services_for_run(run, view) as services, source_address(run.url) as url:
                fits = measured_fit(run.segments, run.spec, services, view)
                exported = _export(run, services, url, fits, view)
    except BaseException:
        remove_made_folders(run.made)
        raise
    assert exported is not None
    return TimelineResult(tuple(Path(path) for path in exported.timelines), Path(exported.media), exported.film,
                          time.monotonic() - run.started)


def _sound_json(sound: SoundChoice) -> dict[str, object]:
    return {"source_audio": sound.source_audio, "music": sound.music, "loudness": sound.loudness, "fit": sound.fit}
