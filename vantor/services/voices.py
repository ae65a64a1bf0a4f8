"""The speech service's voices.

Its own voices are espeak-ng's, by espeak-ng's names ("en-us", "de", ...).
Recaps written for neural speech services name voices like
"en-US-GuyNeural"; those map to the espeak-ng voice of the same language
with a male (+m3) or female (+f3) variant, so such scripts run unchanged.
"""

from __future__ import annotations

__all__ = ["VOICES", "check_voice", "espeak_voice", "voice_names"]

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

# espeak-ng's own voices offered under their own names.
_ESPEAK = (
    "en-us", "en-gb", "en-gb-scotland", "en-029", "de", "fr-fr", "es", "es-419", "it", "pt", "pt-br",
    "nl", "pl", "ru", "sv", "tr", "ja", "cmn", "hi", "ar", "ko",
)

VOICES: dict[str, str] = {**_NEURAL, **{name: name for name in _ESPEAK}}


def voice_names() -> list[str]:
    return list(VOICES)


def check_voice(name: str) -> None:
    if name not in VOICES:
        raise ValueError(f"unknown voice '{name}'; see vantor voices")


def espeak_voice(name: str) -> str:
    """The espeak-ng `-v` argument for a service voice name."""
    check_voice(name)
    return VOICES[name]
