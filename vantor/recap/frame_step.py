"""The framing of a run, within its one conversion encode.

The recap's picture is sped up, then framed (the engine's own: a cover
scale and a centre crop at 1080x1920); this shaper sets the framing stage: the crop at the chosen aspect, the whole picture over bars (`fit`) or
over a blurred copy of itself (`blur`), or a crop that follows the smart
camera path, whose time is the recap's (after the speed-up). A range's
own framing (its segment's "frame") holds the crop at the left, centre or
right, or shows that range whole over blur. Captions, later in the
shapers' order, are drawn on the framed picture.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .framing import (ASPECTS, FIXED_CROPS, RANGE_FRAMES, camera_path, framing_filter, held_expression,
                      layered_filter, path_expression)
from .host import Shaper
from .probe import UnreadableVideo

if TYPE_CHECKING:
    from .command import CutCommand
    from .join_step import RecapJoin
    from .steps import Conversion, Cut

__all__ = ["FramePlan", "framing_cache_dir"]


def framing_cache_dir() -> Path:
    from ..services.cache import private_dir
    from ..services.limits import default_cache_dir

    return private_dir(default_cache_dir()) / "framing"


class FramePlan(Shaper):
    """One run's framing. `say`: a line for the run's progress. `cache_dir`:
    where the smart analysis is kept. `range_frames()`: each range's own
    framing (its segment's "frame", None or "auto" for the run's).
    `analysed`: whether this run analysed (False: the cache answered, or
    nothing needed analysing)."""

    def __init__(self, frame: str, aspect: str, *, say: Callable[[str], None],
                 cache_dir: Path | None = None, range_frames: Callable[[], Sequence[object]] | None = None) -> None:
        super().__init__()
        self.frame: str = frame
        self.aspect: str = aspect
        self._say = say
        self._range_frames = range_frames or (lambda: ())
        self._cache_dir = cache_dir or framing_cache_dir()
        self._source: str | None = None
        self._ranges: list[tuple[str, str]] = []
        self._filter: str | None = None
        self._starts: list[float] | None = None
        self.analysed: bool = False

    def cut(self, step: Cut, command: CutCommand) -> CutCommand:
        self._source = step.source
        self._ranges.append((step.start, step.end))
        return command

    def conversion(self, step: Conversion, join: RecapJoin) -> None:
        if self._starts is None:  # where each range starts in the joined picture, from the run's timeline
            speed = join.timeline.speed
            self._starts = [rng.recap_in * speed for rng in join.timeline.ranges] + [join.timeline.duration * speed]
        if self._filter is None:  # the software attempt after a failed hardware one reuses it
            self._filter = self._framing(step, join.clips)
        join.picture.set("framing", self._filter)

    def _framing(self, step: Conversion, clips: Sequence[str]) -> str:
        width, height = ASPECTS[self.aspect]
        self._say(f"vantor: framing {self.frame} at {self.aspect} ({width}x{height})")
        ranges = self._ranges_own(clips, step.speed)
        if self.frame != "smart" and not ranges:
            return framing_filter(self.frame, self.aspect)
        centre, apart = "0.5", list[tuple[float, float]]()
        if self.frame == "smart":
            centre, apart = self._smart(step, clips)
        held = [(start, end, FIXED_CROPS[own]) for start, end, own in ranges if own in FIXED_CROPS]
        spans = [(start, end, "crop" if own in FIXED_CROPS else "blur") for start, end, own in ranges]
        spans += [(start, end, "blur") for start, end in _outside(apart, [(a, b) for a, b, _ in ranges])]
        base = "crop" if self.frame in ("smart", "center") else self.frame
        return layered_filter(self.aspect, held_expression(centre, held), spans, base)

    def _smart(self, step: Conversion, clips: Sequence[str]) -> tuple[str, list[tuple[float, float]]]:
        """The camera path's expression and the output spans of the shots
        shown whole (two subjects apart)."""
        from . import frame_analysis

        width, height = ASPECTS[self.aspect]
        source = step.source
        key = frame_analysis.cache_key(self._source, self._ranges) if self._source else None
        found = frame_analysis.cached(self._cache_dir, key) if key else None
        if found is None:
            try:
                picture = frame_analysis.probe_picture(source, runner=self.runner)  # the run's: a cancel ends it
                found = frame_analysis.analyse(source, _crop_share(picture[0], picture[1], width, height),
                                               runner=self.runner)
            except (ValueError, KeyError, IndexError) as error:
                self._say(f"vantor: smart framing could not analyse the picture ({error}); it is framed at the centre")
                return "0.5", []
            self.analysed = True
            if key:
                frame_analysis.store(self._cache_dir, key, found)
        scale = max(width / found.width, height / found.height)
        scaled_width = found.width * scale
        if scaled_width <= width + 1:
            return "0.5", []  # the crop is the whole width: nothing to follow
        self._say_fallbacks(found.samples, clips)
        keys = camera_path(found.samples, scaled_width=scaled_width, crop_width=width, speed=step.speed,
                           fps=found.fps)
        # A shot is known from its first sample on: one that starts with its range starts there.
        near = 1 / frame_analysis.RATE
        bounds = self._bounds(clips) or []
        apart = [(next((b for b in bounds if abs(b - start) <= near), start) / step.speed,
                  next((b for b in bounds if abs(b - end) <= near), end) / step.speed)
                 for start, end in frame_analysis.apart_shots(found.samples)]
        for _ in apart[:1]:
            self._say(f"vantor: {len(apart)} shot(s) with two subjects apart are shown whole over blur")
        return path_expression(keys), apart

    def _ranges_own(self, clips: Sequence[str], speed: float) -> list[tuple[float, float, str]]:
        """(start, end in output time, framing) of each range with its own framing."""
        own = [(number, value) for number, value in enumerate(self._range_frames()) if value not in (None, "auto")]
        for number, value in own:  # only a run whose segments were not checked gets here with one
            if value not in RANGE_FRAMES:
                self._say(f"vantor: range {number + 1}: no framing {value!r} ({', '.join(RANGE_FRAMES)}); "
                          "it follows the run's")
        own = [(number, value) for number, value in own if value in RANGE_FRAMES]
        if not own:
            return []
        starts = self._bounds(clips)
        if starts is None:
            self._say("vantor: the ranges' clips cannot be measured; their own framing is not applied")
            return []
        return [(starts[number] / speed, starts[number + 1] / speed, str(value)) for number, value in own
                if number + 1 < len(starts)]

    def _bounds(self, clips: Sequence[str]) -> list[float] | None:
        """Where each range starts in the joined video, and where the last ends (None: unreadable)."""
        if self._starts is None:
            try:
                durations = [self.media.length(clip) for clip in clips]
            except UnreadableVideo:
                return None
            self._starts = [sum(durations[:number]) for number in range(len(durations) + 1)]
        return self._starts

    def _say_fallbacks(self, samples: Sequence[Any], clips: Sequence[str]) -> None:
        """A range in which no sample found a subject is framed at its centre; said."""
        bounds = self._bounds(clips) or []
        for number, (start, end) in enumerate(zip(bounds, bounds[1:]), 1):
            inside = [s for s in samples if start <= s.time < end]
            if inside and all(s.subject is None for s in inside):
                self._say(f"vantor: range {number}: smart framing found no subject; it is framed at the centre")


def _outside(spans: Sequence[tuple[float, float]], taken: Sequence[tuple[float, float]]) -> list[tuple[float, float]]:
    """`spans` less the parts within `taken` (the ranges framed their own way)."""
    left = list(spans)
    for cut_start, cut_end in taken:
        left = [piece for start, end in left
                for piece in ((start, min(end, cut_start)), (max(start, cut_end), end)) if piece[1] > piece[0]]
    return left


def _crop_share(width: int, height: int, out_width: int, out_height: int) -> float:
    scale = max(out_width / width, out_height / height)
    return min(1.0, out_width / (width * scale))
