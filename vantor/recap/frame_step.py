"""The framing of a run, within its one conversion encode.

The engine's -vf is the speed-up, then a cover scale and a centre crop at
1080x1920; this shaper keeps the speed-up and puts the run's framing after
it: the crop at the chosen aspect, the whole picture over bars (`fit`) or
over a blurred copy of itself (`blur`), or a crop that follows the smart
camera path, whose time is the recap's (after the speed-up). Captions,
later in the shapers' order, are drawn on the framed picture.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .framing import ASPECTS, camera_path, framing_filter, path_expression, smart_filter
from .host import Shaper
from .probe import UnreadableVideo

if TYPE_CHECKING:
    from .steps import Conversion, Cut

__all__ = ["FramePlan", "framing_cache_dir"]


def framing_cache_dir() -> Path:
    from ..services.limits import default_cache_dir

    return default_cache_dir() / "framing"


class FramePlan(Shaper):
    """One run's framing. `say`: a line for the run's progress. `cache_dir`:
    where the smart analysis is kept. `analysed`: whether this run analysed
    (False: the cache answered, or nothing needed analysing)."""

    def __init__(self, frame: str, aspect: str, *, say: Callable[[str], None],
                 cache_dir: Path | None = None) -> None:
        super().__init__()
        self.frame: str = frame
        self.aspect: str = aspect
        self._say = say
        self._cache_dir = cache_dir or framing_cache_dir()
        self._source: str | None = None
        self._ranges: list[tuple[str, str]] = []
        self._filter: str | None = None
        self.analysed: bool = False

    def cut(self, step: Cut, argv: list[Any]) -> list[Any]:
        self._source = step.source
        self._ranges.append((step.start, step.end))
        return argv

    def conversion(self, step: Conversion, argv: list[Any], clips: Sequence[str]) -> list[Any]:
        if self._filter is None:  # the software attempt after a failed hardware one reuses it
            self._filter = self._framing(step, clips)
        at = argv.index("-vf") + 1
        speedup = str(argv[at]).split(",", 1)[0]
        return [*argv[:at], f"{speedup},{self._filter}", *argv[at + 1:]]

    def _framing(self, step: Conversion, clips: Sequence[str]) -> str:
        width, height = ASPECTS[self.aspect]
        self._say(f"vantor: framing {self.frame} at {self.aspect} ({width}x{height})")
        if self.frame != "smart":
            return framing_filter(self.frame, self.aspect)
        from . import frame_analysis

        source = step.source
        key = frame_analysis.cache_key(self._source, self._ranges) if self._source else None
        found = frame_analysis.cached(self._cache_dir, key) if key else None
        if found is None:
            try:
                picture = frame_analysis.probe_picture(source)
                found = frame_analysis.analyse(source, _crop_share(picture[0], picture[1], width, height))
            except (ValueError, KeyError, IndexError) as error:
                self._say(f"vantor: smart framing could not analyse the picture ({error}); it is framed at the centre")
                return framing_filter("center", self.aspect)
            self.analysed = True
            if key:
                frame_analysis.store(self._cache_dir, key, found)
        scale = max(width / found.width, height / found.height)
        scaled_width = found.width * scale
        if scaled_width <= width + 1:
            return framing_filter("center", self.aspect)  # the crop is the whole width: nothing to follow
        self._say_fallbacks(found.samples, clips)
        keys = camera_path(found.samples, scaled_width=scaled_width, crop_width=width, speed=step.speed,
                           fps=found.fps)
        return smart_filter(self.aspect, path_expression(keys))

    def _say_fallbacks(self, samples: Sequence[Any], clips: Sequence[str]) -> None:
        """A range in which no sample found a subject is framed at its centre; said."""
        try:
            durations = [self.media.length(clip) for clip in clips]
        except UnreadableVideo:
            return
        start = 0.0
        for number, duration in enumerate(durations, 1):
            inside = [s for s in samples if start <= s.time < start + duration]
            if inside and all(s.subject is None for s in inside):
                self._say(f"vantor: range {number}: smart framing found no subject; it is framed at the centre")
            start += duration


def _crop_share(width: int, height: int, out_width: int, out_height: int) -> float:
    scale = max(out_width / width, out_height / height)
    return min(1.0, out_width / (width * scale))
