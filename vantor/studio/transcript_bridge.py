"""The loaded video's words for the studio's transcript panel, and the
ranges suggested from them.

Getting a transcript may take minutes (recognition runs on this machine),
so it is an activity like a load: its progress arrives as events, then
"ready", and the page asks for the words; asked again for an address already
being transcribed, the running activity is answered. The words are kept for
the latest few activities only (not in their events, which are kept much
longer), and suggestions are drafted from exactly what the page shows. Captions come from the site and
are hostile: a word without finite, ordered times is dropped before the
page (or JSON, which has no NaN) sees it. When the video's loudness and
shot changes were read and kept with its transcript (`vantor suggest
--read-video`, or recognition), the suggestions weigh them too.
"""

from __future__ import annotations

import math
import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import Any, Protocol

from ..transcripts.model import Suggestion, Transcript
from ..transcripts.signals import VideoSignals
from ..transcripts.source import TranscriptCancelled, TranscriptUnavailable
from ..transcripts.store import TranscriptStore
from ..transcripts.suggest import DEFAULT_LENGTH
from .events import Activities, Activity

__all__ = ["KEEP_TRANSCRIPTS", "MAX_SUGGESTIONS", "MAX_TRANSCRIBING", "SUGGESTION_LENGTHS", "Suggest", "TranscriptFor",
           "TranscriptRefused", "Transcripts", "kept_signals", "usable"]

# Transcriptions at once: recognition takes the machine's cores.
MAX_TRANSCRIBING = 2
KEEP_TRANSCRIPTS = 8  # finished transcripts whose suggestions can still be asked for
MAX_SUGGESTIONS = 20
SUGGESTION_LENGTHS = (5.0, 300.0)  # seconds a suggested range may be asked to last
# How long a cancel waits for the transcription to notice; it ends as
# cancelled either way, and a late result is dropped.
CANCEL_WAIT = 10.0
# A progress event only when the stage changes, ends, or its fraction moves
# this much: recognition reports often, and every event is kept for late readers.
PROGRESS_STEP = 0.01


class TranscriptFor(Protocol):
    def __call__(self, url: str, *, services_url: str, progress: Callable[[str, float], None] | None = None,
                 cancel: threading.Event | None = None) -> Transcript: ...


class Suggest(Protocol):
    def __call__(self, transcript: Transcript, *, count: int = 5, length: float = 30.0,
                 loudness: Sequence[float] | None = None, shots: Sequence[float] | None = None,
                 include_ends: bool = False) -> list[Suggestion]: ...


def _ask(suggest: Suggest, transcript: Transcript, signals: VideoSignals | None, count: int, length: float,
         include_ends: bool) -> list[Suggestion]:
    """Suggestions, asked as before where nothing new is wanted: a suggest
    that knows no signals, or no include_ends, still answers."""
    if signals is None:
        if include_ends:
            return suggest(transcript, count=count, length=length, include_ends=True)
        return suggest(transcript, count=count, length=length)
    if include_ends:
        return suggest(transcript, count=count, length=length, loudness=signals.loudness, shots=signals.shots,
                       include_ends=True)
    return suggest(transcript, count=count, length=length, loudness=signals.loudness, shots=signals.shots)


def kept_signals(url: str) -> VideoSignals | None:
    """The loudness and shot changes kept with the transcript of `url`, if they were read."""
    try:
        found = TranscriptStore().by_address(url, None)
    except OSError:  # no cache to read: the words still stand
        return None
    return found.signals if found is not None else None


class TranscriptRefused(Exception):
    """A request the page should not have made: its HTTP status and one line."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status: int = status


def usable(transcript: Transcript) -> Transcript:
    """The words with finite times, start before end, in time order."""
    words = sorted((w for w in transcript.words
                    if math.isfinite(w.start) and math.isfinite(w.end) and 0 <= w.start <= w.end and w.text.strip()),
                   key=lambda w: w.start)
    return Transcript(tuple(words), transcript.source, transcript.language)


class _Progress:
    """Posts a transcription's progress, thinned to what a bar can show."""

    def __init__(self, activity: Activity) -> None:
        self.activity = activity
        self.last: tuple[str, float] | None = None

    def __call__(self, stage: str, fraction: float) -> None:
        fraction = min(1.0, max(0.0, fraction)) if math.isfinite(fraction) else 0.0
        if self.last is not None and self.last[0] == stage:
            moved = abs(fraction - self.last[1])
            if moved < PROGRESS_STEP and not (fraction == 1.0 and moved > 0):  # a stage's end is shown once
                return
        self.last = (stage, fraction)
        self.activity.post("progress", stage=str(stage), fraction=round(fraction, 3))


class Transcripts:
    """The transcript activities of one studio."""

    def __init__(self, activities: Activities, services_url: str, transcript_for: TranscriptFor,
                 suggest: Suggest) -> None:
        self.activities: Activities = activities
        self.services_url: str = services_url
        self._transcript_for = transcript_for
        self._suggest = suggest
        self._lock = threading.Lock()
        self._running: dict[str, tuple[str, threading.Thread]] = {}  # activity id -> (address, its thread)
        self._kept: OrderedDict[str, tuple[Transcript, VideoSignals | None]] = OrderedDict()

    def start(self, url: str) -> Activity:
        with self._lock:
            for activity_id, (address, _) in self._running.items():
                running = self.activities.get(activity_id)
                if address == url and running is not None and not running.ended:
                    return running
            if len(self.activities.running("transcript")) >= MAX_TRANSCRIBING:
                raise TranscriptRefused(429, f"{MAX_TRANSCRIBING} videos are being transcribed; wait for one to end")
            activity = self.activities.new("transcript")
            thread = threading.Thread(target=self._run, args=(activity, url), name="vantor-studio-transcript",
                                      daemon=True)
            self._running[activity.id] = (url, thread)
        thread.start()
        return activity

    def _run(self, activity: Activity, url: str) -> None:
        try:
            found = self._transcript_for(url, services_url=self.services_url, progress=_Progress(activity),
                                         cancel=activity.cancel)
            transcript = usable(found)
            signals = kept_signals(url)
        except TranscriptCancelled:
            activity.post("cancelled")
        except TranscriptUnavailable as error:
            activity.post("failed", error=str(error), unavailable=True)
        except Exception as error:  # any other fault still ends the activity, in one line for the panel
            if activity.cancel.is_set():
                activity.post("cancelled")
            else:
                activity.post("failed", error=f"{type(error).__name__}: {error}", unavailable=False)
        else:
            if activity.cancel.is_set():
                activity.post("cancelled")
            else:
                with self._lock:
                    self._kept[activity.id] = (transcript, signals)
                    while len(self._kept) > KEEP_TRANSCRIPTS:
                        self._kept.popitem(last=False)
                activity.post("ready", words=len(transcript.words), source=transcript.source)
        finally:
            with self._lock:
                self._running.pop(activity.id, None)

    def cancel(self, activity_id: str) -> bool | None:
        """None when no transcription runs with that id; else stops it and
        says whether it ended cancelled (it may have finished first)."""
        with self._lock:
            running = self._running.get(activity_id)
        activity = self.activities.get(activity_id)
        if running is None or activity is None:
            return None
        activity.cancel.set()
        running[1].join(timeout=CANCEL_WAIT)
        activity.post("cancelled")  # the first end stands
        return activity.since(0)[-1][1]["type"] == "cancelled"

    def words(self, activity_id: str) -> dict[str, Any] | None:
        """The transcript an activity found, as JSON; None once it is no longer kept."""
        with self._lock:
            kept = self._kept.get(activity_id)
        return None if kept is None else kept[0].to_json()

    def stop(self) -> None:
        """Asks every transcription to stop (the studio is going away)."""
        with self._lock:
            running = list(self._running)
        for activity_id in running:
            activity = self.activities.get(activity_id)
            if activity is not None:
                activity.cancel.set()

    def suggestions(self, data: dict[str, Any]) -> list[dict[str, Any]]:
        """The suggestions for {id, count, length}, as JSON objects."""
        activity_id, count, length = data.get("id"), data.get("count", 5), data.get("length", DEFAULT_LENGTH)
        include_ends = data.get("include_ends", False)
        if not isinstance(activity_id, str):
            raise TranscriptRefused(400, "id must be the transcript's activity id")
        if type(count) is not int or not 1 <= count <= MAX_SUGGESTIONS:
            raise TranscriptRefused(400, f"count must be a whole number from 1 to {MAX_SUGGESTIONS}")
        low, high = SUGGESTION_LENGTHS
        if type(length) not in (int, float) or not low <= length <= high:
            raise TranscriptRefused(400, f"length must be a number of seconds from {low:g} to {high:g}")
        if type(include_ends) is not bool:
            raise TranscriptRefused(400, "include_ends must be true or false")
        with self._lock:
            kept = self._kept.get(activity_id)
        if kept is None:
            raise TranscriptRefused(404, "no transcript with that id; load the video again")
        transcript, signals = kept
        try:
            found = _ask(self._suggest, transcript, signals, count, float(length), include_ends)
        except Exception as error:
            raise TranscriptRefused(500, f"no suggestions: {type(error).__name__}: {error}") from None
        return [s.to_json() for s in found[:count]
                if math.isfinite(s.start) and math.isfinite(s.end) and 0 <= s.start < s.end]
