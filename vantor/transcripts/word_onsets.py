"""Where each recognised word's sound begins.

Whisper's word times give a pause before a stretch of speech to the stretch's
first word ("The" from 0.0 s when it is said at 1.0 s), which would put a
click-to-seek or a drafted range a second early. So each word's start is
moved forward to the first 10 ms of it that is within ONSET_DB of the word's
loudest: over silence that is where the word is heard; over music or noise
louder than that, the start stays where the model put it. A start is only
ever moved later, and never past MIN_WORD_S before the word's end.
"""

from __future__ import annotations

from typing import Any

from .model import Word

__all__ = ["FRAME_S", "MIN_WORD_S", "ONSET_DB", "levels", "sharpen_starts"]

FRAME_S = 0.01
# Fricatives ("s", "h") are some 20-30 dB below the vowel after them: still the word.
ONSET_DB = 35.0
MIN_WORD_S = 0.05


def levels(samples: Any, rate: int) -> Any:
    """The RMS level of each FRAME_S of `samples` (numpy float32)."""
    import numpy as np

    size = int(rate * FRAME_S)
    count = len(samples) // size
    frames = np.asarray(samples[:count * size], dtype=np.float32).reshape(count, size)
    return np.sqrt(np.einsum("ij,ij->i", frames, frames) / size)  # no copy of a long film's samples


def sharpen_starts(words: list[Word], samples: Any, rate: int) -> list[Word]:
    """`words` with each start moved to where its sound begins (see above)."""
    import numpy as np

    heard_at = levels(samples, rate)
    sharpened = []
    for word in words:
        first, last = int(word.start / FRAME_S), int(np.ceil(word.end / FRAME_S))
        window = heard_at[first:last]
        start = word.start
        if len(window) and (peak := float(window.max())) > 0:
            heard = int(np.argmax(window >= peak * 10 ** (-ONSET_DB / 20)))
            start = max(word.start, min((first + heard) * FRAME_S, word.end - MIN_WORD_S))
        sharpened.append(Word(round(start, 3), word.end, word.text))
    return sharpened
