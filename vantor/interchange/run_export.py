"""A run's timeline export: the film from the download service's cache (the
same file the recap was cut from), each narration's sound from the speech
service's cache, the run's timeline (or its plan, `planned`), written by
`export`."""

from __future__ import annotations

import json
import math
import os
import tempfile
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..recap.captions.emphasis import spoken_text
from ..recap.sound.sound_step import pick_music
from .export import Exported, export_timeline
from .planned import for_editor, planned_timeline, source_picture

if TYPE_CHECKING:
    from ..recap.fit.fit_report import SegmentFit
    from ..recap.engine.options import RecapSpec
    from ..recap.timeline.model import Timeline
    from ..services import LocalServices

__all__ = ["ExportRequest", "export_run"]


def _film(services: LocalServices, url: str, folder: str, say: Callable[[str], None]) -> str:
    """The downloaded film: the cache's own file when the services run in
    this process, else fetched whole into `folder`."""
    from ..services.client import fetch_file

    shown = [-1]

    def progress(step: object) -> None:
        per_mille = int(getattr(step, "per_mille", 0) or 0)
        if per_mille // 100 != shown[0]:
            shown[0] = per_mille // 100
            say(f"  downloading the source film: {per_mille / 10:.0f}%")

    address = services.client.download(url, on_progress=progress)
    if address is None:
        raise RuntimeError("the download was stopped")
    cached = services.local_file(address)
    if cached is not None:
        return str(cached)
    target = os.path.join(folder, "source.mp4")
    fetch_file(address, target)
    return target


@dataclass(frozen=True)
class ExportRequest:
    """What the export needs of a run, as `vantor recap` and a batch job hold it."""

    segments: Sequence[Mapping[str, object]]
    final_name: str  # the recap's file name: its stem names the timelines
    output_dir: str
    spec: RecapSpec  # the recap's options
    formats: Sequence[str]


def export_run(run: ExportRequest, services: LocalServices, url: str, fits: Sequence[SegmentFit] | None,
               say: Callable[[str], None], timeline: Timeline | None = None) -> Exported:
    """Writes the timelines of `run` beside its recap's name: `timeline`,
    the run's own (`EngineRun.timeline`), else the one its planner gives
    the film (`--timeline-only`)."""
    if not run.segments:
        raise RuntimeError("the timeline needs the checked segments; drop --no-check")
    if fits is None:
        from ..recap.fit.fit_report import fit_report

        fits = fit_report(run.segments, run.spec.voice, services,
                          mode=run.spec.sound.fit if run.spec.sound else "narration")
    name = os.path.splitext(run.final_name)[0]
    sound = run.spec.sound
    with tempfile.TemporaryDirectory(prefix=".vantor-timeline-", dir=run.output_dir or ".") as scratch:
        film = _film(services, url, scratch, say)
        source = source_picture(film)
        if timeline is None:
            timeline = planned_timeline(run.segments, fits, source, run.spec, say)
        music = (pick_music(sound.music, json.dumps(list(run.segments), sort_keys=True, default=str))
                 if sound is not None and sound.music else None)
        timeline = for_editor(timeline, film, fits, music, run.spec)

        def audio(number: int) -> bytes:
            text = spoken_text(str(run.segments[number - 1]["voiceover"]))
            return services.client.narration_audio(text, run.spec.voice)

        return export_timeline(timeline, run.output_dir or ".", name, run.formats, audio,
                               film_length=source.duration if math.isfinite(source.duration) else None,
                               on_step=say)
