"""Words a narration marks for colour: `*word*`, or `*a few words*`.

The marks are for the captions only: every narration reaches the speech
service, the engine and the caption files without an asterisk (a speech
engine reads one aloud as "asterisk"), a lone one included. The drawn
captions colour the marked words (`caption_styles`).

The word timings count a narration's words as the speech service does
(`services.narration_timing`: the whitespace-separated pieces holding a
letter or digit), and removing asterisks neither adds nor drops such a
piece, so the n-th timed word is the n-th word of the marked text.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import replace

from ...services.narration_timing import NarrationTiming

from .caption_styles import StyledCue, Word
from .cues import Cue

__all__ = ["marked_timing", "marked_words", "spoken_segments", "spoken_text", "styled_cues"]

# An opening asterisk before a non-space, its closing one after a non-space.
_MARKED = re.compile(r"\*(?=[^\s*])(.*?[^\s*])\*")
_MARK = "*"  # kept before a marked word between the timing and the cues (no spoken word holds one)


def spoken_text(text: str) -> str:
    """The narration as it is spoken and shown."""
    return text.replace("*", "")


def marked_words(text: str) -> list[bool]:
    """Per spoken word of `text`, whether it is marked."""
    spans = [match.span(1) for match in _MARKED.finditer(text)]
    flags = []
    for piece in re.finditer(r"\S+", text):
        if any(ch.isalnum() for ch in piece.group()):
            flags.append(any(any(ch.isalnum() for ch in text[max(a, piece.start()):min(b, piece.end())])
                             for a, b in spans))
    return flags


def spoken_segments(segments: Sequence[dict[str, object]]) -> list[dict[str, object]] | None:
    """`segments` with their narrations as spoken; None when none is marked."""
    def marked(segment: object) -> bool:
        return isinstance(segment, dict) and isinstance(segment.get("voiceover"), str) and \
            "*" in segment["voiceover"]

    if not any(marked(segment) for segment in segments):
        return None
    return [{**segment, "voiceover": spoken_text(str(segment["voiceover"]))} if marked(segment) else segment
            for segment in segments]


def marked_timing(timing: NarrationTiming, narration: str) -> NarrationTiming:
    """The timing with its marked words flagged for `styled_cues`; as it is
    when its words are not the narration's (then nothing is coloured)."""
    flags = marked_words(narration)
    if not any(flags) or len(flags) != len(timing.words):
        return timing
    return replace(timing, words=tuple(replace(w, word=_MARK + w.word) if flag else w
                                       for w, flag in zip(timing.words, flags)))


def styled_cues(cues: Sequence[Cue]) -> tuple[list[Cue], list[StyledCue]]:
    """The cues as the caption files show them (no flag) and as they are drawn."""
    plain, styled = [], []
    for cue in cues:
        words = tuple(Word(text.removeprefix(_MARK), start, end, text.startswith(_MARK))
                      for text, start, end in cue.words)
        if not words:
            words = tuple(Word(text, cue.start, cue.end) for text in cue.text.split())
        shown = " ".join(w.text for w in words) if cue.words else cue.text
        plain.append(Cue(cue.start, cue.end, shown, tuple((w.text, w.start, w.end) for w in words)
                         if cue.words else ()))
        styled.append(StyledCue(cue.start, cue.end, words, timed=bool(cue.words)))
    return plain, styled
