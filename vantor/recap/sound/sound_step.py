"""The sound of a run, made within the engine's own encodes.

- The cut keeps the source's sound (the engine drops it with -an) and, with
  fit "extend", runs on past the range's end while the narration speaks
  (bounded by the video's end).
- The merge lays the narration over the source's sound, lowered while the
  narration speaks (the narration starts with the clip and its length is
  known: no compressor guesses it), and ends the clip at its range
  ("range"), at the longer of range and narration ("extend") or at the
  narration ("narration", the engine's own -shortest).
- The conversion's audio chain, after the speed change: the music bed
  (looped with a crossfade, ducked under the same narration times on the
  recap's timeline, faded out at the end) and one linear gain that brings
  the final mix to its loudness (measured with ebur128; true peak at most
  -1 dBTP).

The clips and the recap carry 48 kHz stereo AAC (the engine's carry the
narration alone), made with ffmpeg's fast AAC coder: its default one takes
twice the CPU for the same 128 kb/s (0.45 s against 0.21 s for 6.6 s of
stereo), paid in every merge and again in the conversion.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import re
import shutil
import subprocess
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from ..timeline.command import BASE, CutCommand
from ..engine.host import Shaper, restricted_inputs
from ..engine.outputs import OutputError
from ..checks.probe import UnreadableVideo
from ..checks.segments_check import parse_time, seconds_of
from ..engine.steps import Conversion, Cut, Merge
from ..timeline.timeline_plan import clip_stop

if TYPE_CHECKING:
    from ..timeline.join_step import RecapJoin
    from ..timeline.model import Timeline

__all__ = ["FIT_MODES", "SOURCE_AUDIO_MODES", "SoundChoice", "SoundPlan", "duck_expression", "music_names",
           "pick_music"]

SOURCE_AUDIO_MODES = ("off", "duck", "mix")
FIT_MODES = ("extend", "range", "narration")
DEFAULT_LOUDNESS = -16.0
DUCK_DB = -12.0  # the source and the music under a speaking narration
MIX_DB = -12.0  # the source all along, with source_audio "mix"
MUSIC_DB = -10.0  # the music bed between narrations, under the source's own level
DOWN_S, UP_S = 0.25, 0.5  # the duck's ramps: down before the words, up after them
FADE_OUT_S = 2.0
TRUE_PEAK = -1.0
MUSIC_SUFFIXES = (".mp3", ".wav", ".flac", ".ogg", ".oga", ".opus", ".m4a", ".aac")
# Demuxers a music file may be read with: named to the conversion's filter,
# so a crafted file cannot have ffmpeg probe it as a playlist that reaches out.
_MUSIC_FORMATS = {"mp3", "wav", "flac", "ogg", "mov", "aac", "matroska"}
_STEREO = "aresample=48000,aformat=channel_layouts=stereo"  # every sound mixed alike
_AAC = ["-c:a", "aac", "-aac_coder", "fast"]
_PEAK_ROOM = 0.1  # dB under the true-peak bound that a linear gain must leave
_LIMIT_ROOM = 2.0  # dB under the bound the limiter holds sample peaks (true peaks overshoot them)
_LONG_NARRATION_S = 0.05  # a narration this much past its clip's end loses words


def _gain(db: float) -> float:
    return 10 ** (db / 20)


@dataclass(frozen=True)
class SoundChoice:
    """What a run asks of its sound."""

    source_audio: str = "duck"
    music: str | None = None
    loudness: float = DEFAULT_LOUDNESS
    fit: str = "extend"

    def check(self) -> None:
        """ValueError, one line saying what to pass, for a choice that cannot work."""
        if self.source_audio not in SOURCE_AUDIO_MODES:
            raise ValueError(f"source audio {self.source_audio!r} is unknown; choose one of "
                             f"{', '.join(SOURCE_AUDIO_MODES)}")
        if self.fit not in FIT_MODES:
            raise ValueError(f"fit {self.fit!r} is unknown; choose one of {', '.join(FIT_MODES)}")
        if not (isinstance(self.loudness, (int, float)) and -70.0 <= self.loudness <= -5.0):
            raise ValueError(f"loudness {self.loudness!r} is out of range; pass LUFS between -70 and -5 (e.g. -16)")
        if self.music is not None:
            pick_music(self.music, "")


def music_names(folder: str) -> list[str]:
    """The names of the audio files in `folder` (MUSIC_SUFFIXES), in name order."""
    return sorted(n for n in os.listdir(folder) if n.lower().endswith(MUSIC_SUFFIXES)
                  and os.path.isfile(os.path.join(folder, n)))


def pick_music(path: str, key: str) -> str:
    """The music file: `path` itself, or from a folder the one that `key`
    (the run's segments) picks by its hash among the folder's audio files in
    name order, so the same recap always gets the same bed."""
    if os.path.isdir(path):
        names = music_names(path)
        if not names:
            raise ValueError(f"the music folder {path} holds no audio file ({' '.join(MUSIC_SUFFIXES)}); "
                             "add one or pass a file")
        index = int.from_bytes(hashlib.sha256(key.encode()).digest()[:8], "big") % len(names)
        return os.path.join(path, names[index])
    if not os.path.isfile(path):
        raise ValueError(f"the music {path} is not a file or folder; pass an audio file or a folder of them")
    return path


def duck_expression(windows: Sequence[tuple[float, float]], depth_db: float = DUCK_DB) -> str:
    """A volume expression of t: 1 outside the windows, `depth_db` inside,
    going down over DOWN_S before each window's start and back up over UP_S
    after its end."""
    if not windows:
        return "1"
    ramps = "+".join(f"clip((t-({s - DOWN_S:.4f}))/{DOWN_S},0,1)*clip(({e + UP_S:.4f}-t)/{UP_S},0,1)"
                     for s, e in windows)
    return f"1-{1 - _gain(depth_db):.5f}*clip({ramps},0,1)"


class SoundPlan(Shaper):
    """One run's sound. `segments()`: the run's segments (for the next
    range's start); `warn(line)`: a warning of the run."""

    MUSIC_NAME = "music"
    SOUND_PREFIX = "source_sound_"

    def __init__(self, choice: SoundChoice, speed: float, segments: Callable[[], Sequence[dict[str, object]]],
                 warn: Callable[[str], None], run_child: Callable[..., subprocess.CompletedProcess[Any]] | None = None
                 ) -> None:
        super().__init__()
        self.choice: SoundChoice = choice
        self._speed, self._segments, self._warn = speed, segments, warn
        # The loudness reading runs as the run's own child (cancellable), given by the run.
        self._run_child = run_child or (lambda argv, **kw: self.runner.run(restricted_inputs(argv), **kw))
        self._video_length: float | None = None
        self._source_sound: bool | None = None
        self._narrations: dict[int, float] = {}  # each segment's narration length
        self._lengths: dict[int, float] = {}  # each merged clip's planned length
        self._music: tuple[str, str, float] | None = None  # (bare name, demuxer, length)
        self._levelled: list[str] | None = None  # the final mix's filters after its loudness pass
        self._bed: str | None = None  # the music's graph

    # -- the cut ---------------------------------------------------------------

    def cut(self, step: Cut, command: CutCommand) -> CutCommand:
        if self._video_length is None:
            try:  # its length and whether it has sound: one read, its packets not counted
                source = self.media.facts(step.source, count_packets=False)
                self._video_length, self._source_sound = source.duration, source.audio_format is not None
            except UnreadableVideo:
                self._video_length, self._source_sound = math.inf, False
        start, end = parse_time(step.start), parse_time(step.end)
        if start is None or end is None:
            return command
        if self.keeps_source:  # the source's sound from the range's start itself, for the merge
            command = replace(command, sound_target=self.sound_file(os.path.dirname(step.target), step.index))
        voice = os.path.join(os.path.dirname(step.target), f"voice_{step.index}.mp3")
        try:
            spoken = self.media.narration_length(step.index, voice)
        except UnreadableVideo:
            return command
        self._narrations[step.index] = spoken
        fit, video_end = self.choice.fit, self._video_length
        if fit == "extend":
            stop = self._clip_stop(step.index, start, end, spoken, video_end)
            if stop < start + spoken - _LONG_NARRATION_S:
                self._warn(f"segment {step.index + 1}: the narration runs past the video's end; its last "
                           f"{start + spoken - stop:.1f} s are cut (shorten it or move the range earlier)")
            following = self._next_start(step.index)
            if following is not None and end <= following < stop - _LONG_NARRATION_S:
                self._warn(f"segment {step.index + 1}: its narration plays on to {stop:.1f} s, into the next "
                           f"range (from {following:g} s); shorten it or pass --fit range")
            if stop > end:
                command = replace(command, stop=f"{stop:.3f}")
            self._lengths[step.index] = stop - start
        elif fit == "range":
            if spoken > end - start + _LONG_NARRATION_S:
                self._warn(f"segment {step.index + 1}: the narration ({spoken:.1f} s) is longer than its range "
                           f"({end - start:.1f} s) and is cut; shorten it or pass --fit extend")
            self._lengths[step.index] = end - start
        return command

    def _clip_stop(self, index: int, start: float, end: float, spoken: float, video_end: float) -> float:
        """Where range `index`'s clip ends in the source: on the run's
        timeline (its exact frame, refined for this cut), or by the
        timeline's own rule where the run keeps none."""
        current = self.timeline.current if self.timeline is not None else None
        if current is not None and index < len(current.ranges):
            rng = current.range(index + 1)
            return rng.source_out if rng.fit == "extended" else min(end, video_end)
        return clip_stop(self.choice.fit, start, end, spoken, video_end)[0]

    def sound_file(self, folder: str, index: int) -> str:
        """The source's sound under range `index`, cut by its cut step beside its clip."""
        return os.path.join(folder, f"{self.SOUND_PREFIX}{index}.wav")

    @property
    def keeps_source(self) -> bool:
        return self.choice.source_audio != "off" and bool(self._source_sound)

    def _next_start(self, index: int) -> float | None:
        segments = list(self._segments())
        if index + 1 >= len(segments):
            return None
        return seconds_of(segments[index + 1].get("start"))

    # -- the merge -------------------------------------------------------------

    def merge(self, step: Merge, argv: list[Any]) -> list[Any]:
        spoken = self._narrations.get(step.index)
        length = self._lengths.get(step.index)
        if spoken is None or (not self.keeps_source and self.choice.fit == "narration"):
            return argv
        narration = f"[1:a]{_STEREO}" + ("" if self.choice.fit == "narration" else ",apad")
        if self.keeps_source:
            level = (f"volume='{duck_expression([(0.0, spoken)])}':eval=frame" if self.choice.source_audio == "duck"
                     else f"volume={_gain(MIX_DB):.5f}")
            # The source's length first for extend/range (the narration padded
            # with silence), the narration's for the engine's own fit.
            order = "[s][n]" if self.choice.fit != "narration" else "[n][s]"
            graph = (f"[2:a]{_STEREO},{level}[s];{narration}[n];"
                     f"{order}amix=inputs=2:duration=first:normalize=0[a]")
        else:
            graph = f"{narration}[a]"
        # The sound from the range's start (the conversion trims it with the picture, to the frame).
        tail = ["-shortest"] if self.choice.fit == "narration" or length is None else ["-t", f"{length:.3f}"]
        sound = ["-i", self.sound_file(os.path.dirname(step.clip), step.index)] if self.keeps_source else []
        return [*BASE, "-i", step.clip, "-i", step.narration, *sound, "-filter_complex", graph, "-map", "0:v",
                "-map", "[a]", "-c:v", "copy", *_AAC, *tail, step.target]

    # -- the conversion ----------------------------------------------------------

    def conversion(self, step: Conversion, join: RecapJoin) -> None:
        if self.choice.music is not None:
            # The software attempt after a failed hardware one reuses the graph and the reading.
            self._bed = self._bed or self._music_graph(join.timeline)
            join.music = self._bed
        if self._levelled is None:
            self._levelled = self._level(join)
        join.sound.set("level", *self._levelled)
        join.audio_codec = list(_AAC)

    def _level(self, join: RecapJoin) -> list[str]:
        """`chain` with one linear gain to the target loudness (what
        loudnorm's linear mode applies, without its resampling to 192 kHz
        and back). Where that gain would lift the true peak past its bound,
        the gain comes first and a limiter holds the peaks a little under
        the bound, measured again; the last correction never lifts the true
        peak past the bound."""
        chain: list[str] = []
        i, peak = self._measure(join, chain)
        gain = self.choice.loudness - i
        if math.isfinite(peak) and i > -70.0 and peak + gain > TRUE_PEAK - _PEAK_ROOM:
            chain = [f"volume={gain:.2f}dB", f"alimiter=limit={_gain(TRUE_PEAK - _LIMIT_ROOM):.4f}:"
                     "level=false:latency=true"]
            i, peak = self._measure(join, chain)
        if not math.isfinite(peak) or i <= -70.0:  # silence: left as it is
            return [*chain, _STEREO]
        gain = min(self.choice.loudness - i, TRUE_PEAK - _PEAK_ROOM - peak)
        return [*chain, f"volume={gain:.2f}dB", _STEREO]

    def _measure(self, join: RecapJoin, chain: Sequence[str]) -> tuple[float, float]:
        """The final mix's integrated loudness and true peak as the standard
        meter (ebur128) reads them, for the one linear gain: loudnorm's own
        single pass, and its own reading, miss short recaps by more than half
        a LU. The audio alone, decoded and measured, not encoded (about
        0.15 s of CPU for a 10 s recap, most of it ffmpeg's start)."""
        done = self._run_child(join.sound_measure([*chain, "ebur128=peak=true"]), cwd=self.work_dir)
        stderr = done.stderr.decode(errors="replace") if isinstance(done.stderr, bytes) else str(done.stderr or "")
        summary = stderr[stderr.rfind("Summary:"):]
        found = {key: re.search(rf"{key}:\s+(-?[\d.]+|-inf)", summary) for key in ("I", "Peak")}
        if done.returncode != 0 or "Summary:" not in stderr or not all(found.values()):
            raise OutputError("the recap's sound could not be measured for its loudness: "
                              f"{(stderr.strip().splitlines() or ['no output'])[-1]}")
        i, peak = (float(m.group(1)) for m in found.values() if m is not None)
        return i, peak

    def _music_graph(self, timeline: Timeline) -> str:
        """The music on the recap's timeline, ducked under each narration."""
        total = timeline.duration
        windows = [(rng.recap_in, min(rng.narration.start + rng.narration.length, rng.recap_out))
                   for rng in timeline.ranges if rng.narration is not None]
        name, demuxer, length = self._music_file()
        crossfade = min(1.0, length / 4)
        copies = 1 if length >= total else 1 + math.ceil((total - length) / (length - crossfade))
        sources = [f"amovie={name}:f={demuxer},{_STEREO}[c{i}]"
                   for i in range(copies)]
        joined, last = list(sources), "c0"
        for i in range(1, copies):
            joined.append(f"[{last}][c{i}]acrossfade=d={crossfade:.3f}[x{i}]")
            last = f"x{i}"
        fade = max(0.0, total - FADE_OUT_S)
        return (";".join(joined) + f";[{last}]atrim=0:{total:.3f},volume={_gain(MUSIC_DB):.5f},"
                f"volume='{duck_expression(windows)}':eval=frame,afade=t=out:st={fade:.3f}:d={total - fade:.3f}")

    def _music_file(self) -> tuple[str, str, float]:
        """The music copied into the working folder under a bare name (the
        filter names it), its demuxer, its length."""
        if self._music is None:
            assert self.work_dir is not None and self.choice.music is not None
            source = pick_music(self.choice.music, json.dumps(list(self._segments()), sort_keys=True, default=str))
            try:
                found = self.media.facts(source, count_packets=False)
            except UnreadableVideo:
                found = None
            if found is None or found.audio_format not in _MUSIC_FORMATS:
                raise OutputError(f"the music {source} is not an audio file ffmpeg reads here "
                                  f"(mp3, wav, flac, ogg, m4a); convert it or choose another")
            demuxer, length = str(found.audio_format), found.duration
            if not math.isfinite(length):
                raise OutputError(f"the music {source} cannot be read: it states no duration")
            if length < 2.0:
                raise OutputError(f"the music {source} is {length:.1f} s long; use a bed of at least 2 s")
            shutil.copyfile(source, os.path.join(self.work_dir, self.MUSIC_NAME))
            self._music = (self.MUSIC_NAME, demuxer, length)
        return self._music

    def close(self) -> None:
        """The music's copy and the source's sound of each range are scratch: removed."""
        if self.work_dir is None:
            return
        for name in os.listdir(self.work_dir):
            if name == self.MUSIC_NAME or (name.startswith(self.SOUND_PREFIX) and name.endswith(".wav")):
                os.remove(os.path.join(self.work_dir, name))
