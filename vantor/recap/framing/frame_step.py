"""The framing of a run, within its one conversion encode.

Each range is framed on its own: the smart camera path is analysed per
range from the source, from the range's first frame to its last, so every
range starts with a cut to its own subject (a range that follows another
from the same shot is not held where that one left the crop). A range's
own framing (its segment's "frame") holds the crop at the left, centre or
right, or shows that range whole over blur.

A smart range's analysis starts when the engine cuts it, on a thread
beside the engine's steps (the cut loop leaves a core idle): the
conversion finds it done. It is the same analysis the conversion would
make, told and kept in the cache there, in the range's order.

The conversion reads each range as its own input (its time 0 at the
range's first frame, at the source's speed) and asks `range_chain` for
that range's picture; `crop_keys` gives the same crop in source pixels for
the run's timeline. The window is cropped from the source picture and only
then scaled. The speed change and the captions come after the join, on the
framed picture.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING

from .modes import (ASPECTS, FIXED_CROPS, camera_path, crop_window, layered_filter, path_expression,
                      range_layout)
from ..engine.host import Shaper
from ..checks.segments_check import seconds_of
from ..timeline.model import CropKey
from ...runner import Runner

if TYPE_CHECKING:
    from ..timeline.command import CutCommand
    from .frame_analysis import Analysis
    from ..timeline.join_step import RecapJoin
    from ..engine.steps import Conversion, Cut
    from ..timeline.model import RangeTime, Timeline

__all__ = ["FramePlan", "RangeFraming", "framing_cache_dir"]


def framing_cache_dir() -> Path:
    from ...services.cache import private_dir
    from ...services.limits import default_cache_dir

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
        self._done = 0  # ranges this run analysed
        self._told_framing = False
        self.analysed: bool = False
        # Analyses started at the cuts, by (start, end, share, picture); one thread.
        self._ahead: dict[tuple[float, float, float, tuple[int, int, float]], Future[Analysis | None]] = {}
        self._ahead_pool: ThreadPoolExecutor | None = None
        self._stopping = threading.Event()

    # -- the engine's steps

    def cut(self, step: Cut, command: CutCommand) -> CutCommand:
        self._source = step.source  # the downloaded film: each range is analysed from it
        start, end = seconds_of(step.start), seconds_of(step.end)
        self._ranges.append((start or 0.0, end if end is not None else start or 0.0))
        self._analyse_ahead(step.index + 1)
        return command

    def stop(self) -> None:
        """No analysis starts any more; one under way is stopped and awaited."""
        self._stopping.set()
        if self._ahead_pool is not None:
            self._ahead_pool.shutdown(wait=True, cancel_futures=True)

    def conversion(self, step: Conversion, join: RecapJoin) -> None:
        """Each range comes framed by `range_chain`; here the run is told
        how, and the timeline gets each range's crop."""
        if not self._told_framing:  # the software attempt after a failed hardware one says nothing again
            self._told_framing = True
            width, height = ASPECTS[self.aspect]
            self._say(f"vantor: framing {self.frame} at {self.aspect} ({width}x{height})")  # before the analysis
        join.timeline = self.framed(join.timeline)

    def framed(self, timeline: Timeline) -> Timeline:
        """`timeline` with each range's crop keys (analysed from its source
        where the framing is smart)."""
        self.speed = timeline.speed
        if self._source is None:
            self._source = timeline.source
        if not self._ranges:  # not told of the cuts (a timeline planned without a run)
            self._ranges = [(rng.source_in, rng.source_out) for rng in timeline.ranges]
        self._picture = (timeline.source_width, timeline.source_height,
                         timeline.frame_rate[0] / timeline.frame_rate[1])
        return replace(timeline, ranges=tuple(replace(rng, crop=self.crop_keys(rng)) for rng in timeline.ranges))

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
            share = self._share(picture)
            if share >= 1.0 - 1e-3:
                return RangeFraming("crop")  # the window is the whole width: nothing to follow
            found = self._analysis(start, end, share, picture)
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

    def _analysis(self, start: float, end: float, share: float, picture: tuple[int, int, float]) -> Analysis:
        from . import frame_analysis

        assert self._source is not None
        key = self._cache_key(start, end, share)
        found = frame_analysis.cached(self._cache_dir, key)
        if found is None:
            count = max(len(self._ranges), 1)
            if self._done == 0:
                self._say(f"vantor: smart framing: analysing {count} range(s)")
            found = self._analysed_ahead((start, end, share, picture)) or frame_analysis.analyse(
                self._source, share, start=start, end=end, picture=picture,
                runner=self.runner)  # the run's: a cancel ends it
            self.analysed = True
            frame_analysis.store(self._cache_dir, key, found)
            self._done += 1
            if count >= 10 and self._done % (count // 10) == 0 and self._done < count:  # a tenth at a time
                self._say(f"vantor: smart framing: {self._done} of {count} ranges analysed")
        return found

    def _cache_key(self, start: float, end: float, share: float) -> str:
        """The cache's name for this source's stretch at this share (the
        source read for its digest once a run)."""
        from . import frame_analysis

        assert self._source is not None
        if self._digest is None:
            self._digest = frame_analysis.file_digest(self._source)
        return frame_analysis.range_key(self._digest, start, end, share)

    def _share(self, picture: tuple[int, int, float]) -> float:
        """The window's width as a share of the picture scaled to cover the aspect."""
        width, height = ASPECTS[self.aspect]
        scale = max(width / picture[0], height / picture[1])
        return min(1.0, width / (picture[0] * scale))

    def _analyse_ahead(self, number: int) -> None:
        """Range `number`'s analysis started now, when the conversion will
        want it (a smart range of a planned run, not in the cache)."""
        from . import frame_analysis

        current = self.timeline.current if self.timeline is not None else None
        frames = list(self._range_frames())
        own = range_layout(frames[number - 1]) if number <= len(frames) else None
        if (current is None or self._source is None or self.frame != "smart" or own is not None
                or number > len(current.ranges) or self._stopping.is_set()):
            return
        rng = current.range(number)
        picture = (current.source_width, current.source_height, current.frame_rate[0] / current.frame_rate[1])
        share = self._share(picture)
        if rng.source_out <= rng.source_in or share >= 1.0 - 1e-3:
            return
        try:
            key = self._cache_key(rng.source_in, rng.source_out, share)
        except OSError:
            return  # the conversion says so
        if frame_analysis.cached(self._cache_dir, key) is not None:
            return
        if self._ahead_pool is None:
            self._ahead_pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="vantor-framing")
        run = self.runner

        def stop_requested() -> bool:
            return run.cancelled or self._stopping.is_set()

        # Its own runner: a stop ends its decoder without cancelling the run, a cancel of the run ends it too.
        runner = Runner(start_child=run.start_child, stop_requested=stop_requested)
        self._ahead[(rng.source_in, rng.source_out, share, picture)] = self._ahead_pool.submit(
            self._ahead_analysis, self._source, rng.source_in, rng.source_out, share, picture, runner)

    def _ahead_analysis(self, source: str, start: float, end: float, share: float,
                        picture: tuple[int, int, float], runner: Runner) -> Analysis | None:
        from . import frame_analysis

        if self._stopping.is_set():
            return None
        try:
            return frame_analysis.analyse(source, share, start=start, end=end, picture=picture, runner=runner)
        except Exception:  # the conversion analyses it again, and says what went wrong
            return None

    def _analysed_ahead(self, key: tuple[float, float, float, tuple[int, int, float]]) -> Analysis | None:
        ahead = self._ahead.pop(key, None)
        return None if ahead is None or ahead.cancelled() else ahead.result()

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
            self._picture = frame_analysis.probe_picture(self._source, runner=self.runner)
        return self._picture
