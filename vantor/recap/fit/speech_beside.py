"""The fit report's narrations, spoken while the run downloads its video.

The speech service speaks two narrations at once, so two threads ask for
them in segment order while the run's own thread waits on the download.
The service keeps each narration with its timing, and the engine asks for
its narrations only once all of them are in: its requests are answered from
the service's cache, so each narration is spoken once.

A failure on one side ends the other. A narration the service refuses (its
own reason given: the engine's request would be refused the same way),
or any narration when the run needs the timings (captions), stops the
download's wait at its next poll and ends the run with the speech's
message; a failed or cancelled download stops the asking (a narration
being spoken is left to the service, which keeps it in its cache). A
service that answers without timings is a warning, as before the download.
"""

from __future__ import annotations

import io
import queue
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING

from ..captions.emphasis import spoken_text
from .fit_report import fit_timings, show_fits
from .fit_report import SegmentFit, segment_fit
from ..engine.host import RunCancelled, RunEvent
from ..checks.preflight import PreflightError
from ..sound.spoken_by import spoken_notes, voices_spoken

if TYPE_CHECKING:
    from ...services import LocalServices, NarrationTiming

__all__ = ["SPEAKERS", "NarrationNews", "SpeechBeside"]

SPEAKERS = 2  # narrations the speech service speaks at once (its Limits.max_speech)
_WAIT_SLICE = 0.1  # how often a run waiting on speech looks for a cancellation


@dataclass(frozen=True)
class NarrationNews:
    """A "speech" event's data: narration `number` (from 1) of `count` was
    asked for, or has been `spoken`."""

    number: int
    count: int
    spoken: bool


class SpeechBeside:
    """Speaks `segments`' narrations in `voice` on `services` once started.
    `needed`: any speech failure ends the run (the captions need every
    timing). `stop()` True (polled) stops the asking. `out`: where the
    report's warnings go once it is complete."""

    def __init__(self, segments: Sequence[Mapping[str, object]], voice: str, services: LocalServices,
                 out: IO[str] | io.TextIOBase, *, mode: str = "narration", needed: bool = False,
                 stop: Callable[[], bool] | None = None, speakers: int = SPEAKERS) -> None:
        self._segments = list(segments)
        self._voice, self._services, self._out = voice, services, out
        self._mode, self._needed, self._stop = mode, needed, stop
        self._speakers = max(1, min(speakers, len(self._segments)))
        self._fits: list[SegmentFit | None] = [None] * len(self._segments)
        self._lock = threading.Lock()
        self._next = 0  # the next segment to ask for
        self._running = 0
        self._failure: BaseException | None = None  # ends the run
        self._warnings: dict[int, str] = {}  # segment number -> why there is no report
        self._halted = threading.Event()  # no further narration is asked for
        self._ended = threading.Event()  # every speaker is done
        self._news: queue.SimpleQueue[RunEvent] = queue.SimpleQueue()
        self.fits: list[SegmentFit] | None = None  # the report, once complete

    def start(self) -> SpeechBeside:
        if not self._segments:
            self._ended.set()
        self._running = self._speakers if self._segments else 0
        for _ in range(self._running):
            threading.Thread(target=self._speak, name="vantor-speech-beside", daemon=True).start()
        return self

    # -- from the run's thread ------------------------------------------------

    def failed(self) -> bool:
        """Whether a narration failed in a way that ends the run."""
        return self._failure is not None

    def halt(self) -> None:
        """The download failed or the run was cancelled: ask for no more."""
        self._halted.set()

    def news(self) -> list[RunEvent]:
        """The "speech" events since the last call, for the run to emit on its own thread."""
        found = []
        while True:
            try:
                found.append(self._news.get_nowait())
            except queue.Empty:
                return found

    def timings(self, emit: Callable[[RunEvent], None], cancelled: Callable[[], bool]) -> list[NarrationTiming] | None:
        """Waits for every narration and shows the report on `out`: each
        segment's timing, or None when the report could not be made (its
        warning shown). Raises the failure that ends the run, at once;
        RunCancelled once `cancelled()`."""
        while not self._ended.wait(_WAIT_SLICE) and self._failure is None:
            for event in self.news():
                emit(event)
            if cancelled():
                self.halt()
                raise RunCancelled("the recap was cancelled")
        for event in self.news():
            emit(event)
        self.halt()
        if self._failure is not None:
            raise self._failure
        if self._warnings:
            print(f"warning: no fit report: {self._warnings[min(self._warnings)]}", file=self._out)
            return None
        if cancelled() or any(fit is None for fit in self._fits):  # halted short: only a stop does that
            raise RunCancelled("the recap was cancelled")
        self.fits = [fit for fit in self._fits if fit is not None]
        show_fits(self.fits, self._out)
        found = fit_timings(self.fits)
        for note in spoken_notes(voices_spoken(self._voice, found or ())):
            print(note, file=self._out)
        return found

    # -- on the speakers' threads ------------------------------------------------

    def _take(self) -> int | None:
        with self._lock:
            if (self._halted.is_set() or self._failure is not None or self._warnings
                    or self._next >= len(self._segments)):
                return None
            if self._stop is not None and self._stop():
                self._halted.set()
                return None
            index, self._next = self._next, self._next + 1
            return index

    def _speak(self) -> None:
        from ...services import SpeechError

        try:
            while (index := self._take()) is not None:
                number, count = index + 1, len(self._segments)
                self._news.put(RunEvent("speech", f"narration {number}/{count}", NarrationNews(number, count, False)))
                segment = self._segments[index]
                try:
                    timing = self._services.narration_timing(spoken_text(str(segment["voiceover"])), self._voice)
                    self._fits[index] = segment_fit(number, segment, timing, self._mode)
                except SpeechError as error:
                    self._fail(number, f"segment {number}: the speech service could not speak the narration: "
                                       f"{error}", ends_run=self._needed or error.refused)
                    return
                except PreflightError as error:  # a range the report cannot read
                    self._fail(number, str(error), ends_run=self._needed)
                    return
                self._news.put(RunEvent("speech", f"narration {number}/{count} spoken",
                                        NarrationNews(number, count, True)))
        except BaseException as error:  # a lost connection, ...: handed to the run's thread
            with self._lock:
                if self._failure is None:
                    self._failure = error
        finally:
            with self._lock:
                self._running -= 1
                if self._running == 0:
                    self._ended.set()

    def _fail(self, number: int, message: str, *, ends_run: bool) -> None:
        with self._lock:
            if ends_run:
                if self._failure is None:
                    self._failure = PreflightError(message)
            else:
                self._warnings[number] = message
