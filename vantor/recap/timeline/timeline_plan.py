"""Planning a run's `Timeline`: where each range's first frame is, how long
its clip plays under the run's fit, and where it lands in the recap.

A range's picture starts on the first source frame at or after its start
and ends before the first frame at or after its stop: every range holds a
whole number of frames, so the recap's times are sums of frame counts over
the frame rate and nothing drifts at a join. The source's own sound and the
narration start at the range's requested start; the conversion drops the
part before the first frame (`sound_offset`, under one frame).
"""

from __future__ import annotations

import json
import math
import subprocess
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from fractions import Fraction
from typing import TYPE_CHECKING, Any

from ..checks.probe import UnreadableVideo
from ..checks.segments_check import parse_time, seconds_of
from .model import Narration, RangeTime, SoundBed, Timeline, Word

if TYPE_CHECKING:
    from ...services import NarrationTiming

__all__ = ["SourcePicture", "frame_span", "placed_words", "plan_timeline", "probe_source", "retimed", "sound_offset"]

_EPSILON = 1e-6  # seconds: a time this close to a frame is that frame's


@dataclass(frozen=True)
class SourcePicture:
    path: str
    width: int
    height: int
    frame_rate: tuple[int, int]
    start: float  # the first frame's time from the file's start (where a seek counts from)
    duration: float


def probe_source(path: str, run: Callable[..., subprocess.CompletedProcess[Any]]) -> SourcePicture:
    """The source's picture as ffprobe reads it, through the run's `run` (a child it can cancel)."""
    done = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                "stream=width,height,avg_frame_rate,r_frame_rate,start_time:format=duration,start_time", "-of", "json", "-i", path],
               captured=True)
    try:
        found = json.loads(done.stdout or b"{}")
        stream = found["streams"][0]
        rate = _rate(stream.get("avg_frame_rate")) or _rate(stream.get("r_frame_rate"))
        if rate is None:
            raise ValueError("no frame rate")
        # Seeks count from the file's start (its earliest stream's): the frames are placed on that clock.
        form = found.get("format", {})
        start = float(stream.get("start_time") or 0.0) - float(form.get("start_time") or 0.0)
        duration = float(form.get("duration") or "inf")
        return SourcePicture(path, int(stream["width"]), int(stream["height"]),
                             (rate.numerator, rate.denominator), start if math.isfinite(start) else 0.0, duration)
    except (ValueError, KeyError, IndexError, TypeError, ZeroDivisionError):
        raise UnreadableVideo(f"{path}: no picture stream ffprobe can read") from None


def _rate(text: object) -> Fraction | None:
    try:
        rate = Fraction(str(text))
    except (ValueError, ZeroDivisionError):
        return None
    return rate if rate > 0 else None


def frame_span(source: SourcePicture, start: float, stop: float) -> tuple[int, int]:
    """The first frame of a range and the first frame past it (numbers from the source's first)."""
    fps = source.frame_rate[0] / source.frame_rate[1]
    first = max(0, math.ceil((start - source.start) * fps - _EPSILON))
    last = max(first + 1, math.ceil((stop - source.start) * fps - _EPSILON))  # never an empty range
    return first, last


def _frame_time(source: SourcePicture, number: int) -> float:
    return source.start + number * source.frame_rate[1] / source.frame_rate[0]


def sound_offset(start: float, rng: RangeTime) -> float:
    """Seconds of a clip's sound (cut from the requested `start`) before its range's first frame."""
    return max(0.0, rng.source_in - start)


def clip_stop(fit: str, start: float, end: float, spoken: float | None, video_end: float) -> tuple[float, str]:
    """Where a range's clip ends in the source under `fit`, and the fit's outcome."""
    if spoken is None or fit == "range":
        return min(end, video_end), "range"
    if fit == "extend":
        stop = min(max(end, start + spoken), video_end)
        return stop, "extended" if stop > end + _EPSILON else "range"
    stop = min(end, start + spoken, video_end)  # "narration": the clip ends with its narration
    return stop, "narration" if stop < end - _EPSILON else "range"


def plan_range(source: SourcePicture, number: int, start: float, end: float, *, fit: str, speed: float,
               recap_in: float, text: str = "", timing: NarrationTiming | None = None,
               spoken: float | None = None) -> RangeTime:
    spoken = timing.duration if timing is not None and spoken is None else spoken
    stop, outcome = clip_stop(fit, start, end, spoken, source.duration)
    first, last = frame_span(source, start, stop)
    source_in, source_out = _frame_time(source, first), _frame_time(source, last)
    rng = RangeTime(number, source_in, source_out, recap_in, recap_in + (source_out - source_in) / speed, outcome)
    if spoken is None:
        return rng
    offset = sound_offset(start, rng)
    spoken_at = recap_in - offset / speed
    words = placed_words(timing, rng, spoken_at, speed) if timing is not None else ()
    return replace(rng, narration=Narration(text, spoken_at, spoken / speed, words))


def placed_words(timing: NarrationTiming, rng: RangeTime, spoken_at: float, speed: float) -> tuple[Word, ...]:
    """A narration's words on the recap's clock, its first sound at recap
    `spoken_at`: those that begin before range `rng`'s clip ends."""
    heard = rng.source_out - rng.source_in + (rng.recap_in - spoken_at) * speed  # source seconds it can play
    return tuple(Word(w.word, spoken_at + w.start / speed, spoken_at + w.end / speed)
                 for w in timing.words if w.start < heard)


def retimed(timeline: Timeline) -> Timeline:
    """The timeline with each range placed where the ones before it end in the recap."""
    at, ranges = 0.0, []
    for rng in timeline.ranges:
        shift = at - rng.recap_in
        narration = rng.narration
        if narration is not None and shift:
            narration = replace(narration, start=narration.start + shift,
                                words=tuple(replace(w, start=w.start + shift, end=w.end + shift)
                                            for w in narration.words))
        ranges.append(replace(rng, recap_in=at, recap_out=at + rng.recap_length, narration=narration))
        at += rng.recap_length
    return replace(timeline, ranges=tuple(ranges))


def range_bounds(segment: object) -> tuple[float, float] | None:
    if not isinstance(segment, dict):
        return None
    start, end = seconds_of(segment.get("start")), seconds_of(segment.get("end"))
    return None if start is None or end is None else (start, end)


def step_bounds(start: str, end: str) -> tuple[float, float] | None:
    found = parse_time(start), parse_time(end)
    return None if found[0] is None or found[1] is None else (found[0], found[1])


def plan_timeline(source: SourcePicture, bounds: Sequence[tuple[float, float]], *, speed: float, fit: str,
                  texts: Sequence[str] = (), timings: Sequence[NarrationTiming | None] | None = None,
                  picture: tuple[int, int] = (1080, 1920), sound: SoundBed | None = None,
                  caption_style: str | None = None, spoken: Sequence[float | None] = ()) -> Timeline:
    """The run's timeline before its first cut, from the checked ranges and
    the narrations' timings where known (a range whose narration is not yet
    measured plays as chosen until its cut says how long it speaks).
    `spoken`: each narration's measured length, where it is not its timing's."""
    ranges, at = [], 0.0
    for number, (start, end) in enumerate(bounds, 1):
        timing = timings[number - 1] if timings is not None and number <= len(timings) else None
        text = texts[number - 1] if number <= len(texts) else ""
        rng = plan_range(source, number, start, end, fit=fit, speed=speed, recap_in=at, text=text, timing=timing,
                         spoken=spoken[number - 1] if number <= len(spoken) else None)
        ranges.append(rng)
        at = rng.recap_out
    return Timeline(source.path, source.width, source.height, source.frame_rate, speed, picture[0], picture[1],
                    tuple(ranges), sound or SoundBed(), caption_style)


class RunTimeline:
    """One run's timeline as its host keeps it: planned when the source is
    there (`start`, before the first cut), each range refined at its cut
    with its narration's measured length (`cut`). `current` is None until
    planned (a run whose source cannot be read keeps the engine's steps)."""

    def __init__(self, segments: Callable[[], Sequence[object]], *, speed: float, fit: str,
                 texts: Callable[[], Sequence[str]] = lambda: (),
                 timings: Sequence[NarrationTiming] | None = None, sound: SoundBed | None = None,
                 picture: tuple[int, int] = (1080, 1920), caption_style: str | None = None) -> None:
        self._segments, self._texts = segments, texts
        self.timings = timings  # may be set once the narrations are spoken, before `start`
        self.speed: float = speed
        self.fit: str = fit
        self._sound, self._picture, self._caption_style = sound, picture, caption_style
        self.source: SourcePicture | None = None
        self.current: Timeline | None = None
        self.starts: dict[int, float] = {}  # each range's requested start, where its clip's sound begins

    def start(self, video: str, run: Callable[..., subprocess.CompletedProcess[Any]]) -> None:
        bounds = [range_bounds(segment) for segment in self._segments()]
        if not bounds or any(b is None for b in bounds):
            return
        try:
            self.source = probe_source(video, run)
        except UnreadableVideo:
            return
        checked = [b for b in bounds if b is not None]
        self.starts = {number: start for number, (start, _) in enumerate(checked, 1)}
        self.current = plan_timeline(self.source, checked, speed=self.speed, fit=self.fit, texts=list(self._texts()),
                                     timings=self.timings, picture=self._picture, sound=self._sound,
                                     caption_style=self._caption_style)

    def cut(self, index: int, start: str, end: str, spoken: float | None,
            timing: NarrationTiming | None = None) -> RangeTime | None:
        """Range `index` (from 0) as its cut makes it, the ranges after it placed after it."""
        bounds = step_bounds(start, end)
        if self.current is None or self.source is None or bounds is None or index >= len(self.current.ranges):
            return None
        number = index + 1
        old = self.current.range(number)
        text = old.narration.text if old.narration is not None else ""
        if timing is None and self.timings is not None and index < len(self.timings):
            timing = self.timings[index]
        rng = plan_range(self.source, number, bounds[0], bounds[1], fit=self.fit, speed=self.speed,
                         recap_in=old.recap_in, text=text, timing=timing, spoken=spoken)
        self.starts[number] = bounds[0]
        ranges = list(self.current.ranges)
        ranges[index] = rng
        self.current = retimed(replace(self.current, ranges=tuple(ranges)))
        return self.current.range(number)
