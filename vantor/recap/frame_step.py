"""The framing of a run, within its one conversion encode.

Each range is framed on its own: the smart camera path is analysed per
range from the source, from the range's first frame to its last, so every
range starts with a cut to its own subject (a range that follows another
from the same shot is not held where that one left the crop). A range's
own framing (its segment's "frame") holds the crop at the left, centre or
right, or shows that range whole over blur.

`range_chain` gives one range's picture chain for a conversion that reads
each range as its own input (its time 0 at the range's first frame);
`crop_keys` the same crop in source pixels for the run's timeline. Until
the conversion reads ranges apart, `conversion` frames the joined clips:
the ranges' paths laid end to end at the clips' places, each one starting
with a cut. Either way the window is cropped from the source picture and
only then scaled. Captions, later in the shapers' order, are drawn on the
framed picture.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .framing import (ASPECTS, FIXED_CROPS, camera_path, crop_window, layered_filter, path_expression,
                      range_layout)
from .host import Shaper
from .probe import UnreadableVideo
from .segments_check import seconds_of
from .timeline import CropKey

if TYPE_CHECKING:
    from .frame_analysis import Analysis
    from .steps import Conversion, Cut
    from .timeline import RangeTime

__all__ = ["FramePlan", "RangeFraming", "framing_cache_dir"]


def framing_cache_dir() -> Path:
    from ..services.cache import private_dir
    from ..services.limits import default_cache_dir

    return private_dir(default_cache_dir()) / "framing"


@dataclass(frozen=True)
class RangeFraming:
    """One range's picture, in the range's own source time (0 at its first
    frame): `layout` "crop", "blur" or "fit"; for a crop, `keys` (time, the
    window's centre as a share of the width) and `whole`, the spans shown
    whole over blur (two subjects apart)."""

    layout: str
    keys: tuple[tuple[float, float], ...] = ((0.0, 0.5),)
    whole: tuple[tuple[float, float], ...] = ()
    found: bool = True  # a subject was found (or none was looked for)


class FramePlan(Shaper):
    """One run's framing. `say`: a line for the run's progress. `cache_dir`:
    where the smart analysis is kept. `range_frames()`: each range's own
    framing (its segment's "frame", None or "auto" for the run's). `speed`:
    the run's (the camera's bound is per recap frame). `analysed`: whether
    this run analysed (False: the cache answered, or nothing needed it)."""

    def __init__(self, frame: str, aspect: str, *, say: Callable[[str], None],
                 cache_dir: Path | None = None, range_frames: Callable[[], Sequence[object]] | None = None,
                 speed: float = 1.0) -> None:
        super().__init__()
        self.frame: str = frame
        self.aspect: str = aspect
        self.speed: float = speed
        self._say = say
        self._range_frames = range_frames or (lambda: ())
        self._cache_dir = cache_dir or framing_cache_dir()
        self._source: str | None = None
        self._ranges: list[tuple[float, float]] = []
        self._framings: dict[int, RangeFraming] = {}
        self._picture: tuple[int, int, float] | None = None
        self._digest: str | None = None
        self._filter: str | None = None
        self._starts: list[float] | None = None
        self._told = False
        self.analysed: bool = False

    # -- the engine's steps

    def cut(self, step: Cut, argv: list[Any]) -> list[Any]:
        self._source = step.source
        start, end = seconds_of(step.start), seconds_of(step.end)
        self._ranges.append((start or 0.0, end if end is not None else start or 0.0))
        return argv

    def conversion(self, step: Conversion, argv: list[Any], clips: Sequence[str]) -> list[Any]:
        if self._filter is None:  # the software attempt after a failed hardware one reuses it
            self.speed = step.speed
            self._filter = self.joined_filter(clips)
        at = argv.index("-vf") + 1
        speedup = str(argv[at]).split(",", 1)[0]
        return [*argv[:at], f"{speedup},{self._filter}", *argv[at + 1:]]

    # -- per range

    def range_chain(self, rng: RangeTime, src_label: str, out_label: str, *, speed: float = 1.0) -> str:
        """`[src]...[out]`: range `rng`'s picture framed at the aspect's size.
        The chain's `t` is 0 at the range's first frame and runs `speed`
        times the source's (1: the speed change comes after the chain)."""
        framing = self.range_framing(rng.number, rng.source_in, rng.source_out)
        keys = [(t / speed, x) for t, x in framing.keys]
        whole = [(a / speed, b / speed, "blur") for a, b in framing.whole]
        return (f"[{src_label}]" + layered_filter(self.aspect, path_expression(keys), whole, framing.layout,
                                                  label=f"{out_label}_", picture=self._size()) + f"[{out_label}]")

    def crop_keys(self, rng: RangeTime) -> tuple[CropKey, ...]:
        """The range's crop window in source pixels, its first key at the
        range's first frame (empty: the range is shown whole)."""
        framing = self.range_framing(rng.number, rng.source_in, rng.source_out)
        if framing.layout != "crop" or self._source is None:
            return ()
        width, height, _ = self._probe()
        window_w, window_h = crop_window(width, height, self.aspect)
        return tuple(CropKey(round(t, 4), float(min(max(x * width - window_w / 2, 0), width - window_w)),
                             float((height - window_h) // 2), float(window_w), float(window_h))
                     for t, x in framing.keys)

    def range_framing(self, number: int, start: float, end: float) -> RangeFraming:
        """Range `number` (1-based), from `start` to `end` s of the source."""
        if number not in self._framings:
            self._framings[number] = self._framed(number, start, end)
        return self._framings[number]

    def _framed(self, number: int, start: float, end: float) -> RangeFraming:
        frames = list(self._range_frames())
        own = range_layout(frames[number - 1]) if number <= len(frames) else None
        if own is None and number <= len(frames) and frames[number - 1] not in (None, "auto"):
            # only a run whose segments were not checked gets here with one
            self._say(f"vantor: range {number}: no framing {frames[number - 1]!r}; it follows the run's")
        if own in FIXED_CROPS:
            return RangeFraming("crop", ((0.0, FIXED_CROPS[own]),))
        if own == "blur" or self.frame in ("blur", "fit"):
            return RangeFraming(own or self.frame)
        if self.frame != "smart":
            return RangeFraming("crop")
        return self._smart(number, start, end)

    def _smart(self, number: int, start: float, end: float) -> RangeFraming:
        from . import frame_analysis

        if self._source is None or end <= start:
            return RangeFraming("crop")
        width, height = ASPECTS[self.aspect]
        try:
            picture = self._probe()
            scale = max(width / picture[0], height / picture[1])
            share = min(1.0, width / (picture[0] * scale))
            if share >= 1.0 - 1e-3:
                return RangeFraming("crop")  # the window is the whole width: nothing to follow
            found = self._analysis(start, end, share)
        except (ValueError, KeyError, IndexError, OSError) as error:
            self._say(f"vantor: range {number}: smart framing could not analyse the picture ({error}); "
                      "it is framed at the centre")
            return RangeFraming("crop", found=False)
        if not any(s.subject is not None for s in found.samples):
            self._say(f"vantor: range {number}: smart framing found no subject; it is framed at the centre")
            return RangeFraming("crop", found=False)
        # In source time: the camera's bound is per recap frame, so the path is made at the run's speed.
        keys = camera_path(found.samples, scaled_width=found.width * scale, crop_width=width, speed=self.speed,
                           fps=found.fps)
        keys = [(0.0, keys[0][1]), *((t * self.speed, x) for t, x in keys[1:])]  # a cut at the first frame
        whole = [(a, min(b, end - start)) for a, b in frame_analysis.apart_shots(found.samples)]
        if whole:
            self._say(f"vantor: range {number}: {len(whole)} shot(s) with two subjects apart are shown whole "
                      "over blur")
        return RangeFraming("crop", tuple(keys), tuple(whole))

    def _analysis(self, start: float, end: float, share: float) -> Analysis:
        from . import frame_analysis

        assert self._source is not None
        if self._digest is None:
            self._digest = frame_analysis.file_digest(self._source)
        key = frame_analysis.range_key(self._digest, start, end, share)
        found = frame_analysis.cached(self._cache_dir, key)
        if found is None:
            if not self._told:
                self._told = True
                self._say(f"vantor: smart framing: analysing {max(len(self._ranges), 1)} range(s)")
            found = frame_analysis.analyse(self._source, share, start=start, end=end)
            self.analysed = True
            frame_analysis.store(self._cache_dir, key, found)
        return found

    def _size(self) -> tuple[int, int] | None:
        """The source picture's size (None: no source, or unreadable: the
        window is then placed to the source's pixel)."""
        if self._source is None:
            return None
        try:
            return self._probe()[:2]
        except (ValueError, KeyError, IndexError, OSError):
            return None

    def _probe(self) -> tuple[int, int, float]:
        from . import frame_analysis

        if self._picture is None:
            assert self._source is not None
            self._picture = frame_analysis.probe_picture(self._source)
        return self._picture

    # -- the joined clips

    def joined_filter(self, clips: Sequence[str]) -> str:
        """The framing of the joined clips (after the speed-up): each range's
        framing at its clip's place, every range starting with a cut."""
        width, height = ASPECTS[self.aspect]
        self._say(f"vantor: framing {self.frame} at {self.aspect} ({width}x{height})")
        base = "crop" if self.frame in ("smart", "center") else self.frame
        bounds = self._bounds(clips)
        if bounds is None:
            self._say("vantor: the ranges' clips cannot be measured; they are framed at the centre")
            return layered_filter(self.aspect, "0.5", [], base, picture=self._size())
        keys: list[tuple[float, float]] = []
        spans: list[tuple[float, float, str]] = []
        for number in range(1, min(len(self._ranges), len(bounds) - 1) + 1):
            start, end = self._ranges[number - 1]
            framing = self.range_framing(number, start, end)
            at, until = bounds[number - 1] / self.speed, bounds[number] / self.speed
            if until <= at:
                continue
            if framing.layout != base:
                spans.append((at, until, framing.layout))
            if framing.layout == "crop":
                keys += [(at + t / self.speed, x) for t, x in framing.keys if t / self.speed < until - at]
                keys.append((until, keys[-1][1]))  # held to the range's end, where the next one cuts
                if base != "blur":
                    spans += [(at + a / self.speed, min(until, at + b / self.speed), "blur") for a, b in framing.whole]
        return layered_filter(self.aspect, path_expression(keys) if keys else "0.5", spans, base,
                              picture=self._size())

    def _bounds(self, clips: Sequence[str]) -> list[float] | None:
        """Where each range starts in the joined video, and where the last ends (None: unreadable)."""
        if self._starts is None:
            try:
                durations = [self.media.length(clip) for clip in clips]
            except UnreadableVideo:
                return None
            self._starts = [sum(durations[:number]) for number in range(len(durations) + 1)]
        return self._starts
