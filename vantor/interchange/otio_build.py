"""The recap's timeline as an OpenTimelineIO timeline: the shared model the
OTIO file is, and the FCPXML and EDL adapters write from.

The picture track holds one clip per range (`range 3`) with its exact in
point on the film, its length on the recap and the speed as a linear time
warp; the source sound track the same cuts with the duck's keys in their
metadata; the narration track each narration (`narration 3`) at its place;
the music track the bed. What OTIO cannot hold as such (the crop, the duck,
the music's level and fade) is in each clip's "vantor" metadata, with the
narration's text, so that an edited timeline can be read back."""

from __future__ import annotations

import os
from typing import Any

import opentimelineio as otio

from ..recap.timeline.model import RangeTime, Timeline
from .media import CAPTIONS_NAME, relative

__all__ = ["METADATA", "frame_rate", "otio_timeline"]

METADATA = "vantor"
VIDEO_TRACK, SOURCE_SOUND_TRACK, NARRATION_TRACK, MUSIC_TRACK = "video", "source sound", "narration", "music"


def frame_rate(timeline: Timeline) -> float:
    numerator, denominator = timeline.frame_rate
    return numerator / denominator


def _time(seconds: float, rate: float) -> otio.opentime.RationalTime:
    return otio.opentime.RationalTime(seconds * rate, rate)


def _span(start: float, length: float, rate: float) -> otio.opentime.TimeRange:
    return otio.opentime.TimeRange(_time(start, rate), _time(length, rate))


def _reference(path: str, directory: str, length: float | None, rate: float) -> otio.schema.ExternalReference:
    available = _span(0.0, length, rate) if length is not None else None
    return otio.schema.ExternalReference(target_url=relative(path, directory), available_range=available)


def _duck_of(timeline: Timeline, item: RangeTime) -> list[list[float]]:
    """The duck's keys inside one clip, in seconds from the clip's start."""
    keys = [[round(time - item.recap_in, 6), gain] for time, gain in timeline.sound.duck
            if item.recap_in <= time <= item.recap_out]
    return keys


def _range_clip(timeline: Timeline, item: RangeTime, directory: str, rate: float, film_length: float | None,
                sound: bool) -> otio.schema.Clip:
    crop = [{"time": key.time, "x": key.x, "y": key.y, "width": key.width, "height": key.height}
            for key in item.crop]
    data: dict[str, Any] = {"range": item.number, "source_in": item.source_in, "source_out": item.source_out,
                            "fit": item.fit, "crop": crop,
                            "narration": item.narration.text if item.narration is not None else None}
    if sound:
        data = {"range": item.number, "duck": _duck_of(timeline, item), "source_audio": timeline.sound.source}
    clip = otio.schema.Clip(name=item.name, media_reference=_reference(timeline.source, directory, film_length, rate),
                            source_range=_span(item.source_in, item.recap_length, rate),
                            metadata={METADATA: data})
    if timeline.speed != 1.0:
        clip.effects.append(otio.schema.LinearTimeWarp(name="speed", time_scalar=timeline.speed))
    if item.narration is not None:
        clip.media_reference.metadata["fcpx"] = {"note": item.narration.text}
    return clip


def otio_timeline(timeline: Timeline, directory: str, name: str, film_length: float | None = None) -> otio.schema.Timeline:
    """`timeline` in OTIO; media paths relative to `directory`, where the
    file goes. `film_length`: the source film's length in seconds."""
    rate = frame_rate(timeline)
    media = os.path.dirname(timeline.source)
    result = otio.schema.Timeline(name=name, global_start_time=_time(0.0, rate), metadata={METADATA: {
        "speed": timeline.speed, "width": timeline.width, "height": timeline.height,
        "frame_rate": list(timeline.frame_rate), "source_width": timeline.source_width,
        "source_height": timeline.source_height,
        "captions": relative(os.path.join(media, CAPTIONS_NAME), directory)}})
    video = otio.schema.Track(name=VIDEO_TRACK, kind=otio.schema.TrackKind.Video)
    source_sound = otio.schema.Track(name=SOURCE_SOUND_TRACK, kind=otio.schema.TrackKind.Audio)
    narration = otio.schema.Track(name=NARRATION_TRACK, kind=otio.schema.TrackKind.Audio)
    for item in timeline.ranges:
        video.append(_range_clip(timeline, item, directory, rate, film_length, sound=False))
        if timeline.sound.source != "off":
            source_sound.append(_range_clip(timeline, item, directory, rate, film_length, sound=True))
    at = 0.0
    for item in timeline.ranges:
        spoken = item.narration
        if spoken is None or spoken.audio is None or spoken.length <= 0:
            continue
        if spoken.start > at:
            narration.append(otio.schema.Gap(source_range=_span(0.0, spoken.start - at, rate)))
        narration.append(otio.schema.Clip(
            name=f"narration {item.number}", media_reference=_reference(spoken.audio, directory, spoken.length, rate),
            source_range=_span(0.0, spoken.length, rate),
            metadata={METADATA: {"range": item.number, "text": spoken.text}}))
        narration[-1].media_reference.metadata["fcpx"] = {"note": spoken.text}
        at = spoken.start + spoken.length
    result.tracks.append(video)
    if len(source_sound):
        result.tracks.append(source_sound)
    result.tracks.append(narration)
    music = timeline.sound.music
    if music is not None and timeline.ranges:
        bed = otio.schema.Track(name=MUSIC_TRACK, kind=otio.schema.TrackKind.Audio)
        bed.append(otio.schema.Clip(name="music", media_reference=_reference(music.path, directory, None, rate),
                                    source_range=_span(0.0, timeline.duration, rate),
                                    metadata={METADATA: {"level_db": music.level_db, "fade_out": music.fade_out,
                                                         "duck": [list(key) for key in timeline.sound.duck],
                                                         "loop": True}}))
        result.tracks.append(bed)
    return result
