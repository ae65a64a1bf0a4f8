"""The timeline of one run: where every range comes from in the source and
where it plays in the recap, with its narration, its fit, its crop and the
sound under it.

It is made once, before the engine runs, from the checked segments and the
narrations' timings, and refined by the cut steps with the exact frame times
they produced (`with_source`). It is a frozen value: every feature reads the
same one (framing, sound, captions, the fit report, the progress view, the
studio, batch and the editor export) and none re-derives a time from a clip's
length. Times are seconds; `source_*` on the source film's clock, `recap_*`
on the recap's (after the speed change); crop keys are in source pixels.
"""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass, field, replace
from typing import Any

__all__ = ["CropKey", "Music", "Narration", "RangeTime", "SoundBed", "Timeline", "Word", "FIT_OUTCOMES"]

# How a range's clip ended against its narration: "range" played the range
# as chosen; "extended" ran on past the range's end while the narration
# spoke; "cut" ended the narration at the range's end; "narration" ended the
# clip with its narration.
FIT_OUTCOMES = ("range", "extended", "cut", "narration")


@dataclass(frozen=True)
class Word:
    text: str
    start: float  # recap seconds
    end: float


@dataclass(frozen=True)
class Narration:
    text: str  # as spoken (emphasis marks removed)
    start: float  # recap seconds where it begins
    length: float  # recap seconds it speaks (its decoded length over the speed)
    words: tuple[Word, ...] = ()
    audio: str | None = None  # its sound, a file of the run's working folder


@dataclass(frozen=True)
class CropKey:
    time: float  # source seconds, from the range's first frame on
    x: float  # the crop window's left edge in source pixels
    y: float
    width: float
    height: float


@dataclass(frozen=True)
class RangeTime:
    number: int  # 1-based, in the order the recap plays them
    source_in: float  # the range's first frame in the source
    source_out: float  # where its clip ends in the source (past the range when extended)
    recap_in: float
    recap_out: float
    fit: str = "range"  # one of FIT_OUTCOMES
    narration: Narration | None = None
    crop: tuple[CropKey, ...] = ()  # empty: the frame mode's fixed crop

    @property
    def name(self) -> str:
        return f"range {self.number}"

    @property
    def recap_length(self) -> float:
        return self.recap_out - self.recap_in


@dataclass(frozen=True)
class Music:
    path: str
    level_db: float
    fade_out: float


@dataclass(frozen=True)
class SoundBed:
    source: str = "duck"  # the source's sound: "off", "duck" or "mix"
    duck: tuple[tuple[float, float], ...] = ()  # (recap seconds, gain) keys of the source and music level
    music: Music | None = None


@dataclass(frozen=True)
class Timeline:
    source: str  # the film the ranges are cut from
    source_width: int
    source_height: int
    frame_rate: tuple[int, int]  # the source's, as a fraction
    speed: float
    width: int  # the recap's picture
    height: int
    ranges: tuple[RangeTime, ...]
    sound: SoundBed = field(default_factory=SoundBed)
    caption_style: str | None = None  # None: no captions

    @property
    def duration(self) -> float:
        return self.ranges[-1].recap_out if self.ranges else 0.0

    def range(self, number: int) -> RangeTime:
        return self.ranges[number - 1]

    def with_range(self, number: int, **changes: Any) -> Timeline:
        """The timeline with one range changed (a cut's exact frame times)."""
        ranges = list(self.ranges)
        ranges[number - 1] = replace(ranges[number - 1], **changes)
        return replace(self, ranges=tuple(ranges))

    def to_json(self) -> str:
        return json.dumps(asdict(self), indent=2)

    @classmethod
    def from_json(cls, text: str) -> Timeline:
        data = json.loads(text)
        sound = data.get("sound") or {}
        music = sound.get("music")
        ranges = []
        for item in data["ranges"]:
            narration = item.get("narration")
            if narration is not None:
                words = tuple(Word(**word) for word in narration.get("words", ()))
                narration = Narration(**{**narration, "words": words})
            crop = tuple(CropKey(**key) for key in item.get("crop", ()))
            ranges.append(RangeTime(**{**item, "narration": narration, "crop": crop}))
        return cls(**{**data, "frame_rate": tuple(data["frame_rate"]), "ranges": tuple(ranges),
                      "sound": SoundBed(source=sound.get("source", "duck"),
                                        duck=tuple(tuple(key) for key in sound.get("duck", ())),
                                        music=Music(**music) if music else None)})
