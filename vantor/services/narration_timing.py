"""When each word of a narration is spoken, for fit reports and captions.

Neither engine reports word times here (the bundled neural voice has no
alignment output), so they are read from the audio: ffmpeg's silencedetect
finds the stretches of sound. Pauses in speech come at punctuation, so the
words are split into phrases at punctuation, and when there are at least as
many stretches as phrases, the longest pauses separate the phrases. Inside a
phrase (or over the whole narration when the sound does not separate its
phrases) the words share the sounding time, pauses skipped, in proportion
to their syllables.

Silencedetect says where a stretch of sound begins only roughly: its
threshold is set low to keep the pauses apart, so the breath before a word
opens the stretch early. Each stretch's start is then moved to the first
sample loud enough to be heard as the word (ONSET_DB), read from the decoded
samples themselves.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from array import array
from dataclasses import dataclass
from typing import Any

from .espeak_backend import SpeechFailed

__all__ = ["NarrationTiming", "WordTiming", "measure_timing", "sound_spans", "spread_words", "syllables"]

# Narrations leave the service at -16 LUFS: 30 dB below that is a pause.
SILENCE_DB = -46
# Shorter gaps are the stops inside words ("t", "k"), not pauses.
MIN_PAUSE_S = 0.1
# A word is heard from its first sample at this level (below the narration's peak by about 40 dB).
ONSET_DB = -40
_RATE = 16000  # samples per second the onsets are read at: 1/16 ms steps
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


def _duration(path: str) -> float:
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                           capture_output=True, text=True)
    try:
        return float(probe.stdout.strip())
    except ValueError:
        raise SpeechFailed(f"cannot read the narration's duration: {probe.stderr.strip()[:200]}") from None


def sound_spans(path: str | os.PathLike[str]) -> tuple[float, list[tuple[float, float]]]:
    """(duration, the stretches of sound as (start, end) seconds)."""
    path = os.fspath(path)
    duration = _duration(path)
    # One pass: the pauses on stderr, the samples (for the onsets) on stdout.
    result = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-i", path, "-af",
                             f"silencedetect=noise={SILENCE_DB}dB:d={MIN_PAUSE_S}", "-ac", "1", "-ar", str(_RATE),
                             "-f", "s16le", "-"], capture_output=True)
    log = result.stderr.decode(errors="replace")
    if result.returncode != 0:
        raise SpeechFailed(f"cannot find the pauses of the narration: {log.strip()[-200:]}")
    starts = [float(x) for x in re.findall(r"silence_start: (-?[\d.]+)", log)]
    ends = [float(x) for x in re.findall(r"silence_end: (-?[\d.]+)", log)]
    spans: list[tuple[float, float]] = []
    cursor = 0.0
    for index, start in enumerate(starts):
        if start > cursor:
            spans.append((cursor, start))
        cursor = ends[index] if index < len(ends) else duration
    if cursor < duration:
        spans.append((cursor, duration))
    spans = [(max(0.0, a), min(duration, b)) for a, b in spans if b - a > 0.01]
    samples = _samples(result.stdout)
    return duration, [(onset(samples, a, b), b) for a, b in spans]


def _samples(raw: bytes) -> array[int]:
    """Mono 16-bit little-endian samples."""
    samples = array("h")
    samples.frombytes(raw[: len(raw) // 2 * 2])
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def onset(samples: array[int], start: float, end: float) -> float:
    """The time of the first sample at ONSET_DB or louder in [start, end)
    (`start` when none is)."""
    floor = 32768 * 10 ** (ONSET_DB / 20)
    first, last = int(start * _RATE), min(len(samples), int(end * _RATE))
    for index in range(first, last):
        if abs(samples[index]) >= floor:
            return index / _RATE
    return start


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


def measure_timing(path: str | os.PathLike[str], text: str, backend: str) -> NarrationTiming:
    duration, spans = sound_spans(path)
    return NarrationTiming(round(duration, 3), tuple(spread_words(text, spans)), backend)
