"""The timeline an export writes, planned here from what the run already
knows before it renders: the checked segments, the narrations' measured
lengths (the fit report), the speed, the aspect and the source's probe.

One function, `planned_timeline`: where the run builds its own `Timeline`
(refined by the cuts' frame times) that one is handed to the writers
instead, and this planner goes.
"""

from __future__ import annotations

import json
import subprocess
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING

from ..recap.captions.emphasis import spoken_text
from ..recap.framing.modes import ASPECTS
from ..recap.checks.segments_check import seconds_of
from ..recap.sound.sound_step import DOWN_S, DUCK_DB, FADE_OUT_S, MUSIC_DB, UP_S
from ..recap.timeline.model import CropKey, Music, Narration, RangeTime, SoundBed, Timeline, Word

if TYPE_CHECKING:
    from ..recap.fit.fit_report import SegmentFit

__all__ = ["SourceProbe", "planned_timeline", "probe_source"]


@dataclass(frozen=True)
class SourceProbe:
    width: int
    height: int
    frame_rate: tuple[int, int]
    duration: float


def probe_source(path: str) -> SourceProbe:
    """The film's picture size, frame rate and length, read by ffprobe."""
    done = subprocess.run(["ffprobe", "-v", "error", "-protocol_whitelist", "file", "-select_streams", "v:0",
                           "-show_entries", "stream=width,height,avg_frame_rate:format=duration", "-of", "json", path],
                          capture_output=True, text=True)
    try:
        data = json.loads(done.stdout)
        stream = data["streams"][0]
        rate = Fraction(stream["avg_frame_rate"])
        return SourceProbe(int(stream["width"]), int(stream["height"]), (rate.numerator, rate.denominator),
                           float(data["format"]["duration"]))
    except (ValueError, KeyError, IndexError, ZeroDivisionError):
        raise ValueError(f"ffprobe could not read the source film {path}: "
                         f"{done.stderr.strip()[-200:] or 'no video stream'}") from None


def _gain(db: float) -> float:
    return float(10 ** (db / 20))


def cover_crop(probe: SourceProbe, width: int, height: int) -> CropKey:
    """The middle of the picture at the recap's shape, in source pixels (the
    fixed crop of the "center" frame)."""
    scale = max(width / probe.width, height / probe.height)
    crop_w, crop_h = width / scale, height / scale
    return CropKey(0.0, (probe.width - crop_w) / 2, (probe.height - crop_h) / 2, crop_w, crop_h)


def duck_keys(windows: Sequence[tuple[float, float]], low: float) -> tuple[tuple[float, float], ...]:
    """(recap seconds, gain) keys: down to `low` before each narration speaks
    and back up after it; two narrations too close for the ramps stay down
    between them."""
    merged: list[list[float]] = []
    for start, end in sorted(windows):
        if merged and start - merged[-1][1] < DOWN_S + UP_S:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([start, end])
    keys: list[tuple[float, float]] = []
    for start, end in merged:
        down = max(0.0, start - DOWN_S)
        if down < start:
            keys.append((down, 1.0))
        keys += [(start, low), (end, low), (end + UP_S, 1.0)]
    return tuple(keys)


def planned_timeline(segments: Sequence[Mapping[str, object]], fits: Sequence[SegmentFit] | None, *,
                     source: str, probe: SourceProbe, speed: float, aspect: str, fit: str = "extend",
                     source_audio: str = "duck", music: str | None = None,
                     narrations: Sequence[str | None] = ()) -> Timeline:
    """The recap's timeline: each range from its start for the clip the fit
    gives it (clipped at the film's end), played back to back at `speed`,
    its narration at its start; the duck lowers the source and music while
    each narration speaks. `narrations`: each narration's sound file."""
    width, height = ASPECTS[aspect]
    crop = cover_crop(probe, width, height)
    ranges: list[RangeTime] = []
    windows: list[tuple[float, float]] = []
    at = 0.0
    for index, segment in enumerate(segments):
        number = index + 1
        start, end = seconds_of(segment["start"]), seconds_of(segment["end"])
        if start is None or end is None:
            raise ValueError(f"segment {number}: its range is not two times; run vantor check first")
        length = end - start
        spoken = fits[index] if fits is not None else None
        voiced = spoken.narration_length if spoken is not None else 0.0
        if spoken is None or fit == "range":
            clip, outcome = length, "range"
        elif fit == "extend":
            clip, outcome = max(length, voiced), "extended" if voiced > length else "range"
        else:
            clip, outcome = min(length, voiced), "narration"
        clip = max(0.0, min(clip, probe.duration - start))
        recap_length = clip / speed
        words: tuple[Word, ...] = ()
        if spoken is not None and spoken.timing is not None:
            words = tuple(Word(w.word, at + w.start / speed, at + min(w.end, clip) / speed)
                          for w in spoken.timing.words if w.start < clip)
        said = min(voiced, clip) / speed if spoken is not None else recap_length
        audio = narrations[index] if index < len(narrations) else None
        narration = Narration(spoken_text(str(segment["voiceover"])), at, said, words, audio)
        if source_audio == "duck" and said > 0:
            windows.append((at, at + said))
        ranges.append(RangeTime(number, start, start + clip, at, at + recap_length, outcome, narration,
                                (crop,)))
        at += recap_length
    duck = duck_keys(windows, _gain(DUCK_DB))
    bed_music = Music(music, MUSIC_DB, FADE_OUT_S) if music else None
    return Timeline(source, probe.width, probe.height, probe.frame_rate, speed, width, height, tuple(ranges),
                    SoundBed(source_audio, tuple(duck), bed_music))


def smart_crops(timeline: Timeline, say: Callable[[str], None] = lambda line: None) -> Timeline:
    """The timeline with each range's crop following its subject: the smart
    framing's look at that stretch of the source, its camera path as crop
    keys (source seconds from the range's first frame)."""
    from ..recap.framing import frame_analysis
    from ..recap.framing.modes import camera_path

    scale = max(timeline.width / timeline.source_width, timeline.height / timeline.source_height)
    scaled_width = timeline.source_width * scale
    if scaled_width <= timeline.width + 1:
        return timeline  # the crop is the whole width: nothing to follow
    crop_w, crop_h = timeline.width / scale, timeline.height / scale
    y = (timeline.source_height - crop_h) / 2
    for item in timeline.ranges:
        try:
            found = frame_analysis.analyse(timeline.source, timeline.width / scaled_width,
                                           start=item.source_in, end=item.source_out, protocols="file")
        except ValueError as error:
            say(f"vantor: range {item.number}: smart framing could not analyse it ({error}); its crop is centred")
            continue
        keys = camera_path(found.samples, scaled_width=scaled_width, crop_width=timeline.width, speed=1.0,
                           fps=found.fps)
        crop = tuple(CropKey(time, min(max(0.0, share * timeline.source_width - crop_w / 2),
                                       timeline.source_width - crop_w), y, crop_w, crop_h)
                     for time, share in keys)
        if crop:
            timeline = timeline.with_range(item.number, crop=crop)
    return timeline
