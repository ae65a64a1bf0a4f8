"""A narration's sound as samples in this process, and the MP3 made from
them.

A voice's WAV is read here directly (16-bit PCM, what piper and espeak-ng
write); anything else is decoded by one ffmpeg child. The MP3 is encoded by
one more, to a file, so that its header records the encoder's delay and the
decoded MP3 lines up with these samples to the sample. Both children are
bounded (children.run).
"""

from __future__ import annotations

import os
import tempfile
import wave
from typing import TYPE_CHECKING

from .children import Bounds, ChildStopped, run
from .espeak_backend import SpeechFailed

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    Samples = NDArray[np.float32]

__all__ = ["CHILD_SECONDS", "decode", "encode_mp3", "read_wav"]

# A narration is at most a few minutes of sound: either child takes seconds.
CHILD_SECONDS = 120.0
# The engine's narration format: LAME's VBR quality 4 (about 165 kb/s).
MP3_QUALITY = "4"


def read_wav(path: str | os.PathLike[str]) -> tuple[Samples, int]:
    """The WAV file `path` as mono float samples and their rate; a WAV this
    reader does not take (float or 24-bit samples) is decoded by ffmpeg."""
    found = _pcm16(path)
    return found if found is not None else decode(path)


def _pcm16(path: str | os.PathLike[str]) -> tuple[Samples, int] | None:
    import numpy as np

    try:
        with wave.open(os.fspath(path), "rb") as sound:
            width, channels, rate = sound.getsampwidth(), sound.getnchannels(), sound.getframerate()
            frames = sound.readframes(sound.getnframes())
    except (wave.Error, EOFError):
        return None
    if width != 2 or rate <= 0:
        return None
    pcm = np.frombuffer(frames[: len(frames) // (2 * channels) * 2 * channels], dtype="<i2")
    return (pcm.reshape(-1, channels).mean(axis=1) / 32768).astype(np.float32), rate


def _child(argv: list[str], what: str) -> None:
    try:
        done = run(argv, Bounds.starting_now(CHILD_SECONDS, CHILD_SECONDS), what)
    except ChildStopped:
        raise SpeechFailed(f"{what} took longer than {CHILD_SECONDS:g} s") from None
    if done.returncode != 0:
        raise SpeechFailed(f"{what} failed: {done.stderr.strip()[-200:]}")


def decode(path: str | os.PathLike[str]) -> tuple[Samples, int]:
    """Any sound file as mono float samples at its own rate (one ffmpeg child)."""
    with tempfile.TemporaryDirectory(prefix="vantor-sound-") as tmp:
        pcm = os.path.join(tmp, "sound.wav")
        _child(["ffmpeg", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file", "-i", os.fspath(path),
                "-map", "0:a:0", "-ac", "1", "-c:a", "pcm_s16le", "-f", "wav", pcm], "decoding the narration")
        found = _pcm16(pcm)
    if found is None:
        raise SpeechFailed("decoding the narration left no sound")
    return found


def encode_mp3(samples: Samples, rate: int, target: str | os.PathLike[str]) -> bytes:
    """Writes mono float `samples` at `rate` to the MP3 file `target` (one
    ffmpeg child) and returns its bytes."""
    import numpy as np

    with tempfile.TemporaryDirectory(prefix="vantor-sound-") as tmp:
        raw = os.path.join(tmp, "sound.f32")
        np.asarray(samples, dtype="<f4").tofile(raw)
        _child(["ffmpeg", "-y", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file", "-f", "f32le",
                "-ar", str(rate), "-ac", "1", "-i", raw, "-c:a", "libmp3lame", "-q:a", MP3_QUALITY, "-f", "mp3",
                os.fspath(target)], "MP3 encoding")
    with open(target, "rb") as f:
        return f.read()
