"""What the speech service does with one narration: picks the engine for the
voice (the neural voice or espeak-ng), speaks to WAV, brings it to the
loudness target and encodes MP3."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass

from .espeak_backend import EspeakBackend, SpeechFailed
from .loudness import Loudness, normalise
from .piper_backend import PiperBackend
from .voices import ESPEAK, NEURAL, Voice, VoiceCatalog, default_catalog

__all__ = ["BACKEND_NAMES", "Narrator", "Spoken"]

# What the service's answer calls the engine that spoke.
BACKEND_NAMES = {NEURAL: "piper", ESPEAK: "espeak-ng"}
ESPEAK_SAMPLE_RATE = 22050

_noted: set[str] = set()
_noted_lock = threading.Lock()


def note_once(line: str) -> bool:
    """Prints `line` on stderr the first time this process sees it."""
    with _noted_lock:
        if line in _noted:
            return False
        _noted.add(line)
    print(f"vantor speech: {line}", file=sys.stderr, flush=True)
    return True


@dataclass(frozen=True)
class Spoken:
    mp3: bytes
    backend: str
    before: Loudness
    after: Loudness


class Narrator:
    """The speech service's backend."""

    def __init__(self, catalog: VoiceCatalog | None = None, *, espeak: EspeakBackend | None = None,
                 piper: PiperBackend | None = None) -> None:
        self.catalog: VoiceCatalog = catalog or default_catalog()
        self.espeak: EspeakBackend = espeak or EspeakBackend()
        self.piper: PiperBackend = piper or PiperBackend()
        for problem in self.catalog.problems:
            note_once(f"skipped a voice: {problem}")

    def voice(self, name: str) -> Voice | None:
        return self.catalog.get(name)

    def speak(self, text: str, voice: str) -> bytes:
        """MP3 bytes of `text` spoken by the service voice `voice`."""
        return self.narrate(text, voice).mp3

    def narrate(self, text: str, voice: str) -> Spoken:
        chosen = self.catalog.check(voice)
        if chosen.note:
            note_once(chosen.note)
        with tempfile.TemporaryDirectory(prefix="vantor-speech-") as tmp:
            spoken = os.path.join(tmp, "spoken.wav")
            level = os.path.join(tmp, "level.wav")
            mp3 = os.path.join(tmp, "speech.mp3")
            if chosen.piper is not None:
                self.piper.speak_wav(text, chosen.piper, spoken)
                rate = chosen.piper.sample_rate
            else:
                assert chosen.espeak is not None
                self.espeak.speak_wav(text, chosen.espeak, spoken)
                rate = ESPEAK_SAMPLE_RATE
            before, after = normalise(spoken, level, rate)
            encoded = subprocess.run(
                ["ffmpeg", "-y", "-nostdin", "-loglevel", "error", "-i", level, "-c:a", "libmp3lame", "-q:a", "4", mp3],
                capture_output=True,
            )
            if encoded.returncode != 0:
                raise SpeechFailed(f"MP3 encoding failed: {encoded.stderr.decode(errors='replace').strip()[:200]}")
            with open(mp3, "rb") as f:
                return Spoken(f.read(), BACKEND_NAMES[chosen.engine], before, after)

    def close(self) -> None:
        self.piper.close()
