"""The espeak-ng speech backend.

The text reaches espeak-ng on its standard input only, so nothing in it can
become an option or pass through a shell.
"""

from __future__ import annotations

import os
import shutil

from ..runner import ChildStopped, run
from .speech_bounds import speech_seconds

__all__ = ["EspeakBackend", "SpeechFailed", "have_espeak"]


class SpeechFailed(Exception):
    pass


def have_espeak() -> bool:
    return shutil.which("espeak-ng") is not None and shutil.which("ffmpeg") is not None


class EspeakBackend:
    def speak_wav(self, text: str, espeak_voice: str, wav: str | os.PathLike[str]) -> None:
        """Writes `text` spoken by espeak-ng's voice `espeak_voice` (its `-v`
        argument, e.g. "en-us+m3") to the WAV file `wav`."""
        limit = speech_seconds(text)
        try:
            spoken = run(["espeak-ng", "-v", espeak_voice, "-w", os.fspath(wav), "--stdin"],
                         input=text.encode("utf-8"), time_limit=limit)
        except ChildStopped:
            raise SpeechFailed(f"espeak-ng took over {limit:.0f} s for one narration") from None
        if spoken.returncode != 0 or not os.path.exists(wav):
            raise SpeechFailed(f"espeak-ng failed: {spoken.stderr.decode(errors='replace').strip()[:200]}")
