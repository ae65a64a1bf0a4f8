"""The recap as FCPXML: OTIO's FCP X adapter writes the clips, their in
points and lengths; what it drops is added here in FCPXML's own terms: the
speed as each range's time map, the crop as keyframed position and scale,
the duck as keyframed volume, and the captions as caption clips."""

from __future__ import annotations

import math
import warnings
import xml.etree.ElementTree as ET
from fractions import Fraction

import opentimelineio as otio

from ..recap.timeline.model import RangeTime, Timeline
from .kdenlive import SILENT_DB, gain_at

__all__ = ["adapter_quietly", "write_fcpxml"]


def adapter_quietly() -> warnings.catch_warnings[None]:
    """The FCP X adapter tests elements for truth, which Python 3.13 warns
    of; its warnings are no user's business."""
    return warnings.catch_warnings(action="ignore", category=DeprecationWarning)


def _seconds(value: float, timeline: Timeline) -> str:
    """A time as FCPXML writes it: a whole number of frames over the rate."""
    numerator, denominator = timeline.frame_rate
    frames = round(value * numerator / denominator)
    exact = Fraction(frames * denominator, numerator)
    return f"{exact.numerator}/{exact.denominator}s" if exact.denominator != 1 else f"{exact.numerator}s"


def _db(gain: float) -> str:
    return f"{20 * math.log10(gain) if gain > 0 else SILENT_DB:.2f}dB"


def _transform(clip: ET.Element, item: RangeTime, timeline: Timeline) -> None:
    """The crop window filling the frame: FCP conforms the picture to fit the
    frame's width, then this scale and position (in percent of the frame's
    height from its centre) move the window into place."""
    if not item.crop:
        return
    fit = timeline.width / timeline.source_width
    transform = ET.SubElement(clip, "adjust-transform")
    position = ET.SubElement(ET.SubElement(transform, "param", name="position"), "keyframeAnimation")
    scale = ET.SubElement(ET.SubElement(transform, "param", name="scale"), "keyframeAnimation")
    for key in item.crop:
        factor = timeline.width / key.width
        centre_x = key.x + key.width / 2 - timeline.source_width / 2
        centre_y = key.y + key.height / 2 - timeline.source_height / 2
        at = _seconds(key.time / timeline.speed, timeline)
        ET.SubElement(position, "keyframe", time=at,
                      value=f"{-centre_x * factor / timeline.height * 100:.4f} {centre_y * factor / timeline.height * 100:.4f}")
        ET.SubElement(scale, "keyframe", time=at, value=f"{factor / fit:.5f} {factor / fit:.5f}")


def _volume(clip: ET.Element, item: RangeTime, timeline: Timeline) -> None:
    keys = timeline.sound.duck
    if timeline.sound.source == "off":
        ET.SubElement(clip, "adjust-volume", amount=f"{SILENT_DB:.0f}dB")
        return
    if not keys:
        return
    times = [item.recap_in, *(t for t, _ in keys if item.recap_in < t < item.recap_out), item.recap_out]
    animation = ET.SubElement(ET.SubElement(ET.SubElement(clip, "adjust-volume"), "param", name="amount"),
                              "keyframeAnimation")
    for time in times:
        ET.SubElement(animation, "keyframe", time=_seconds(time - item.recap_in, timeline),
                      value=_db(gain_at(keys, time)))


def _time_map(clip: ET.Element, item: RangeTime, timeline: Timeline) -> None:
    if timeline.speed == 1.0:
        return
    start = float(Fraction(clip.get("start", "0s").rstrip("s") or "0"))
    mapping = ET.Element("timeMap")
    ET.SubElement(mapping, "timept", time=_seconds(start, timeline), value=_seconds(start, timeline), interp="linear")
    ET.SubElement(mapping, "timept", time=_seconds(start + item.recap_length, timeline),
                  value=_seconds(start + item.recap_length * timeline.speed, timeline), interp="linear")
    clip.insert(0, mapping)


def _captions(spine_clip: ET.Element, item: RangeTime, timeline: Timeline, style: list[bool]) -> None:
    spoken = item.narration
    if spoken is None or not spoken.words:
        return
    start = float(Fraction(spine_clip.get("start", "0s").rstrip("s") or "0"))
    for word in spoken.words:
        caption = ET.SubElement(spine_clip, "caption", lane="1", role="SRT?captionFormat=SRT.en",
                                name=word.text, offset=_seconds(start + word.start - item.recap_in, timeline),
                                duration=_seconds(max(word.end - word.start, 0.04), timeline))
        text = ET.SubElement(caption, "text")
        ET.SubElement(text, "text-style", ref="captions").text = word.text
        if not style[0]:
            definition = ET.SubElement(caption, "text-style-def", id="captions")
            ET.SubElement(definition, "text-style", font="Helvetica", fontSize="60", fontColor="1 1 1 1")
            style[0] = True


def write_fcpxml(timeline: Timeline, model: otio.schema.Timeline, path: str) -> None:
    """`model` (`otio_build.otio_timeline` of `timeline`) written as FCPXML
    by the adapter, then completed."""
    with adapter_quietly():
        text = otio.adapters.write_to_string(model, adapter_name="fcpx_xml")
    root = ET.fromstring(text.replace("<!DOCTYPE fcpxml>", ""))
    by_name = {item.name: item for item in timeline.ranges}
    styled = [False]
    spine = root.find("./project/sequence/spine")
    for clip in spine if spine is not None else ():
        item = by_name.get(clip.get("name", ""))
        if item is None:
            continue
        _time_map(clip, item, timeline)
        _transform(clip, item, timeline)
        _volume(clip, item, timeline)
        _captions(clip, item, timeline, styled)
    ET.indent(root)
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE fcpxml>\n')
        f.write(ET.tostring(root, encoding="unicode"))
        f.write("\n")
