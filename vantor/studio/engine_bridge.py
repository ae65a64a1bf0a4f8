"""Everything the studio asks of the download service, the speech service
and the recap runs, in one place, so the page's server knows none of it.

- `load_video`: the download service fetches an address, with progress;
  the film is then the studio's own private copy of the service's file.
- `Narrations`: a narration's sound and length for a text and a voice,
  from the speech service, remembered by (voice, text).
- `fit`: what the run's fit report will say of a range and its narration.
- `start_make`: one recap, with its progress lines and a `cancel()`.

A recap runs in a thread of this process, through the same checks and the
same progress lines as `vantor recap`: each run has its own engine
bindings, so several run at once. `cancel()` kills the ffmpeg or wget the
run is waiting on and returns once the run has stopped; the run works in a
folder of its own and its result reaches the project folder only by a
rename after success, so nothing half-written ever has a result's name.
"""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .run_log import ConversionFollower, RunLog

from ..recap.fit.fit_report import RANGE_SLACK
from ..runner import ChildStopped, run

if TYPE_CHECKING:
    from ..recap.engine.checked_run import RecapResult
    from ..services import NarrationTiming, Progress
    from ..recap.engine.run import EngineRun, RunEvent
    from ..recap.engine.options import RecapSpec

__all__ = ["BridgeError", "Fit", "LoadedVideo", "MadeRecap", "MakeRun", "Narrations", "discard", "fit", "load_video",
           "start_make"]

REQUEST_TIMEOUT = 60
STILL_BYTES = 8 << 20  # the thumbnails' strip is far smaller; one this large is not answered
POLL_SECONDS = 0.25
# How long `cancel()` waits for the run to stop. Its running child is killed
# at once; a request to a service in flight ends within its own time-out.
CANCEL_WAIT = 30.0
REMEMBERED_NARRATIONS = 512


class BridgeError(Exception):
    """A service's or a run's reason, in one line for the page."""


def _requests() -> Any:
    import requests  # loaded on first use, as the services' clients do

    return requests


# --------------------------------------------------------------------------
# Load
# --------------------------------------------------------------------------
@dataclass(frozen=True)
class LoadedVideo:
    """A loaded film: the studio's own private copy of the service's file
    (a second name of the cached file where it can be), which the player,
    the thumbnails, the framing and the stills read as a local file: the
    service's file address is a capability and goes on no command line."""
    path: str
    duration: float | None
    frame_rate: float | None


def _probe_stream(path: str) -> tuple[float | None, float | None]:
    """(duration, frames per second) of the video at `path`, by ffprobe."""
    try:
        done = run(["ffprobe", "-v", "error", "-protocol_whitelist", "file", "-select_streams", "v:0",
                    "-show_entries", "format=duration:stream=r_frame_rate", "-of", "json", path],
                   text=True, time_limit=REQUEST_TIMEOUT)
    except ChildStopped:
        return None, None
    try:
        data = json.loads(done.stdout)
        duration = float(data["format"]["duration"])
    except (ValueError, KeyError, TypeError):
        return None, None
    rate = None
    streams = data.get("streams") or [{}]
    num, _, den = str(streams[0].get("r_frame_rate", "")).partition("/")
    try:
        rate = float(num) / float(den or 1)
    except (ValueError, ZeroDivisionError):
        pass
    return duration, rate if rate and 1 <= rate <= 240 else None


def load_video(services_url: str, url: str, on_progress: Callable[[int, str], None],
               cancelled: threading.Event, into: Path) -> LoadedVideo:
    """Has the download service fetch `url`; `on_progress(per_mille, figures)`
    while it runs; the film then at `into` (the cached file itself when the
    services run in this process, else fetched here). Raises BridgeError
    with the service's reason."""
    from ..recap.engine.fetch_step import copy_or_link
    from ..services.client import DownloadError, ServicesClient, fetch_file
    from ..services.server import in_process

    try:
        file_url = ServicesClient(services_url).download(
            url, on_progress=lambda progress: on_progress(progress.per_mille, _figures(progress)),
            stopped=cancelled.is_set, poll_seconds=POLL_SECONDS)
        if file_url is None:
            raise BridgeError("the load was stopped")
        served = in_process(services_url)
        cached = served.local_file(file_url) if served is not None else None
        if cached is not None:
            copy_or_link(cached, str(into))
        elif not fetch_file(file_url, into, cancelled.is_set):
            raise BridgeError("the load was stopped")
    except DownloadError as error:
        from ..recap.engine.messages import explain

        raise BridgeError(explain(error)) from None
    except _requests().RequestException as error:
        raise BridgeError(f"the download service did not answer: {error}") from None
    duration, rate = _probe_stream(str(into))
    return LoadedVideo(str(into), duration, rate)


THUMBNAILS = 12  # frames across the film, under the player
THUMBNAIL_SIZE = (160, 90)


def thumbnails(path: str, duration: float | None) -> bytes:
    """One JPEG: THUMBNAILS frames evenly across the loaded film at `path`,
    side by side. Key frames only, so it costs a fraction of a decode.
    Raises BridgeError."""
    width, height = THUMBNAIL_SIZE
    every = max(duration or 0.0, 1.0) / THUMBNAILS
    picture = (f"fps=1/{every:.3f},scale={width}:{height}:force_original_aspect_ratio=decrease,"
               f"pad={width}:{height}:(ow-iw)/2:(oh-ih)/2,tile={THUMBNAILS}x1")
    try:
        done = run(["ffmpeg", "-v", "error", "-nostdin", "-protocol_whitelist", "file", "-skip_frame", "nokey",
                    "-i", path, "-vf", picture, "-frames:v", "1", "-f", "image2pipe", "-c:v", "mjpeg", "-"],
                   time_limit=REQUEST_TIMEOUT, keep=STILL_BYTES)
    except ChildStopped:
        raise BridgeError("no thumbnails could be made of the video in time") from None
    if done.returncode != 0 or not done.stdout.startswith(b"\xff\xd8") or len(done.stdout) >= STILL_BYTES:
        raise BridgeError("no thumbnails could be made of the video")
    return bytes(done.stdout)


def _figures(progress: Progress) -> str:
    from ..recap.engine.progress_view import download_words, human_size

    if progress.converting is not None:  # the studio's line reads "Downloading: 99%" without this
        return download_words(progress)
    if progress.downloaded_bytes is None:
        return ""
    return f"{human_size(progress.downloaded_bytes)} of {human_size(progress.total_bytes)}"


# --------------------------------------------------------------------------
# Narrations
# --------------------------------------------------------------------------
class Narrations:
    """The speech service's narrations and their word timings. The service
    caches the sound; this remembers the timings, so a fit asked again while
    typing costs nothing."""

    def __init__(self, services_url: str) -> None:
        self.services_url: str = services_url
        self._timings: OrderedDict[tuple[str, str], NarrationTiming] = OrderedDict()
        self._lock = threading.Lock()

    def audio(self, text: str, voice: str) -> tuple[bytes, float]:
        """The narration's MP3 and its length in seconds."""
        from ..services.client import ServicesClient, SpeechError

        try:
            audio = ServicesClient(self.services_url).narration_audio(text, voice)
        except SpeechError as error:
            raise BridgeError(str(error)) from None
        except _requests().RequestException as error:
            raise BridgeError(f"the speech service did not answer: {error}") from None
        # The length the fit and the run use (the decoded sound's, without the MP3's padding).
        return audio, self.timing(text, voice).duration

    def timing(self, text: str, voice: str) -> NarrationTiming:
        """When each word of the narration is spoken, from the speech
        service (which keeps the audio, so Speak and the run reuse it)."""
        from ..services.client import ServicesClient, SpeechError

        key = (voice, text)
        with self._lock:
            known = self._timings.get(key)
            if known is not None:
                self._timings.move_to_end(key)
                return known
        try:
            timing = ServicesClient(self.services_url).narration_timing(text, voice)
        except SpeechError as error:
            raise BridgeError(f"the speech service could not time the narration: {error}") from None
        except _requests().RequestException as error:
            raise BridgeError(f"the speech service did not answer: {error}") from None
        with self._lock:
            self._timings[key] = timing
            while len(self._timings) > REMEMBERED_NARRATIONS:
                self._timings.popitem(last=False)
        return timing


# The fit report's outcomes as the page's meter shows them; "past": with
# "extend", the narration plays on past the range's end (nothing is lost).
_VERDICTS = {"fits": "fits", "words-cut": "long", "range-cut": "short"}


@dataclass(frozen=True)
class Fit:
    verdict: str  # "fits", "long" (the narration's last words are cut), "short" (the range is cut), "past"
    words: str  # the fit report's own words
    range_seconds: float
    narration_seconds: float  # the voiced length: the one length the page shows for a narration
    mode: str = "narration"  # the run's fit (`sound_step.FIT_MODES`)
    clip_seconds: float = 0.0  # what the clip will last, before the speed-up
    lost_words: tuple[str, ...] = ()  # still being spoken when the clip ends

    @property
    def clip_words(self) -> str:
        """What the chosen fit makes of the range, in one line for the meter."""
        clip = f"clip {self.clip_seconds:.1f} s"
        past = self.narration_seconds - self.range_seconds
        if self.lost_words:
            count = len(self.lost_words)
            return f"{clip}: {count} word{'s' * (count != 1)} lost ({' '.join(self.lost_words)})"
        if self.mode == "extend" and past > 0:
            return f"{clip}: runs {past:.1f} s past the range's end, over the source"
        if self.mode == "narration" and self.range_seconds - self.clip_seconds > RANGE_SLACK:
            return f"{clip}: {self.range_seconds - self.clip_seconds:.1f} s shorter than the range"
        return f"{clip}: no word lost"

    def as_json(self) -> dict[str, object]:
        return {"verdict": self.verdict, "words": self.words, "range_seconds": round(self.range_seconds, 3),
                "narration_seconds": round(self.narration_seconds, 3), "fit": self.mode,
                "clip_seconds": round(self.clip_seconds, 3), "lost_words": list(self.lost_words),
                "clip_words": self.clip_words}


def fit(start: str, end: str, timing: NarrationTiming, mode: str = "narration") -> Fit:
    """What the run's fit report will say of this range and narration, and
    what the run's fit `mode` will make of the clip."""
    from ..recap.fit.fit_report import segment_fit

    report = segment_fit(1, {"start": start, "end": end}, timing, mode)
    past = mode == "extend" and report.narration_length > report.range_length
    return Fit("past" if past else _VERDICTS[report.outcome], report.message.removeprefix("segment 1: "),
               report.range_length, report.narration_length, mode, report.clip_length, report.lost_words)


# --------------------------------------------------------------------------
# Make
# --------------------------------------------------------------------------
@dataclass(frozen=True)
class MadeRecap:
    final: Path
    duration: float
    captions: tuple[Path, ...] = ()  # NAME.srt and NAME.vtt beside it, when asked for
    timelines: tuple[Path, ...] = ()  # NAME.<ext> for an editor beside it, with NAME.media/
    media: Path | None = None


def _last_line(path: Path) -> str:
    try:
        lines = [line for line in path.read_text(encoding="utf-8", errors="replace").splitlines() if line.strip()]
    except OSError:
        return ""
    return lines[-1].strip() if lines else ""


class MakeRun:
    """One recap, run in a thread of its own in `work_dir`. `on_line` gets
    each progress line as the command line shows it; `wait()` returns the
    result or raises BridgeError; `cancel()` stops it and the child it is
    waiting on."""

    def __init__(self, url: str, segments_file: Path, spec: RecapSpec, *, services_url: str, work_dir: Path,
                 on_line: Callable[[str], None], on_update: Callable[[str], None] | None = None,
                 timeline: tuple[str, ...] = ()) -> None:
        self.work_dir: Path = work_dir
        self.spec: RecapSpec = spec
        self.timeline: tuple[str, ...] = timeline
        self.cancelled: bool = False
        self._lock = threading.Lock()
        self._engine_run: EngineRun | None = None
        self._result: RecapResult | None = None
        self._error: BaseException | None = None
        self._args = (url, segments_file, services_url)
        # The page's log: each stage a line; a percentage replaces the one before it (`on_update`).
        self._on_line, self._on_update = on_line, on_update or on_line
        self._follower: ConversionFollower | None = None
        self._log = RunLog()
        self._tools_log = work_dir / "tools.log"  # ffmpeg's and wget's own words, for a failure's line
        self._thread = threading.Thread(target=self._run, name=f"vantor-studio-run:{work_dir.name}", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        from ..recap.engine.checked_run import execute, prepare

        url, segments_file, services_url = self._args
        try:
            prepared = prepare(url, segments_file, self.spec, output_dir=self.work_dir / "out",
                               services=services_url, mkdir=True, timeline=list(self.timeline) or None)
            with open(self._tools_log, "w", encoding="utf-8") as tools:
                # Cancelled before the engine's run exists: the fit report stops between and during narrations.
                self._result = execute(prepared, progress=None, live=False, on_start=self._started,
                                       child_output=tools, on_event=self._event,
                                       stop_requested=lambda: self.cancelled)
        except BaseException as error:  # handed to wait(), on the server's side
            self._error = error
        finally:
            self._end_follower()

    def _event(self, event: RunEvent) -> None:
        for words in self._log.lines(event):
            (self._on_update if words.update else self._on_line)(str(words))
        if event.kind == "conversion":  # each attempt (the CPU encoder's after the GPU's) anew
            self._end_follower()
            report, expected = event.data
            self._follower = ConversionFollower(
                report, expected, lambda percent: self._on_update(f"Making the vertical video: {percent}%"))
        elif event.kind == "engine" and getattr(event.data, "kind", None) == "cleaning":
            self._end_follower()  # its last figure, while the conversion's report is still there

    def _end_follower(self) -> None:
        follower, self._follower = self._follower, None
        if follower is not None:
            follower.stop()

    def _started(self, run: EngineRun) -> None:
        with self._lock:
            self._engine_run = run
            cancelled = self.cancelled
        if cancelled:  # asked before the engine's run existed
            run.cancel()

    def wait(self) -> MadeRecap:
        self._thread.join()
        if self.cancelled:
            raise BridgeError("cancelled")
        if self._error is not None:
            raise BridgeError(self._reason(self._error))
        assert self._result is not None
        final = self._result.final
        if not final.is_file() or final.stat().st_size == 0:
            raise BridgeError("the recap reported success but its file is missing")
        captions: tuple[Path, ...] = ()
        if self.spec.captions is not None:
            captions = (final.with_suffix(".srt"), final.with_suffix(".vtt"))
            if not all(path.is_file() and path.stat().st_size > 0 for path in captions):
                raise BridgeError("the recap reported success but its captions are missing")
        timelines = self._result.timelines
        if self.timeline and not all(path.is_file() and path.stat().st_size > 0 for path in timelines):
            raise BridgeError("the recap reported success but its timelines are missing")
        return MadeRecap(final, self._result.final_duration, captions, timelines, self._result.media)

    def _reason(self, error: BaseException) -> str:
        from ..recap.engine.messages import explain
        from ..recap.engine.outputs import OutputError
        from ..recap.checks.preflight import PreflightError

        if isinstance(error, (PreflightError, OutputError)):
            return str(error)
        if isinstance(error, subprocess.CalledProcessError):
            tool = error.cmd[0] if isinstance(error.cmd, (list, tuple)) and error.cmd else "a tool"
            said = _last_line(self._tools_log)
            return f"{tool} failed (exit status {error.returncode})" + (f": {said}" if said else "")
        if not isinstance(error, Exception):
            return f"{type(error).__name__} ended the run"
        return explain(error).removesuffix(" (--debug shows where)")

    def cancel(self) -> None:
        """Stops the run and waits, bounded, until it has."""
        with self._lock:
            self.cancelled = True
            run = self._engine_run
        if run is not None:
            run.cancel()
        self._thread.join(timeout=CANCEL_WAIT)


def start_make(*, services_url: str, url: str, segments: list[dict[str, str]], spec: RecapSpec,
               work_dir: Path, on_line: Callable[[str], None],
               on_update: Callable[[str], None] | None = None, timeline: tuple[str, ...] = ()) -> MakeRun:
    """Starts one recap of `url` in `work_dir` (created) as `spec` asks,
    talking to the studio's own services; `timeline`: the editors' formats
    written with it."""
    work_dir.mkdir(parents=True)
    segments_file = work_dir / "segments.json"
    segments_file.write_text(json.dumps(segments, ensure_ascii=False, indent=2), encoding="utf-8")
    return MakeRun(url, segments_file, spec, services_url=services_url, work_dir=work_dir, on_line=on_line,
                   on_update=on_update, timeline=timeline)


def discard(work_dir: Path) -> None:
    shutil.rmtree(work_dir, ignore_errors=True)
