"""The speech backend: espeak-ng speaks, ffmpeg encodes MP3.

The text reaches espeak-ng on its standard input only, so nothing in it can
become an option or pass through a shell.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile

from .voices import espeak_voice

__all__ = ["EspeakBackend", "SpeechFailed", "have_espeak"]


class SpeechFailed(Exception):
    pass


def have_espeak() -> bool:
    return shutil.which("espeak-ng") is not None and shutil.which("ffmpeg") is not None


class EspeakBackend:
    def speak(self, text: str, voice: str) -> bytes:
        """MP3 bytes of `text` spoken by the service voice `voice`."""
        with tempfile.TemporaryDirectory(prefix="vantor-speech-") as tmp:
            wav = os.path.join(tmp, "speech.wav")
            mp3 = os.path.join(tmp, "speech.mp3")
            spoken = subprocess.run(
                ["espeak-ng", "-v", espeak_voice(voice), "-w", wav, "--stdin"],
                input=text.encode("utf-8"), capture_output=True,
            )
            if spoken.returncode != 0 or not os.path.exists(wav):
                raise SpeechFailed(f"espeak-ng failed: {spoken.stderr.decode(errors='replace').strip()[:200]}")
            encoded = subprocess.run(
                ["ffmpeg", "-y", "-nostdin", "-loglevel", "error", "-i", wav,
                 "-c:a", "libmp3lame", "-q:a", "4", mp3],
                capture_output=True,
            )
            if encoded.returncode != 0:
                raise SpeechFailed(f"MP3 encoding failed: {encoded.stderr.decode(errors='replace').strip()[:200]}")
            with open(mp3, "rb") as f:
                return f.read()
