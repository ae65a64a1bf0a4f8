"""What the speech service does with one narration: picks the engine for the
voice (the neural voice or espeak-ng), speaks to WAV, and from the sound read
once brings it to the loudness target, encodes the MP3 and reads its word
times: one child process after the voice's own (two for a WAV that needs
ffmpeg to be read)."""

from __future__ import annotations

import hashlib
import os
import sys
import tempfile
import threading
from collections import OrderedDict
from dataclasses import dataclass

from .espeak_backend import EspeakBackend, SpeechFailed
from .loudness import Loudness, level
from .narration_sound import encode_mp3, read_wav
from .narration_timing import NarrationTiming, timing_of
from .piper_backend import PiperBackend
from .voices import ESPEAK, NEURAL, Voice, VoiceCatalog, default_catalog

__all__ = ["BACKEND_NAMES", "Narrator", "Spoken"]

# What the service's answer calls the engine that spoke.
BACKEND_NAMES = {NEURAL: "piper", ESPEAK: "espeak-ng"}

# Word timings kept for the narrations made last, until their caller asks.
KEPT_TIMINGS = 16

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
    timing: NarrationTiming  # of the very sound the MP3 holds


class Narrator:
    """The speech service's backend."""

    def __init__(self, catalog: VoiceCatalog | None = None, *, espeak: EspeakBackend | None = None,
                 piper: PiperBackend | None = None) -> None:
        self.catalog: VoiceCatalog = catalog or default_catalog()
        self.espeak: EspeakBackend = espeak or EspeakBackend()
        self.piper: PiperBackend = piper or PiperBackend()
        self._timings: OrderedDict[bytes, NarrationTiming] = OrderedDict()
        self._timings_lock = threading.Lock()
        for problem in self.catalog.problems:
            note_once(f"skipped a voice: {problem}")

    def voice(self, name: str) -> Voice | None:
        return self.catalog.get(name)

    def speak(self, text: str, voice: str) -> bytes:
        """MP3 bytes of `text` spoken by the service voice `voice`; their
        word timings are then answered by `spoken_timing`."""
        spoken = self.narrate(text, voice)
        with self._timings_lock:
            self._timings[hashlib.sha256(spoken.mp3).digest()] = spoken.timing
            while len(self._timings) > KEPT_TIMINGS:
                self._timings.popitem(last=False)
        return spoken.mp3

    def spoken_timing(self, mp3: bytes) -> NarrationTiming | None:
        """The word timings read from the sound of `mp3` as it was made, if
        `speak` answered these bytes lately (once: they are handed over)."""
        with self._timings_lock:
            return self._timings.pop(hashlib.sha256(mp3).digest(), None)

    def narrate(self, text: str, voice: str) -> Spoken:
        chosen = self.catalog.check(voice)
        if chosen.note:
            note_once(chosen.note)
        with tempfile.TemporaryDirectory(prefix="vantor-speech-") as tmp:
            spoken = os.path.join(tmp, "spoken.wav")
            if chosen.piper is not None:
                self.piper.speak_wav(text, chosen.piper, spoken)
            else:
                assert chosen.espeak is not None
                self.espeak.speak_wav(text, chosen.espeak, spoken)
            samples, rate = read_wav(spoken)
            levelled, before, after = level(samples, rate)
            backend = BACKEND_NAMES[chosen.engine]
            mp3 = encode_mp3(levelled, rate, os.path.join(tmp, "speech.mp3"))
            return Spoken(mp3, backend, before, after, timing_of(levelled, rate, text, backend))

    def close(self) -> None:
        self.piper.close()
