"""The captions step of an `EngineRun`: the merged clips' durations taken
as the engine concatenates them, then, once the engine is done, the caption
files written in the run's working folder and, when asked, burned into the
recap or added to it as a subtitle track. The files are published with the
results (`outputs.publish`), so none is left half-written."""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .captions import (CAPTION_MODES, burn_command, concat_list_paths, font_installed, place_cues, to_ass, to_srt,
                       to_vtt, track_command)
from .outputs import ENGINE_FINAL, OutputError, OutputNames, require_complete_mp4
from .probe import UnreadableVideo, probe_duration

if TYPE_CHECKING:
    from ..services import NarrationTiming
    from .run import EngineRun

__all__ = ["check_caption_request", "concatenated_clips", "make_captions"]

_BURNED = "captions-burned.mp4"
_TRACKED = "captions-track.mp4"
_ASS = "captions.ass"


def check_caption_request(run: EngineRun) -> None:
    """Before anything is fetched: the mode is known, the word timings can
    be had, the font is there; the caption files count as results."""
    if run.captions not in CAPTION_MODES:
        raise ValueError(f"captions must be one of {', '.join(CAPTION_MODES)} or None, not {run.captions!r}")
    if run.timings is None and run.services is None:
        raise OutputError("captions need the word timings of the local speech service; use --services local or "
                          "the address of a vantor serve")
    if run.captions == "burn" and not font_installed():
        raise OutputError("burned-in captions need the DejaVu fonts; install fonts-dejavu-core "
                          "(scripts/provision.sh does)")
    if not run.names.captions:
        run.names = OutputNames(run.names.final, captions=True)


def concatenated_clips(argv: Sequence[Any]) -> list[float] | None:
    """When `argv` is the engine's concatenation, the real durations of the
    clips its list names, in order (they are removed after the conversion)."""
    items = [os.fspath(a) if isinstance(a, os.PathLike) else a for a in argv]
    try:
        concat = items[items.index("-f") + 1] == "concat"
        listing = items[items.index("-i") + 1]
    except (ValueError, IndexError):
        return None
    if not concat or not isinstance(listing, str):
        return None
    with open(listing, encoding="utf-8") as f:
        clips = concat_list_paths(f.read())
    try:
        return [probe_duration(clip) for clip in clips]
    except UnreadableVideo as error:
        raise OutputError(f"a merged clip cannot be read to place the captions: {error}") from None


def _segments(run: EngineRun) -> list[dict[str, object]]:
    if run.segments:
        return list(run.segments)
    with open(run.segments_file, encoding="utf-8") as f:
        return list(json.load(f))


def _timings(run: EngineRun, count: int) -> Sequence[NarrationTiming]:
    if run.timings is not None:
        return run.timings
    assert run.services is not None
    # The service keeps each narration's timing with its audio: these are answered from its cache.
    return [run.services.narration_timing(str(segment["voiceover"]), run.voice) for segment in _segments(run)[:count]]


def _write(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def _replace_final(run: EngineRun, argv_for: Any, made: str, what: str, encoders: Sequence[str]) -> None:
    """`argv_for(encoder)` makes `made` from the recap, tried with each
    encoder in turn; the recap is replaced only by a whole file."""
    work = run.work_dir
    assert work is not None
    failure = ""
    for encoder in encoders:
        done = run.run_child(argv_for(encoder), check=False, capture_output=True, cwd=work)
        if done.returncode == 0:
            require_complete_mp4(os.path.join(work, made), what)
            os.replace(os.path.join(work, made), os.path.join(work, ENGINE_FINAL))
            return
        said = (done.stderr or b"").decode(errors="replace").strip().splitlines()
        failure = said[-1] if said else f"ffmpeg exit status {done.returncode}"
    raise OutputError(f"{what} failed: {failure}")


def make_captions(run: EngineRun) -> list[tuple[str, str]]:
    """Writes the caption files, burns or adds them as asked; returns the
    (file in the working folder, published name) pairs."""
    work = run.work_dir
    assert work is not None
    if run.clip_durations is None:
        raise OutputError("the captions cannot be placed: the merged clips were not seen before they were joined")
    timings = _timings(run, len(run.clip_durations))
    cues = place_cues(timings, run.clip_durations, run.speed)
    made = []
    for suffix, text in ((".srt", to_srt(cues)), (".vtt", to_vtt(cues))):
        name = run.names.caption_name(suffix)
        _write(os.path.join(work, name), text)
        made.append((os.path.join(work, name), name))
    if run.captions == "burn":
        _write(os.path.join(work, _ASS), to_ass(cues))
        # The encoder the engine's conversion succeeded with, the software one after a failure.
        encoders = ["h264_nvenc", "libx264"] if run.encoder == "h264_nvenc" else ["libx264"]
        _replace_final(run, lambda encoder: burn_command(ENGINE_FINAL, _ASS, _BURNED, encoder), _BURNED,
                       "burning the captions into the recap", encoders)
        os.remove(os.path.join(work, _ASS))
    elif run.captions == "track":
        _replace_final(run, lambda _: track_command(ENGINE_FINAL, "./" + made[0][1], _TRACKED), _TRACKED,
                       "adding the captions track to the recap", ["copy"])
    return made
