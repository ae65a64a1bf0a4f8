"""NAME.media/: what an exported timeline points at, beside it. The source
film is linked (copied only where a link cannot be made, never re-encoded),
each narration becomes its own WAV at the recap's tempo, the music bed is
linked or copied, the captions are written as SRT."""

from __future__ import annotations

import errno
import importlib
import os
import shutil
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import replace

from ..recap.captions.cues import Cue, to_srt
from ..recap.timeline.model import Music, SoundBed, Timeline

__all__ = ["CAPTIONS_NAME", "SOURCE_STEM", "media_folder_name", "narration_name", "place_film", "write_media"]

SOURCE_STEM = "source"
CAPTIONS_NAME = "captions.srt"
_LINK_IMPOSSIBLE = {errno.EXDEV, errno.EPERM, errno.EMLINK, errno.ENOTSUP, errno.EACCES}


def media_folder_name(name: str) -> str:
    return f"{name}.media"


def narration_name(number: int) -> str:
    return f"narration {number}.wav"


def place_film(source: str, target: str) -> str:
    """`target` as a hard link to `source`, or a byte copy where the file
    system cannot link them; "linked" or "copied"."""
    if os.path.lexists(target):
        os.unlink(target)
    try:
        os.link(source, target)
        return "linked"
    except OSError as error:
        if error.errno not in _LINK_IMPOSSIBLE:
            raise
    shutil.copyfile(source, target)
    return "copied"


def _atempo(speed: float) -> str:
    engine = importlib.import_module("vantor.vantor")
    return str(engine._build_atempo_chain(speed))


def _write_wav(audio: bytes, target: str, speed: float) -> None:
    """A narration's sound (the speech service's MP3) as a WAV at `speed`."""
    with tempfile.NamedTemporaryFile(suffix=".mp3", dir=os.path.dirname(target)) as spoken:
        spoken.write(audio)
        spoken.flush()
        done = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-protocol_whitelist", "file",
                               "-i", spoken.name, "-af", _atempo(speed), "-ar", "48000", "-ac", "2",
                               "-c:a", "pcm_s16le", target], capture_output=True, text=True)
    if done.returncode != 0 or not os.path.getsize(target):
        raise RuntimeError(f"ffmpeg could not write the narration {os.path.basename(target)}: "
                           f"{done.stderr.strip()[-200:]}")


def _captions(timeline: Timeline) -> str:
    cues: list[Cue] = []
    for item in timeline.ranges:
        narration = item.narration
        if narration is None:
            continue
        if narration.words:
            cues += [Cue(w.start, w.end, w.text) for w in narration.words]
        elif narration.text:
            cues.append(Cue(narration.start, narration.start + narration.length, narration.text))
    return to_srt(cues)


def write_media(timeline: Timeline, directory: str, name: str,
                narration_audio: Callable[[int], bytes | None],
                on_step: Callable[[str], None] = lambda line: None) -> tuple[Timeline, str]:
    """Writes NAME.media/ in `directory` and answers the timeline with every
    path moved to its file there, and how the film got there ("linked" or
    "copied"). `narration_audio(number)`: that range's narration sound, or
    None when it has none."""
    folder = os.path.join(directory, media_folder_name(name))
    os.makedirs(folder, exist_ok=True)
    extension = os.path.splitext(timeline.source)[1] or ".mp4"
    film = os.path.join(folder, SOURCE_STEM + extension)
    how = place_film(timeline.source, film)
    on_step(f"  source film {how} into {os.path.basename(folder)}/")
    ranges = []
    for item in timeline.ranges:
        narration = item.narration
        audio = narration_audio(item.number) if narration is not None else None
        if narration is not None and audio:
            path = os.path.join(folder, narration_name(item.number))
            _write_wav(audio, path, timeline.speed)
            on_step(f"  narration {item.number}/{len(timeline.ranges)} written")
            narration = replace(narration, audio=path)
        elif narration is not None:
            narration = replace(narration, audio=None)
        ranges.append(replace(item, narration=narration))
    sound = timeline.sound
    if sound.music is not None:
        music = os.path.join(folder, "music" + os.path.splitext(sound.music.path)[1])
        place_film(sound.music.path, music)
        sound = SoundBed(sound.source, sound.duck, Music(music, sound.music.level_db, sound.music.fade_out))
    with open(os.path.join(folder, CAPTIONS_NAME), "w", encoding="utf-8") as f:
        f.write(_captions(timeline))
    return replace(timeline, source=film, ranges=tuple(ranges), sound=sound), how


def relative(path: str, directory: str) -> str:
    return os.path.relpath(path, directory).replace(os.sep, "/")


def used_names(paths: Sequence[str]) -> list[str]:
    return sorted({os.path.basename(path) for path in paths})
