"""When each word of a narration is spoken, for fit reports and captions.

Neither engine reports word times here (the bundled neural voice has no
alignment output), so they are read from the sound itself, the samples the
MP3 is encoded from: the pauses are the stretches at SILENCE_DB or quieter
for MIN_PAUSE_S or longer (as ffmpeg's silencedetect finds them), and the
stretches of sound lie between. Pauses in speech come at punctuation, so the
words are split into phrases at punctuation, and when there are at least as
many stretches as phrases, the longest pauses separate the phrases. Inside a
phrase (or over the whole narration when the sound does not separate its
phrases) the words share the sounding time, pauses skipped, in proportion
to their syllables.

The pause threshold is set low to keep the pauses apart, so the breath
before a word opens its stretch early. Each stretch's start is then moved
to the first sample loud enough to be heard as the word (ONSET_DB).
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    Samples = NDArray[np.float32]

__all__ = ["NarrationTiming", "WordTiming", "measure_timing", "sound_spans", "spans_of", "spread_words", "syllables",
           "timing_of"]

# Narrations leave the service at -16 LUFS: 30 dB below that is a pause.
SILENCE_DB = -46
# Shorter gaps are the stops inside words ("t", "k"), not pauses.
MIN_PAUSE_S = 0.1
# A word is heard from its first sample at this level (below the narration's peak by about 40 dB).
ONSET_DB = -40
_PHRASE_END = re.compile(r"[.,;:!?…—]+[\"')\]]*$")


@dataclass(frozen=True)
class WordTiming:
    word: str
    start: float
    end: float


@dataclass(frozen=True)
class NarrationTiming:
    duration: float  # seconds of the whole narration, silence included
    words: tuple[WordTiming, ...]
    backend: str  # which engine spoke it

    def to_json(self) -> dict[str, object]:
        return {"duration": self.duration, "backend": self.backend,
                "words": [{"word": w.word, "start": w.start, "end": w.end} for w in self.words]}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> NarrationTiming:
        return cls(float(data["duration"]), tuple(WordTiming(str(w["word"]), float(w["start"]), float(w["end"]))
                                                    for w in data["words"]), str(data["backend"]))


def syllables(word: str) -> int:
    """A spoken-length weight: vowel groups of the letters (a silent final e
    dropped), one per digit; at least one."""
    letters = re.sub(r"[^a-zà-ÿ]", "", word.lower())
    groups = len(re.findall(r"[aeiouyà-ÿ]+", letters))
    if letters.endswith("e") and not letters.endswith(("le", "ee")) and groups > 1:
        groups -= 1
    return max(1, groups + sum(ch.isdigit() for ch in word))


def sound_spans(path: str | os.PathLike[str]) -> tuple[float, list[tuple[float, float]]]:
    """(duration, the stretches of sound as (start, end) seconds) of a
    sound file, decoded by one ffmpeg child."""
    from .narration_sound import decode

    return spans_of(*decode(path))


def spans_of(samples: Samples, rate: int) -> tuple[float, list[tuple[float, float]]]:
    """(duration, the stretches of sound) of mono float `samples`: between
    the pauses (SILENCE_DB or quieter for MIN_PAUSE_S or longer, as ffmpeg's
    silencedetect finds them), each begun at its onset."""
    import numpy as np

    duration = len(samples) / rate
    quiet = np.abs(samples) < 10 ** (SILENCE_DB / 20)
    # Runs of quiet samples: where each begins and ends (exclusive).
    edges = np.diff(np.concatenate(([0], quiet.view(np.int8), [0])))
    begins, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    long_enough = ends - begins >= MIN_PAUSE_S * rate
    spans: list[tuple[float, float]] = []
    cursor = 0
    for begin, end in zip(begins[long_enough], ends[long_enough]):
        if begin > cursor:
            spans.append((cursor, int(begin)))
        cursor = int(end)
    if cursor < len(samples):
        spans.append((cursor, len(samples)))
    heard = np.abs(samples) >= 10 ** (ONSET_DB / 20)
    timed = []
    for first, last in spans:
        if (last - first) / rate > 0.01:
            loud = np.flatnonzero(heard[first:last])
            timed.append(((first + int(loud[0]) if len(loud) else first) / rate, last / rate))
    return duration, timed


def _spread(words: list[str], spans: list[tuple[float, float]]) -> list[WordTiming]:
    """`words` over the sounding time of `spans`, by syllables."""
    weights = [syllables(w) for w in words]
    sounding = sum(b - a for a, b in spans)
    total = sum(weights)

    def at(voiced: float, starting: bool) -> float:
        """The clock time of a point of sounding time; a word starting where
        a stretch ends starts at the next stretch."""
        for a, b in spans:
            if voiced < b - a - 1e-9 or (not starting and voiced <= b - a + 1e-9):
                return a + voiced
            voiced -= b - a
        return spans[-1][1]

    timed, done = [], 0
    for word, weight in zip(words, weights):
        start = at(sounding * done / total, starting=True)
        done += weight
        timed.append(WordTiming(word, round(start, 3), round(at(sounding * done / total, starting=False), 3)))
    return timed


def spread_words(text: str, spans: list[tuple[float, float]]) -> list[WordTiming]:
    """Word times of `text` spoken in the stretches of sound `spans`."""
    words = [w for w in text.split() if any(ch.isalnum() for ch in w)]
    if not words or not spans:
        return []
    phrases: list[list[str]] = [[]]
    for word in words:
        phrases[-1].append(word)
        if _PHRASE_END.search(word):
            phrases.append([])
    phrases = [p for p in phrases if p]
    if len(spans) < len(phrases) or len(phrases) == 1:
        return _spread(words, spans)
    # The len(phrases) - 1 longest pauses end the phrases.
    gaps = sorted(range(1, len(spans)), key=lambda i: spans[i][0] - spans[i - 1][1], reverse=True)
    cuts = sorted(gaps[: len(phrases) - 1])
    groups = [spans[a:b] for a, b in zip([0, *cuts], [*cuts, len(spans)])]
    return [timed for phrase, group in zip(phrases, groups) for timed in _spread(phrase, group)]


def timing_of(samples: Samples, rate: int, text: str, backend: str) -> NarrationTiming:
    """The word times of `text` spoken as mono float `samples`."""
    duration, spans = spans_of(samples, rate)
    return NarrationTiming(round(duration, 3), tuple(spread_words(text, spans)), backend)


def measure_timing(path: str | os.PathLike[str], text: str, backend: str) -> NarrationTiming:
    """The word times of `text` spoken in the sound file `path`."""
    from .narration_sound import decode

    return timing_of(*decode(path), text, backend)
