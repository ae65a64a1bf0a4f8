"""The jobs file: one recap per line, as a JSON object.

    {"url": ..., "segments": ..., "output_dir": ..., "voice": "en-US-GuyNeural", "speed": 1.0,
     "captions": "files" | "burn" | "track",   (optional: none without it)
     "frame": "smart" | "center" | "blur" | "fit", "aspect": "9:16" | "4:5" | "1:1" | "16:9"}
                                               (optional: smart, 9:16)

with "captions" optionally "caption_style", "caption_position" and
"caption_size" (as `vantor recap --caption-style` and so on take them),
and optionally the sound, as `vantor recap` takes it: "source_audio" (duck,
mix, off), "music" (a file or folder, relative to the jobs file),
"loudness" (LUFS), "fit" (extend, range, narration); and "timeline"
(formats for a video editor, as `vantor recap --timeline` takes them).

Blank lines and lines starting with "#" are skipped. Relative paths are
taken relative to the jobs file's directory, so a jobs file can travel with
its segments files. Reading stops at nothing: every bad line is reported.
A speed below 0.5 is refused here, before anything runs: ffmpeg's atempo
cannot slow the narration further, so the recap would fail at its last step.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

from ..interchange import parse_formats
from ..recap.caption_layout import DEFAULT_POSITION, DEFAULT_SIZE, CaptionLook, caption_look
from ..recap.captions import CAPTION_MODES, CAPTION_STYLES
from ..recap.framing import DEFAULT_ASPECT, DEFAULT_FRAME, check_framing
from ..recap.preflight import PreflightError, check_speed
from ..recap.sound_step import DEFAULT_LOUDNESS, SoundChoice
from ..services.voices import DEFAULT_VOICE

__all__ = ["Job", "JobsFileError", "load_jobs", "job_from_mapping"]

_FIELDS: tuple[str, ...] = ("url", "segments", "voice", "speed", "output_dir", "captions")
_OPTIONAL: tuple[str, ...] = ("speed", "captions", "voice")
# Caption styles (see vantor recap --caption-style, --caption-position, --caption-size).
_FIELDS += ("caption_style", "caption_position", "caption_size")
_OPTIONAL += ("caption_style", "caption_position", "caption_size")
# Framing (see vantor recap --frame, --aspect).
_FIELDS += ("frame", "aspect")
_OPTIONAL += ("frame", "aspect")
# Timelines for an editor beside the recap (see vantor recap --timeline): "otio,kdenlive" or a list.
_FIELDS += ("timeline",)
_OPTIONAL += ("timeline",)
# The sound (see vantor recap --source-audio, --music, --loudness, --fit).
_SOUND_FIELDS = ("source_audio", "music", "loudness", "fit")


class JobsFileError(ValueError):
    """The jobs file cannot be used; the message lists every bad line."""


@dataclass(frozen=True)
class Job:
    url: str
    segments: str  # absolute path
    voice: str
    speed: float
    output_dir: str  # absolute path
    line: int = 0  # 1-based line in the jobs file; 0 when built in Python
    captions: str | None = None  # None or one of `vantor.recap.captions.CAPTION_MODES`
    caption_style: str | None = None  # None ("clean") or one of `vantor.recap.captions.CAPTION_STYLES`
    caption_position: str = "bottom"  # one of `vantor.recap.caption_layout.CAPTION_POSITIONS`
    caption_size: str = "medium"  # as `vantor.recap.caption_layout.check_caption_size` keeps it
    frame: str = DEFAULT_FRAME  # one of `vantor.recap.framing.FRAME_MODES`
    aspect: str = DEFAULT_ASPECT  # one of `vantor.recap.framing.ASPECTS`
    # The sound (`vantor.recap.sound_step.SoundChoice`).
    source_audio: str = "duck"
    music: str | None = None  # absolute path
    loudness: float = DEFAULT_LOUDNESS
    fit: str = "extend"
    timeline: tuple[str, ...] = ()  # the editors' formats written beside the recap (`vantor.interchange.FORMATS`)

    @property
    def sound(self) -> SoundChoice:
        return SoundChoice(self.source_audio, self.music, self.loudness, self.fit)

    @property
    def name(self) -> str:
        return f"line {self.line}" if self.line else os.path.basename(self.output_dir) or self.output_dir


def job_from_mapping(data: object, base_dir: str, line: int = 0) -> Job:
    """A Job from one decoded line; ValueError naming what is wrong."""
    if not isinstance(data, dict):
        raise ValueError(f"must be a JSON object, not {type(data).__name__}")
    missing = [field for field in _FIELDS if field not in data and field not in _OPTIONAL]
    sound = _sound(data, base_dir)
    if missing:
        raise ValueError("missing " + ", ".join(repr(field) for field in missing))
    unknown = sorted(set(data) - set(_FIELDS) - set(_SOUND_FIELDS))
    if unknown:
        raise ValueError("unknown member " + ", ".join(repr(name) for name in unknown))
    data = {"voice": DEFAULT_VOICE, **data}
    for field in ("url", "segments", "voice", "output_dir"):
        if not isinstance(data[field], str) or not data[field]:
            raise ValueError(f"{field!r} must be a non-empty string")
    try:
        speed = check_speed(data.get("speed", 1.0))  # the one rule `vantor recap` applies too
    except PreflightError as error:
        raise ValueError(f"'speed': {error}") from None
    captions = data.get("captions")
    if captions is not None and captions not in CAPTION_MODES:
        raise ValueError(f"'captions' must be one of {', '.join(map(repr, CAPTION_MODES))}, not {captions!r}")
    style = data.get("caption_style")
    if style is not None and (style not in CAPTION_STYLES or captions is None):
        raise ValueError(f"'caption_style' must be one of {', '.join(map(repr, CAPTION_STYLES))}, with 'captions'; "
                         f"not {style!r}")
    try:
        look = caption_look(style or "clean", data.get("caption_position", DEFAULT_POSITION),
                            data.get("caption_size", DEFAULT_SIZE))
    except ValueError as error:
        raise ValueError(f"'caption_position'/'caption_size': {error}") from None
    if captions is None and look != CaptionLook():
        raise ValueError("'caption_position'/'caption_size' place captions; add 'captions': 'burn'")
    try:
        frame, aspect = check_framing(data.get("frame", DEFAULT_FRAME), data.get("aspect", DEFAULT_ASPECT))
    except ValueError as error:
        raise ValueError(f"'frame'/'aspect': {error}") from None
    timeline = data.get("timeline")
    if timeline is not None and not isinstance(timeline, (str, list)):
        raise ValueError(f"'timeline' must name formats, such as \"otio,kdenlive\", not {timeline!r}")
    try:
        formats = parse_formats(timeline)
    except ValueError as error:
        raise ValueError(f"'timeline': {error}") from None
    return Job(
        url=data["url"],
        segments=os.path.abspath(os.path.join(base_dir, data["segments"])),
        voice=data["voice"],
        speed=speed,
        output_dir=os.path.abspath(os.path.join(base_dir, data["output_dir"])),
        line=line,
        captions=captions,
        caption_style=style, caption_position=look.position, caption_size=look.size,
        frame=frame, aspect=aspect,
        source_audio=sound.source_audio, music=sound.music, loudness=sound.loudness, fit=sound.fit,
        timeline=formats,
    )


def _sound(data: dict[str, object], base_dir: str) -> SoundChoice:
    music, loudness = data.get("music"), data.get("loudness", DEFAULT_LOUDNESS)
    if music is not None and (not isinstance(music, str) or not music):
        raise ValueError("'music' must be a non-empty string (a file or folder)")
    if isinstance(loudness, bool) or not isinstance(loudness, (int, float)):
        raise ValueError(f"'loudness' must be a number of LUFS, not {loudness!r}")
    music_path = None if music is None else os.path.abspath(os.path.join(base_dir, music))
    choice = SoundChoice(str(data.get("source_audio", "duck")), music_path, float(loudness),
                         str(data.get("fit", "extend")))
    choice.check()
    return choice


def load_jobs(path: str | os.PathLike[str]) -> list[Job]:
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise JobsFileError(f"{path}: cannot read: {error}") from None
    base_dir = os.path.dirname(os.path.abspath(path))
    jobs: list[Job] = []
    problems: list[str] = []
    for number, text in enumerate(lines, start=1):
        if not text.strip() or text.lstrip().startswith("#"):
            continue
        try:
            jobs.append(job_from_mapping(json.loads(text), base_dir, number))
        except ValueError as error:  # JSONDecodeError is one
            problems.append(f"{path}:{number}: {error}")
    if problems:
        raise JobsFileError("\n".join(problems))
    if not jobs:
        raise JobsFileError(f"{path}: no jobs")
    return jobs
