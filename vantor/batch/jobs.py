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

The "frame" "centre" is "center". Blank lines and lines starting with "#" are skipped. Relative paths are
taken relative to the jobs file's directory, so a jobs file can travel with
its segments files. Reading stops at nothing: every bad line is reported.
A speed below 0.5 is refused here, before anything runs: ffmpeg's atempo
cannot slow the narration further, so the recap would fail at its last step.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field

from ..interchange import parse_formats
from ..recap.captions.cues import CAPTION_MODES, CAPTION_STYLES
from ..recap.engine.options import OptionError, RecapSpec
from ..services.voices import DEFAULT_VOICE

__all__ = ["Job", "JobsFileError", "load_jobs", "job_from_mapping"]

_PLACES: tuple[str, ...] = ("url", "segments", "output_dir")
# The recap's own options a line may hold, by the names RecapSpec gives them
# (see vantor recap --voice, --speed, --captions, --caption-style, --frame,
# --source-audio ...); every one is optional.
_OPTIONS: tuple[str, ...] = ("voice", "speed", "captions", "caption_style", "caption_position", "caption_size",
                             "frame", "aspect", "source_audio", "music", "loudness", "fit")
# Timelines for an editor beside the recap (see vantor recap --timeline): "otio,kdenlive" or a list.
_OUTPUTS: tuple[str, ...] = ("timeline",)


class JobsFileError(ValueError):
    """The jobs file cannot be used; the message lists every bad line."""


@dataclass(frozen=True)
class Job:
    url: str
    segments: str  # absolute path
    output_dir: str  # absolute path
    spec: RecapSpec = field(default_factory=RecapSpec)  # the recap's options (music as an absolute path)
    line: int = 0  # 1-based line in the jobs file; 0 when built in Python
    timeline: tuple[str, ...] = ()  # the editors' formats written beside the recap (`vantor.interchange.FORMATS`)

    @property
    def name(self) -> str:
        return f"line {self.line}" if self.line else os.path.basename(self.output_dir) or self.output_dir


def _worded(error: OptionError) -> str:
    """A refusal of the recap's options as a jobs line's members name them."""
    if error.option == "speed":
        return f"'speed': {error.reason}"
    if error.option == "captions":
        return f"'captions' must be one of {', '.join(map(repr, CAPTION_MODES))}, not {error.value!r}"
    if error.option == "caption_style":
        return (f"'caption_style' must be one of {', '.join(map(repr, CAPTION_STYLES))}, with 'captions'; "
                f"not {error.value!r}")
    if error.option in ("caption_position", "caption_size"):
        if error.needs:
            return "'caption_position'/'caption_size' place captions; add 'captions': 'burn'"
        return f"'caption_position'/'caption_size': {error.reason}"
    if error.option in ("frame", "aspect"):
        return f"'frame'/'aspect': {error.reason}"
    if error.option == "loudness":
        return f"'loudness' must be a number of LUFS, not {error.value!r}"
    return error.reason


def job_from_mapping(data: object, base_dir: str, line: int = 0) -> Job:
    """A Job from one decoded line; ValueError naming what is wrong."""
    if not isinstance(data, dict):
        raise ValueError(f"must be a JSON object, not {type(data).__name__}")
    missing = [name for name in _PLACES if name not in data]
    music = data.get("music")
    if music is not None and (not isinstance(music, str) or not music):
        raise ValueError("'music' must be a non-empty string (a file or folder)")
    if missing:
        raise ValueError("missing " + ", ".join(repr(name) for name in missing))
    unknown = sorted(set(data) - set(_PLACES) - set(_OPTIONS) - set(_OUTPUTS))
    if unknown:
        raise ValueError("unknown member " + ", ".join(repr(name) for name in unknown))
    for name in (*_PLACES, "voice"):
        if name in data and (not isinstance(data[name], str) or not data[name]):
            raise ValueError(f"{name!r} must be a non-empty string")
    options = {name: data[name] for name in _OPTIONS if name in data}
    if music is not None:
        options["music"] = os.path.abspath(os.path.join(base_dir, music))
    for name in ("source_audio", "fit"):  # named in the refusal as given
        if name in options:
            options[name] = str(options[name])
    try:
        spec = RecapSpec(**{"voice": DEFAULT_VOICE, **options})
    except OptionError as error:
        raise ValueError(_worded(error)) from None
    timeline = data.get("timeline")
    if timeline is not None and not isinstance(timeline, (str, list)):
        raise ValueError(f"'timeline' must name formats, such as \"otio,kdenlive\", not {timeline!r}")
    try:
        formats = parse_formats(timeline)
    except ValueError as error:
        raise ValueError(f"'timeline': {error}") from None
    return Job(url=data["url"], segments=os.path.abspath(os.path.join(base_dir, data["segments"])),
               output_dir=os.path.abspath(os.path.join(base_dir, data["output_dir"])), spec=spec, line=line,
               timeline=formats)


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
