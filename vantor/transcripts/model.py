"""A transcript: the video's words, each with its start and end in seconds of
the source, and the sentences they make. Both sources (the site's captions,
recognition) produce this, and everything after (search, suggestions, the
studio's panel) reads only this."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

__all__ = ["Sentence", "Suggestion", "Transcript", "TranscriptSource", "Word"]

TranscriptSource = Literal["captions", "recognition"]
_SENTENCE_END = (".", "?", "!", "…")
# A silence this long ends a sentence even without punctuation (automatic
# captions carry none).
SENTENCE_GAP_S = 1.0


@dataclass(frozen=True, slots=True)
class Word:
    start: float
    end: float
    text: str

    def to_json(self) -> dict[str, Any]:
        return {"start": round(self.start, 3), "end": round(self.end, 3), "text": self.text}


@dataclass(frozen=True, slots=True)
class Sentence:
    start: float
    end: float
    text: str
    first_word: int  # index into Transcript.words
    word_count: int

    def to_json(self) -> dict[str, Any]:
        return {"start": round(self.start, 3), "end": round(self.end, 3), "text": self.text,
                "first_word": self.first_word, "word_count": self.word_count}


@dataclass(frozen=True, slots=True)
class Transcript:
    words: tuple[Word, ...]
    source: TranscriptSource
    language: str | None = None

    def sentences(self) -> list[Sentence]:
        """Words grouped at sentence punctuation or at a pause of SENTENCE_GAP_S."""
        found: list[Sentence] = []
        first = 0
        for i, word in enumerate(self.words):
            last = i + 1 == len(self.words)
            ends = word.text.rstrip("\"')»”").endswith(_SENTENCE_END)
            if not last and not ends and self.words[i + 1].start - word.end < SENTENCE_GAP_S:
                continue
            group = self.words[first:i + 1]
            found.append(Sentence(group[0].start, group[-1].end, " ".join(w.text for w in group), first, len(group)))
            first = i + 1
        return found

    def to_json(self) -> dict[str, Any]:
        return {"source": self.source, "language": self.language,
                "words": [w.to_json() for w in self.words],
                "sentences": [s.to_json() for s in self.sentences()]}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> Transcript:
        source = data["source"]
        if source not in ("captions", "recognition"):
            raise ValueError(f"unknown transcript source {source!r}")
        words = tuple(Word(float(w["start"]), float(w["end"]), str(w["text"])) for w in data["words"])
        return cls(words, source, data.get("language"))


@dataclass(frozen=True, slots=True)
class Suggestion:
    """One drafted range: whole sentences with a little room before the first
    word and after the last, the signals that chose it in words a user reads,
    and the covered sentences as a placeholder narration to rewrite."""

    start: float
    end: float
    text: str  # the sentences the range covers
    score: float
    reasons: tuple[str, ...]  # e.g. "speech density 3.1 words/s", "keyword 'penalty'"

    def to_json(self) -> dict[str, Any]:
        return {"start": round(self.start, 3), "end": round(self.end, 3), "text": self.text,
                "score": round(self.score, 3), "reasons": list(self.reasons)}
