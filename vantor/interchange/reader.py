"""Segments from an edited timeline: the picture track's range clips as the
editor left them (trimmed, reordered, deleted), each with the narration
text of its narration clip. Reads OTIO, FCPXML (through OTIO's adapter,
its speed from each clip's time map) and Kdenlive projects; every file is
checked by `guard` first."""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

from .guard import (MAX_CLIPS, TimelineRefused, check_clip_count, check_media, check_span, parse_xml,
                    read_limited)
from .otio_build import METADATA

__all__ = ["ReadBack", "TimelineRefused", "read_timeline"]

_NUMBERED = re.compile(r"(range|narration) (\d{1,6})")
MIN_SCALAR, MAX_SCALAR = 0.1, 16.0


@dataclass
class ReadBack:
    segments: list[dict[str, object]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)  # one line each: what the edit changed that needs saying


@dataclass(frozen=True)
class _Range:
    number: int | None
    start: float
    end: float
    text: str | None  # the narration the range's own clip remembers


def _number(name: str, kind: str, data: dict[str, Any] | None = None) -> int | None:
    value = (data or {}).get("range")
    if isinstance(value, int) and not isinstance(value, bool) and 0 < value <= MAX_CLIPS:
        return value
    found = _NUMBERED.fullmatch(name.strip())
    return int(found.group(2)) if found and found.group(1) == kind else None


def _segments(ranges: list[_Range], narrations: dict[int, str], path: str) -> ReadBack:
    if not ranges:
        raise TimelineRefused(f"{path} has no range clip on its picture track; nothing to make a recap of")
    result = ReadBack()
    for item in ranges:
        check_span(f"range {item.number or '?'}", item.start, item.end, path)
        text = narrations.get(item.number) if item.number is not None else None
        if text is None:
            text = item.text or ""
            label = f"range {item.number}" if item.number is not None else f"a range at {item.start:.3f} s"
            result.notes.append(f"{label}: its narration clip was removed; the segment keeps the text its range "
                                f"clip remembers ({text[:40]!r}); edit or drop it in the segments file")
        result.segments.append({"start": round(item.start, 3), "end": round(item.end, 3), "voiceover": text})
    return result


# --- OTIO (and FCPXML through its adapter) ---------------------------------------


def _scalar(clip: Any, default: float, path: str) -> float:
    import opentimelineio as otio

    warps = [effect.time_scalar for effect in clip.effects if isinstance(effect, otio.schema.LinearTimeWarp)]
    scalar = default
    for warp in warps:
        scalar = warp if scalar is default else scalar * warp
    if not MIN_SCALAR <= scalar <= MAX_SCALAR:
        raise TimelineRefused(f"{path}: {clip.name} plays at {scalar!r} times its speed; a recap's clip plays "
                              f"at {MIN_SCALAR:g} to {MAX_SCALAR:g}")
    return float(scalar)


def _check_references(model: Any, folder: str, path: str) -> None:
    import opentimelineio as otio

    for clip in model.find_clips():
        reference = clip.media_reference
        if isinstance(reference, otio.schema.ExternalReference):
            check_media(reference.target_url or "", folder, path)


def _from_model(model: Any, path: str, speeds: dict[str, float] | None = None,
                notes_of: dict[str, str] | None = None) -> ReadBack:
    import opentimelineio as otio

    folder = os.path.dirname(os.path.abspath(path))
    clips = list(model.find_clips())
    check_clip_count(len(clips), path)
    _check_references(model, folder, path)
    default = float((model.metadata.get(METADATA) or {}).get("speed", 1.0) or 1.0)
    picture = next((track for track in model.tracks if track.kind == otio.schema.TrackKind.Video), None)
    if picture is None:
        raise TimelineRefused(f"{path} has no picture track")
    ranges = []
    for clip in picture.find_clips(shallow_search=True):
        data = dict(clip.metadata.get(METADATA) or {})
        number = _number(clip.name, "range", data)
        scalar = (speeds or {}).get(clip.name) or _scalar(clip, default, path)
        start = clip.source_range.start_time.to_seconds()
        end = start + clip.source_range.duration.to_seconds() * scalar
        remembered = data.get("narration")
        text = remembered if isinstance(remembered, str) else (notes_of or {}).get(clip.name)
        ranges.append(_Range(number, start, end, text))
    narrations: dict[int, str] = {}
    for track in model.tracks:
        if track.kind != otio.schema.TrackKind.Audio:
            continue
        for clip in track.find_clips(shallow_search=True):
            data = dict(clip.metadata.get(METADATA) or {})
            number = _number(clip.name, "narration", data)
            text = data.get("text") if isinstance(data.get("text"), str) else (notes_of or {}).get(clip.name)
            if number is not None and isinstance(text, str):
                narrations[number] = text
    return _segments(ranges, narrations, path)


def _read_otio(data: bytes, path: str) -> ReadBack:
    import opentimelineio as otio

    text = data.decode("utf-8", errors="replace")
    check_clip_count(text.count('"Clip.'), path)
    try:
        json.loads(text)  # refuses what is not JSON before OTIO's parser sees it
        model = otio.adapters.read_from_string(text, adapter_name="otio_json")
    except (ValueError, otio.exceptions.OTIOError) as error:
        raise TimelineRefused(f"{path} is not an OTIO timeline ({str(error).splitlines()[0][:120]})") from None
    if not isinstance(model, otio.schema.Timeline):
        raise TimelineRefused(f"{path} holds no timeline")
    return _from_model(model, path)


def _seconds(text: str | None) -> float:
    return float(Fraction((text or "0s").rstrip("s") or "0"))


def _read_fcpxml(data: bytes, path: str) -> ReadBack:
    import opentimelineio as otio

    root = parse_xml(data, path)
    speeds: dict[str, float] = {}
    for clip in root.iter("clip"):
        points = clip.findall("./timeMap/timept")
        if len(points) >= 2:
            spent = _seconds(points[-1].get("time")) - _seconds(points[0].get("time"))
            moved = _seconds(points[-1].get("value")) - _seconds(points[0].get("value"))
            if spent > 0:
                speeds[clip.get("name", "")] = moved / spent
    for name, scalar in speeds.items():
        if not MIN_SCALAR <= scalar <= MAX_SCALAR:
            raise TimelineRefused(f"{path}: {name} plays at {scalar!r} times its speed; refused")
    notes = {clip.get("name", ""): (clip.findtext("note") or "") for clip in root.iter("asset-clip")}
    from .fcpxml import adapter_quietly

    try:
        with adapter_quietly():
            model = otio.adapters.read_from_string(data.decode("utf-8"), adapter_name="fcpx_xml")
    except Exception as error:  # the adapter raises what its parser meets
        raise TimelineRefused(f"{path} is not an FCPXML timeline OTIO can read ({str(error)[:120]})") from None
    return _from_model(model, path, speeds, notes)


# --- Kdenlive / MLT ----------------------------------------------------------------


def _properties(element: Any) -> dict[str, str]:
    return {item.get("name", ""): item.text or "" for item in element.findall("property")}


def _read_kdenlive(data: bytes, path: str) -> ReadBack:
    root = parse_xml(data, path)
    folder = os.path.dirname(os.path.abspath(path))
    profile = root.find("profile")
    try:
        rate = Fraction(int(profile.get("frame_rate_num")), int(profile.get("frame_rate_den")))
        if not 0 < rate <= 1000:
            raise ValueError
    except (AttributeError, TypeError, ValueError, ZeroDivisionError):
        raise TimelineRefused(f"{path} has no usable profile frame rate") from None
    producers = {element.get("id", ""): _properties(element) for element in root.iter("producer")}
    check_clip_count(sum(1 for _ in root.iter("entry")), path)
    for properties in producers.values():
        for key in ("resource", "warp_resource"):
            resource = properties.get(key)
            if resource and not (key == "resource" and properties.get("mlt_service") == "timewarp"):
                check_media(resource, folder, path)
    tractor = next((element for element in root.iter("tractor") if element.find("track") is not None), None)
    if tractor is None:
        raise TimelineRefused(f"{path} has no tracks")
    playlists = {element.get("id", ""): element for element in root.iter("playlist")}
    tracks = [playlists.get(track.get("producer", "")) for track in tractor.findall("track")]
    picture = next((track for track, element in zip(tracks, tractor.findall("track"))
                    if track is not None and element.get("hide") not in ("video", "both")), None)
    if picture is None:
        raise TimelineRefused(f"{path} has no picture track")
    ranges = []
    for entry in picture.findall("entry"):
        properties = producers.get(entry.get("producer", ""), {})
        try:
            first, last = int(entry.get("in", "0")), int(entry.get("out", "-1"))
            speed = float(properties.get("warp_speed") or 1.0)
        except ValueError:
            raise TimelineRefused(f"{path}: a clip's in, out or speed is not a number") from None
        if not MIN_SCALAR <= speed <= MAX_SCALAR:
            raise TimelineRefused(f"{path}: a clip plays at {speed!r} times its speed; refused")
        name = properties.get("kdenlive:clipname", "")
        ranges.append(_Range(_number(name, "range"), float(first / rate) * speed, float((last + 1) / rate) * speed,
                             properties.get("vantor:narration")))
    narrations: dict[int, str] = {}
    for track in tracks:
        if track is None or track is picture:
            continue
        for entry in track.findall("entry"):
            properties = producers.get(entry.get("producer", ""), {})
            number = _number(properties.get("kdenlive:clipname", ""), "narration")
            if number is not None and "vantor:text" in properties:
                narrations[number] = properties["vantor:text"]
    return _segments(ranges, narrations, path)


_READERS = {".otio": _read_otio, ".fcpxml": _read_fcpxml, ".kdenlive": _read_kdenlive, ".mlt": _read_kdenlive}


def read_timeline(path: str) -> ReadBack:
    """The segments an edited timeline makes; TimelineRefused (one line) for
    a file that is not one, or holds what no recap's timeline holds."""
    reader = _READERS.get(os.path.splitext(path)[1].lower())
    if reader is None:
        raise TimelineRefused(f"{path}: read back .otio, .fcpxml or .kdenlive timelines (an EDL keeps no "
                              "narration; export OTIO beside it)")
    return reader(read_limited(path), path)
