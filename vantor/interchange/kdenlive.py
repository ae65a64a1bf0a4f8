"""The recap as a Kdenlive project: MLT XML that Kdenlive opens and MLT's
`melt` renders. Written here, not by an adapter: the crop is a keyframed
transform (MLT's affine filter, Kdenlive's Transform effect), the duck a
keyframed volume on the source's sound, each narration a clip on its own
track, the music bed looped with its level, duck and fade as keyframes."""

from __future__ import annotations

import math
import os
import xml.etree.ElementTree as ET
from collections.abc import Mapping, Sequence

from ..recap.timeline.model import CropKey, RangeTime, Timeline
from .media import relative

__all__ = ["kdenlive_project"]

SILENT_DB = -60.0


def _db(gain: float) -> float:
    return 20 * math.log10(gain) if gain > 0 else SILENT_DB


def _add(parent: ET.Element, tag: str, properties: Mapping[str, object] | None = None, /,
         **attributes: object) -> ET.Element:
    element = ET.SubElement(parent, tag, {key: str(value) for key, value in attributes.items()})
    for name, value in (properties or {}).items():
        ET.SubElement(element, "property", name=name).text = str(value)
    return element


class _Clock:
    """Seconds to frames of the project's rate."""

    def __init__(self, timeline: Timeline) -> None:
        self.numerator, self.denominator = timeline.frame_rate

    def frames(self, seconds: float) -> int:
        return round(seconds * self.numerator / self.denominator)


def _rect(key: CropKey, timeline: Timeline) -> str:
    """The whole picture placed so that the crop window fills the frame."""
    scale = timeline.width / key.width
    return (f"{-key.x * scale:.3f} {-key.y * scale:.3f} {timeline.source_width * scale:.3f} "
            f"{timeline.source_height * scale:.3f} 1")


def _crop_keys(item: RangeTime, timeline: Timeline, clock: _Clock, first: int) -> str:
    keys = item.crop or ()
    return ";".join(f"{first + clock.frames(key.time / timeline.speed)}={_rect(key, timeline)}" for key in keys)


def gain_at(keys: Sequence[tuple[float, float]], time: float) -> float:
    """The duck's gain at recap `time`, straight between its keys (1 before the first)."""
    if not keys or time <= keys[0][0]:
        return keys[0][1] if keys and time == keys[0][0] else 1.0
    for (t0, g0), (t1, g1) in zip(keys, keys[1:]):
        if t0 <= time <= t1:
            return g1 if t1 == t0 else g0 + (g1 - g0) * (time - t0) / (t1 - t0)
    return keys[-1][1]


def _level_keys(keys: Sequence[tuple[float, float]], offset: float, length: float, clock: _Clock,
                base_db: float = 0.0, first: int = 0) -> str:
    """Volume keys (dB, by frame) of a clip that starts at `offset` on the
    recap: its own ends and the duck's keys between them, one a frame.
    A filter's keys count from its producer's first frame, not from the
    clip's in point (`first`)."""
    times = [offset, *(time for time, _ in keys if offset < time < offset + length), offset + length]
    by_frame = {first + clock.frames(time - offset): base_db + _db(gain_at(keys, time)) for time in times}
    return ";".join(f"{frame}={level:.2f}" for frame, level in sorted(by_frame.items()))


def _range_producer(root: ET.Element, item: RangeTime, timeline: Timeline, film: str, clock: _Clock) -> str:
    ident = f"range{item.number}"
    frames = max(1, clock.frames(item.recap_length))
    first = clock.frames(item.source_in / timeline.speed)
    properties: dict[str, object] = {"length": first + frames + 1, "eof": "pause",
                                     "kdenlive:clipname": item.name}
    if item.narration is not None:
        properties["vantor:narration"] = item.narration.text
    if timeline.speed != 1.0:
        properties |= {"resource": f"{timeline.speed:g}:{film}", "mlt_service": "timewarp",
                       "warp_speed": f"{timeline.speed:g}", "warp_resource": film, "warp_pitch": 1}
    else:
        properties |= {"resource": film, "mlt_service": "avformat"}
    producer = _add(root, "producer", properties, id=ident, **{"in": 0, "out": first + frames})
    if item.crop:
        _add(producer, "filter", {"mlt_service": "affine", "kdenlive_id": "transform",
                                  "transition.rect": _crop_keys(item, timeline, clock, first),
                                  "transition.distort": 0, "transition.fill": 1, "transition.repeat_off": 1,
                                  "background": "color:#00000000"})
    sound = timeline.sound
    if sound.source == "off":
        _add(producer, "filter", {"mlt_service": "volume", "kdenlive_id": "volume", "level": SILENT_DB})
    elif sound.source == "mix" or sound.duck:
        keys = _level_keys(sound.duck, item.recap_in, item.recap_length, clock,
                           -12.0 if sound.source == "mix" else 0.0, first)
        _add(producer, "filter", {"mlt_service": "volume", "kdenlive_id": "volume", "level": keys})
    return ident


def kdenlive_project(timeline: Timeline, path: str) -> None:
    """Writes `timeline` (its media in NAME.media/) as the project `path`."""
    directory = os.path.dirname(os.path.abspath(path))
    clock = _Clock(timeline)
    total = max(1, clock.frames(timeline.duration))
    numerator, denominator = timeline.frame_rate
    root = ET.Element("mlt", LC_NUMERIC="C", producer="main_bin", version="7.12.0", root=directory)
    divisor = math.gcd(timeline.width, timeline.height)
    _add(root, "profile", description=f"vantor {timeline.width}x{timeline.height}", width=timeline.width,
         height=timeline.height, progressive=1, sample_aspect_num=1, sample_aspect_den=1,
         display_aspect_num=timeline.width // divisor, display_aspect_den=timeline.height // divisor,
         frame_rate_num=numerator, frame_rate_den=denominator, colorspace=709)
    film = relative(timeline.source, directory)
    video = [_range_producer(root, item, timeline, film, clock) for item in timeline.ranges]
    narrations = []
    for item in timeline.ranges:
        spoken = item.narration
        if spoken is not None and spoken.audio is not None and spoken.length > 0:
            ident = f"narration{item.number}"
            _add(root, "producer", {"resource": relative(spoken.audio, directory), "mlt_service": "avformat",
                                    "kdenlive:clipname": f"narration {item.number}",
                                    "kdenlive:clip_type": 1, "vantor:text": spoken.text, "vantor:range": item.number},
                 id=ident, **{"in": 0, "out": max(0, clock.frames(spoken.length) - 1)})
            narrations.append((item, ident))
    music = timeline.sound.music
    if music is not None:
        bed = _add(root, "producer", {"resource": relative(music.path, directory), "mlt_service": "avformat",
                                      "eof": "loop", "kdenlive:clipname": "music", "length": total},
                   id="music", **{"in": 0, "out": total - 1})
        keys = _level_keys(timeline.sound.duck, 0.0, timeline.duration, clock, music.level_db)
        fade = max(0, total - clock.frames(music.fade_out))
        _add(bed, "filter", {"mlt_service": "volume", "kdenlive_id": "volume", "level": keys})
        _add(bed, "filter", {"mlt_service": "volume", "kdenlive_id": "fadeout", "level": f"{fade}=0;{total - 1}={SILENT_DB}"})
    bin_list = _add(root, "playlist", {"kdenlive:docproperties.version": "1.1",
                                       "kdenlive:docproperties.profile": f"vantor {timeline.width}x{timeline.height}",
                                       "vantor:speed": f"{timeline.speed:g}"}, id="main_bin")
    for ident in [*video, *(ident for _, ident in narrations), *(["music"] if music is not None else [])]:
        _add(bin_list, "entry", producer=ident)
    picture = _add(root, "playlist", {"kdenlive:track_name": "video"}, id="video")
    for item, ident in zip(timeline.ranges, video):
        first = clock.frames(item.source_in / timeline.speed)
        _add(picture, "entry", producer=ident, **{"in": first, "out": first + max(1, clock.frames(item.recap_length)) - 1})
    voice = _add(root, "playlist", {"kdenlive:track_name": "narration", "kdenlive:audio_track": 1}, id="narration")
    at = 0
    for item, ident in narrations:
        assert item.narration is not None
        start = clock.frames(item.narration.start)
        if start > at:
            _add(voice, "blank", length=start - at)
        length = max(1, clock.frames(item.narration.length))
        _add(voice, "entry", producer=ident, **{"in": 0, "out": length - 1})
        at = start + length
    tracks = ["video", "narration"]
    if music is not None:
        bed_track = _add(root, "playlist", {"kdenlive:track_name": "music", "kdenlive:audio_track": 1}, id="musictrack")
        _add(bed_track, "entry", producer="music", **{"in": 0, "out": total - 1})
        tracks.append("musictrack")
    tractor = _add(root, "tractor", {"kdenlive:projectTractor": 1}, id="recap", **{"in": 0, "out": total - 1})
    for number, track in enumerate(tracks):
        _add(tractor, "track", producer=track, **({"hide": "video"} if number else {}))
    for number in range(1, len(tracks)):
        _add(tractor, "transition", {"mlt_service": "mix", "a_track": 0, "b_track": number, "always_active": 1,
                                     "sum": 1, "internal_added": 237})
    ET.indent(root)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)
