"""How long one narration may take to speak, and which texts a neural
voice cannot read at all, so a narration holds a speech slot for as long
as its length needs and no longer.

A loaded voice speaks many times faster than real time: the limit grows
with the text from a small base (more for a child that must load its
model first). A neural voice reads the script of its own language: a text
mostly in another script (Cyrillic for an English voice, Han, Arabic, ...)
is refused at once in one line instead of being spelled out or failing
minutes later.
"""

from __future__ import annotations

import unicodedata

__all__ = ["BASE_SECONDS", "LOAD_SECONDS", "SECONDS_PER_CHAR", "speech_seconds", "unreadable"]

BASE_SECONDS = 10.0
LOAD_SECONDS = 30.0  # a child starting first loads its model
SECONDS_PER_CHAR = 0.02  # 5,000 characters: 100 s more, minutes of speech
# Letters outside the voice's script beyond this share of the text's letters: the voice cannot read it.
FOREIGN_SHARE = 0.5

# The script a language is written in, by its code's first part (Piper names languages like en_US).
_SCRIPTS = {
    **dict.fromkeys(("en", "de", "fr", "es", "it", "pt", "nl", "pl", "sv", "da", "no", "nb", "nn", "fi", "is",
                     "tr", "cs", "sk", "sl", "hr", "sr_latn", "ro", "hu", "et", "lv", "lt", "ca", "eu", "gl", "cy",
                     "ga", "sw", "id", "ms", "vi", "lb", "mt", "sq", "af", "eo"), "LATIN"),
    **dict.fromkeys(("ru", "uk", "bg", "sr", "mk", "be", "kk", "ky", "mn"), "CYRILLIC"),
    "el": "GREEK", "ka": "GEORGIAN", "hy": "ARMENIAN", "he": "HEBREW",
    **dict.fromkeys(("ar", "fa", "ur"), "ARABIC"),
    **dict.fromkeys(("hi", "mr", "ne"), "DEVANAGARI"),
}


def speech_seconds(text: str, *, loading: bool = False) -> float:
    """The longest one narration of `text` may take to speak."""
    return BASE_SECONDS + (LOAD_SECONDS if loading else 0.0) + SECONDS_PER_CHAR * len(text)


def _script(ch: str) -> str:
    name = unicodedata.name(ch, "")
    return name.split(" ", 1)[0]


def unreadable(text: str, language: str, voice: str) -> str | None:
    """Why the neural voice `voice` (of `language`, like "en_US") cannot
    read `text`, in one line; None when it can or its script is not known."""
    code = language.replace("-", "_").lower()
    script = _SCRIPTS.get(code) or _SCRIPTS.get(code.split("_")[0])
    if script is None:
        return None
    letters = [ch for ch in text if ch.isalpha()]
    foreign = [ch for ch in letters if _script(ch) != script]
    if not letters or len(foreign) <= FOREIGN_SHARE * len(letters):
        return None
    seen = sorted({_script(ch).title() or "unnamed" for ch in foreign})
    return (f"the voice {voice} reads {script.title()} script and this text is mostly in {', '.join(seen[:3])} "
            "script; choose a voice of the text's language (see vantor voices)")
