"""The timeline an export writes: the run's own (`EngineRun.timeline`)
after a recap, else (`--timeline-only`) the run's planner on the probed
film with the run's framing, so both give the same ranges, crops and
narration places. `for_editor` adds what the run's timeline leaves to the
conversion's filters: the duck as keys, the music bed, the words where the
run did not know them."""

from __future__ import annotations

import subprocess
from collections.abc import Callable, Mapping, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, Any

from ..recap.captions.emphasis import spoken_text
from ..recap.framing.modes import ASPECTS
from ..recap.sound.sound_step import DOWN_S, DUCK_DB, FADE_OUT_S, MUSIC_DB, UP_S
from ..recap.timeline.model import Music, SoundBed, Timeline
from ..recap.timeline.timeline_plan import SourcePicture, placed_words, plan_timeline, probe_source, range_bounds

if TYPE_CHECKING:
    from ..recap.fit.fit_report import SegmentFit
    from ..recap.framing.frame_step import FramePlan
    from ..recap.engine.options import RecapSpec

__all__ = ["duck_keys", "for_editor", "planned_timeline", "source_picture"]


def source_picture(path: str) -> SourcePicture:
    """The film's picture as the run's planner reads it (ffprobe on a local file only)."""
    from ..recap.engine.host import restricted_inputs
    from ..runner import Runner

    runner = Runner()

    def run(argv: Sequence[Any], captured: bool = True) -> subprocess.CompletedProcess[Any]:
        return runner.run(restricted_inputs(argv), capture=captured)

    return probe_source(path, run)


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


def _framing(spec: RecapSpec, segments: Sequence[Mapping[str, object]], say: Callable[[str], None]) -> FramePlan:
    from ..recap.framing.frame_step import FramePlan

    if spec.plain:  # the engine's own centre crop to 9:16
        return FramePlan("center", "9:16", say=say)
    return FramePlan(spec.frame, spec.aspect, say=say, range_frames=lambda: [s.get("frame") for s in segments])


def planned_timeline(segments: Sequence[Mapping[str, object]], fits: Sequence[SegmentFit], source: SourcePicture,
                     spec: RecapSpec, say: Callable[[str], None] = lambda line: None) -> Timeline:
    """The timeline a recap of `segments` would have, without rendering it:
    the run's planner with each narration's timing (as a run holds them,
    else its measured length), then the run's
    framing (a smart one analyses each range, as the run does)."""
    bounds = [range_bounds(dict(segment)) for segment in segments]
    checked = [b for b in bounds if b is not None]
    if len(checked) != len(segments):
        raise ValueError("a segment's range is not two times; run vantor check first")
    sound = spec.sound
    timeline = plan_timeline(source, checked, speed=spec.speed, fit=sound.fit if sound is not None else "narration",
                             texts=[spoken_text(str(s["voiceover"])) for s in segments],
                             timings=[fit.timing for fit in fits],
                             spoken=[None if fit.timing is not None else fit.narration_length for fit in fits],
                             picture=ASPECTS["9:16" if spec.plain else spec.aspect],
                             sound=SoundBed(sound.source_audio if sound is not None else "off"))
    if spec.frame == "smart" and not spec.plain:
        say("  following each range's subject for the crop")
    return _framing(spec, segments, say).framed(timeline)


def for_editor(timeline: Timeline, film: str, fits: Sequence[SegmentFit] | None, music: str | None,
               spec: RecapSpec) -> Timeline:
    """A run's timeline as the writers need it: its source the film the
    export places (the run's working copy is gone), the duck as keys under
    each narration's place and the music bed (the run has them only as
    filters), each narration's words from its timing where the run had none,
    and the engine's centre crop where the run kept the engine's picture."""
    ranges = []
    for index, rng in enumerate(timeline.ranges):
        spoken = rng.narration
        timing = fits[index].timing if fits is not None and index < len(fits) else None
        if spoken is not None and not spoken.words and timing is not None:
            rng = replace(rng, narration=replace(spoken, words=placed_words(timing, rng, spoken.start,
                                                                            timeline.speed)))
        ranges.append(rng)
    source = timeline.sound.source
    windows = [(max(rng.recap_in, rng.narration.start), min(rng.recap_out, rng.narration.start + rng.narration.length))
               for rng in ranges if rng.narration is not None and rng.narration.length > 0]
    duck = timeline.sound.duck or (duck_keys(windows, 10 ** (DUCK_DB / 20)) if source == "duck" else ())
    bed = SoundBed(source, duck, Music(music, MUSIC_DB, FADE_OUT_S) if music else timeline.sound.music)
    made = replace(timeline, source=film, ranges=tuple(ranges), sound=bed)
    if spec.plain and not any(rng.crop for rng in made.ranges):
        made = _framing(spec, (), lambda line: None).framed(made)
    return made
