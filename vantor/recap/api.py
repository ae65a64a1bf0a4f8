"""`vantor.make_recap`: a recap from Python, with the command line's checks.

`vantor.run_recap` is the engine's own function and takes exactly what it
takes; this one accepts paths and in-memory segments, refuses bad arguments
before any download, and answers with a `RecapResult`.
"""

from __future__ import annotations

import dataclasses
import json
import os
import sys
import tempfile
from collections.abc import Mapping, Sequence
from collections.abc import Callable
from typing import TYPE_CHECKING, TextIO

from .engine.checked_run import RecapResult, execute, prepare
from .framing.modes import DEFAULT_ASPECT, DEFAULT_FRAME
from .engine.options import OptionError, RecapSpec
from .engine.outputs import DEFAULT_FINAL
from .checks.preflight import PYTHON
from .sound.sound_step import DEFAULT_LOUDNESS
from ..services.voices import DEFAULT_VOICE

if TYPE_CHECKING:
    from .engine.run import EngineRun, RunEvent

__all__ = ["make_recap"]

Segments = str | os.PathLike[str] | Sequence[Mapping[str, object]]


def _is_path(value: object) -> bool:
    return isinstance(value, (str, os.PathLike))


def _is_stream(value: object) -> bool:
    return value is None or callable(getattr(value, "write", None))


def _is_callback(value: object) -> bool:
    return value is None or callable(value)


# Each argument's test and the type a message names, for the arguments that
# are no option of the recap itself (RecapSpec checks those); a str is no
# stream ("stderr").
_EXPECTED: dict[str, tuple[Callable[[object], bool], str]] = {
    "url": (lambda value: isinstance(value, str), "a str"),
    "output_dir": (_is_path, "a str or os.PathLike"),
    "mkdir": (lambda value: isinstance(value, bool), "a bool"),
    "services": (lambda value: isinstance(value, str), "a str"),
    "quiet": (lambda value: isinstance(value, bool), "a bool"),
    "progress": (_is_stream, "a stream with a write() method, such as sys.stderr, or None"),
    "output_name": (lambda value: isinstance(value, str), "a str"),
    "overwrite": (lambda value: isinstance(value, bool), "a bool"),
    "on_event": (_is_callback, "a callable or None"),
    "on_start": (_is_callback, "a callable or None"),
    "keep_work": (lambda value: isinstance(value, bool), "a bool"),
    "timeline": (lambda value: value is None or isinstance(value, (str, list, tuple)),
                 "a str such as \"otio,kdenlive\", a list of formats or None"),
}


def _wrong_type(name: str, value: object, expected: str) -> TypeError:
    return TypeError(f"make_recap: {name} must be {expected}, not {type(value).__name__} ({value!r:.40})")


def _check_types(arguments: dict[str, object]) -> None:
    """TypeError naming the first argument of a wrong type, before anything runs."""
    for name, (fits, expected) in _EXPECTED.items():
        value = arguments[name]
        if not fits(value):
            raise _wrong_type(name, value, expected)


def _spec(options: dict[str, object]) -> RecapSpec:
    """The recap's options as one checked value; a wrong type is a TypeError here too."""
    try:
        return RecapSpec(**options)  # type: ignore[arg-type]
    except OptionError as error:
        if error.expected is not None:
            raise _wrong_type(error.option, error.value, error.expected) from None
        raise


def make_recap(
    url: str,
    segments: Segments,
    *,
    voice: str = DEFAULT_VOICE,
    speed: float = 1.0,
    output_dir: str | os.PathLike[str] = ".",
    mkdir: bool = False,
    services: str = "auto",
    quiet: bool = False,
    progress: TextIO | None = None,
    output_name: str = DEFAULT_FINAL,
    overwrite: bool = False,
    on_event: Callable[[RunEvent], None] | None = None,
    on_start: Callable[[EngineRun], None] | None = None,
    captions: str | None = None,
    strict_fit: bool = False,
    keep_work: bool = False,
    caption_style: str | None = None,
    caption_position: str = "bottom",
    caption_size: str | float = "medium",
    frame: str = DEFAULT_FRAME,
    aspect: str = DEFAULT_ASPECT,
    source_audio: str = "duck",
    music: str | os.PathLike[str] | None = None,
    loudness: float = DEFAULT_LOUDNESS,
    fit: str = "extend",
    timeline: str | Sequence[str] | None = None,
) -> RecapResult:
    """Makes `output_name` (FINAL_RECAP.mp4) in `output_dir`, with the
    horizontal video beside it, and returns what was made. Safe to call from
    several threads at once: each call has its own bindings of the engine.

    `segments`: the path of a segments file, or the segments themselves
    (a list of {"start", "end", "voiceover"} mappings). A missing
    `output_dir` whose parent exists is created; `mkdir`: its missing
    parents too. A folder made for a run that fails having written nothing
    is removed. `services`: "auto" (the local services on a
    build whose hosts are placeholders, else the configured ones), "local",
    "configured", or the address of a running `vantor serve`. `progress`:
    where progress lines go (None: `sys.stderr` at the call; `quiet`:
    nowhere). The engine works in a folder of its own inside `output_dir`:
    no other file there is changed, and an existing result is replaced only
    with `overwrite`. `on_event`: each `vantor.recap.engine.run.RunEvent` of the
    run; `on_start`: the `EngineRun` about to run (its `cancel()` may be
    called from another thread). Raises `vantor.recap.checks.preflight.PreflightError`
    for arguments that cannot work, before any service is asked; engine
    errors pass unchanged, noting the working folder they left. Raises
    TypeError for an argument of the wrong type, before anything starts.

    With the local services each narration is spoken while the video
    downloads and the fit report's warnings shown before the engine starts
    (`strict_fit`: spoken first, and a misfit refuses the run before the
    download). `captions`: "files" (NAME.srt and NAME.vtt beside the
    recap), "burn" (also drawn into the picture) or "track" (also a soft
    subtitle track); None: none. `caption_style`: "clean" (the default),
    "bold" (the word being spoken turns gold), "boxed" (a translucent box
    behind the words), "karaoke" (the words spoken, being spoken and to
    come in three colours) or "pop" (the word being spoken larger);
    `caption_position`: "bottom", "middle" or "top" of the platforms' safe
    area; `caption_size`: "small", "medium", "large" or a percentage of
    medium (120 or "120%", from 50 to 200). A narration's `*word*` is
    coloured in the drawn captions, and neither spoken nor shown with its
    asterisks. The result's `voices` says, per segment, which
    engine spoke it. `keep_work`: a failed or cancelled run keeps its
    working folder (named in the error); otherwise it is removed.

    `frame`: "smart" (a crop that follows the subject of each shot),
    "center" or "centre" (the middle), "blur" (the whole picture over a blurred copy)
    or "fit" (the whole picture over bars); `aspect`: "9:16" (1080x1920),
    "4:5", "1:1" or "16:9".

    The sound: `source_audio` "duck" (the source's own sound under the
    narration, lowered while it speaks), "mix" (lowered all along) or "off"
    (narration only); `music`: an audio file, or a folder of them (one
    picked by the segments, the same for the same recap), looped under the
    recap and ducked the same way; `loudness`: the final mix's integrated
    LUFS (true peak at most -1 dBTP); `fit`: "extend" (each clip lasts the
    longer of its range and its narration), "range" (exactly the range, a
    long narration cut) or "narration" (each clip ends with its narration).

    `timeline`: also write the recap's timeline for a video editor beside
    it, NAME.<ext> for each of "otio", "fcpxml", "edl" and "kdenlive" (a
    comma-separated str or a list), with its media in NAME.media/ (the film
    linked, each narration a WAV, the music, captions.srt); the result's
    `timelines` and `media` name them. Needs the local services.
    """
    _check_types(dict(url=url, output_dir=output_dir, mkdir=mkdir, services=services, quiet=quiet,
                      progress=progress, output_name=output_name, overwrite=overwrite, on_event=on_event,
                      on_start=on_start, keep_work=keep_work, timeline=timeline))
    spec = _spec(dict(voice=voice, speed=speed, captions=captions, strict_fit=strict_fit,
                      caption_style=caption_style, caption_position=caption_position, caption_size=caption_size,
                      frame=frame, aspect=aspect, source_audio=source_audio, music=music, loudness=loudness, fit=fit))
    shown = None if quiet else (progress or sys.stderr)

    def run(path: str | os.PathLike[str], name: str | None) -> RecapResult:
        prepared = prepare(url, path, spec, output_dir=output_dir, mkdir=mkdir, services=services,
                           segments_name=name, output_name=output_name, overwrite=overwrite, wording=PYTHON,
                           timeline=list(timeline) if isinstance(timeline, (list, tuple)) else timeline)
        prepared = dataclasses.replace(prepared, keep_work=keep_work)
        return execute(prepared, progress=shown, on_event=on_event, on_start=on_start)

    if isinstance(segments, (str, os.PathLike)):
        return run(segments, None)
    if isinstance(segments, (bytes, bytearray)) or not isinstance(segments, Sequence):
        raise TypeError(f"make_recap: segments must be a path or a list of segments, not {type(segments).__name__}")
    with tempfile.TemporaryDirectory(prefix="vantor-segments-") as scratch:
        path = os.path.join(scratch, "segments.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump([dict(segment) if isinstance(segment, Mapping) else segment for segment in segments],
                      f, ensure_ascii=False)
        return run(path, "segments")
