"""Writing the recap's timeline for an editor: NAME.media/ first, then
NAME.<ext> for each format asked for, every path in them relative."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import opentimelineio as otio

from ..recap.timeline.model import Timeline
from . import FORMATS
from .fcpxml import write_fcpxml
from .kdenlive import kdenlive_project
from .media import media_folder_name, write_media
from .otio_build import VIDEO_TRACK, otio_timeline

__all__ = ["Exported", "export_timeline"]


@dataclass(frozen=True)
class Exported:
    timelines: tuple[str, ...]  # NAME.<ext>, in the order asked
    media: str  # NAME.media/
    film: str  # "linked" or "copied"


def _edl(model: otio.schema.Timeline, path: str) -> None:
    """The picture track alone: an EDL holds one track of cuts (the sound
    and narrations are in the other formats; the captions in NAME.media/)."""
    picture = otio.schema.Timeline(name=model.name, global_start_time=model.global_start_time,
                                   metadata=model.metadata)
    for track in model.tracks:
        if track.name == VIDEO_TRACK:
            picture.tracks.append(track.deepcopy())
    otio.adapters.write_to_file(picture, path, adapter_name="cmx_3600")


def export_timeline(timeline: Timeline, directory: str, name: str, formats: Sequence[str],
                    narration_audio: Callable[[int], bytes | None], *, film_length: float | None = None,
                    on_step: Callable[[str], None] = lambda line: None) -> Exported:
    """Writes NAME.media/ and each format's NAME.<ext> in `directory`."""
    on_step(f"vantor: writing the timeline for an editor ({', '.join(formats)})")
    placed, how = write_media(timeline, directory, name, narration_audio, on_step)
    model = otio_timeline(placed, directory, name, film_length)
    written = []
    for chosen in formats:
        path = os.path.join(directory, name + FORMATS[chosen])
        if chosen == "otio":
            otio.adapters.write_to_file(model, path, adapter_name="otio_json")
        elif chosen == "edl":
            _edl(model, path)
        elif chosen == "fcpxml":
            write_fcpxml(placed, model, path)
        else:
            kdenlive_project(placed, path)
        if not os.path.getsize(path):
            raise RuntimeError(f"the {chosen} timeline {path} came out empty")
        on_step(f"  {os.path.basename(path)} written")
        written.append(path)
    return Exported(tuple(written), os.path.join(directory, media_folder_name(name)), how)
