"""Draft segments from a transcript: ranges of whole sentences chosen by
signals a user can read.

Every run of whole sentences that fits `length` is a candidate (a longer
sentence is cut at its longest pauses), scored by
how densely it is spoken against the whole video, how far it fills the
length, and the keywords it holds: those the user names, and the video's
own repeated rare words; and, when the video was read, a loudness peak
well above the video's median. The best are taken, none overlapping
another (a range's padding gives way to a range already taken), none
shorter than a recap's clip needs (`shortest`).
Each range begins PAD_BEFORE before its first word and ends PAD_AFTER after
its last, but never reaches into the words before or after it, nor past the
video's ends. Where the shot changes are known, a range stays within one
shot. The video's first and last ENDS_SECONDS (greetings, "thanks for
watching") are passed over unless `include_ends`.
"""

from __future__ import annotations

import math
import re
import statistics
from bisect import bisect_left, bisect_right
from collections import Counter, deque
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

from ..recap.checks.segments_check import DRAFT_MARKER, WORDS_PER_SECOND, parse_time
from .formats import short_clock
from .model import Sentence, Suggestion, Transcript, Word

__all__ = ["DEFAULT_LENGTH", "ENDS_SECONDS", "MIN_LENGTH", "PAD_AFTER", "PAD_BEFORE", "REWRITE", "draft_segments",
           "placeholder", "suggest"]

PAD_BEFORE = 0.3
PAD_AFTER = 0.7
REWRITE = DRAFT_MARKER
# A recap's clip: long enough to say a sentence over, short enough to keep the pace.
DEFAULT_LENGTH = 15.0
MIN_LENGTH = 6.0
# A channel's greeting and sign-off: this much at each end, at most a third of the video each.
ENDS_SECONDS = 30.0
# The video's own keywords: words this long, said this often, not common ones.
KEYWORD_CHARS = 4
KEYWORD_REPEATS = 3
KEYWORDS_FOUND = 8
# A sentence longer than the ranges is cut at a pause among this many words.
CUT_SCAN = 200
# A window's loudest second this far above the video's median is a peak.
PEAK_LU = 6.0
PEAK_SCORE = 1.0
_WORD = re.compile(r"[^\w'’-]+")
_COMMON = frozenset("""
about above after again against also always another anything around back been before being below between both
came come could didn does doing done down during each even ever every first from going gonna good got have having
here hers herself himself into just know like little look made make many maybe more most much must myself need
never only other ours ourselves over people pretty really right said same should some something still such sure
take than thank thanks that that's their theirs them themselves then there there's these they they're thing things
think this those though through time today very want wanna well were what when where which while will with would
yeah year years your yours yourself yourselves okay it's i'm don't can't we're you're let's going
""".split())


@dataclass(frozen=True)
class _Window:
    first: int  # sentence indices, inclusive
    last: int
    score: float
    reasons: tuple[str, ...]


def _norm(text: str) -> str:
    return _WORD.sub("", text.lower()).strip("'’-")


def _own_keywords(words: Sequence[Word]) -> list[str]:
    counts = Counter(n for w in words if len(n := _norm(w.text)) >= KEYWORD_CHARS and n not in _COMMON)
    return [word for word, seen in counts.most_common(KEYWORDS_FOUND) if seen >= KEYWORD_REPEATS]


@dataclass(frozen=True)
class _Signals:
    loudness: Sequence[float]
    median: float
    shots: Sequence[float]

    def shot_around(self, start: float, end: float) -> tuple[float, float] | None:
        """The shot holding all of start..end, as (its start, its end); None
        when a change falls inside. (0, inf) when no change is known."""
        i = bisect_right(self.shots, start)
        if bisect_left(self.shots, end) > i:
            return None
        return (self.shots[i - 1] if i else 0.0), (self.shots[i] if i < len(self.shots) else math.inf)


def suggest(transcript: Transcript, *, count: int = 5, length: float = DEFAULT_LENGTH, keywords: Sequence[str] = (),
            duration: float | None = None, loudness: Sequence[float] | None = None,
            shots: Sequence[float] | None = None, include_ends: bool = False) -> list[Suggestion]:
    """Up to `count` ranges of about `length` seconds, best first, none
    shorter than MIN_LENGTH (half of `length` when that is less).
    `keywords`: words the user looks for; `duration`: the video's length;
    `loudness`: each second's loudest LUFS and `shots`: the times shots
    change (signals.VideoSignals), when the video was read;
    `include_ends`: the video's first and last ENDS_SECONDS may be chosen."""
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"count must be a whole number of 1 or more, not {count!r}")
    if not math.isfinite(length) or length <= 0:
        raise ValueError(f"length must be a number of seconds above 0, not {length!r}")
    words = transcript.words
    sentences = _within(transcript.sentences(), words, length)
    if not include_ends:
        sentences = _past_the_ends(sentences, duration if duration is not None else words[-1].end if words else 0.0)
    if not sentences:
        return []
    overall = len(words) / max(sentences[-1].end - sentences[0].start, 1.0)
    wanted = [n for k in keywords if (n := _norm(k))]
    own = [k for k in _own_keywords(words) if k not in wanted]
    signals = _Signals(loudness or (), statistics.median(loudness) if loudness else 0.0, sorted(shots or ()))
    windows = list(_windows(sentences, words, length, overall, wanted, own, signals))
    shortest = min(MIN_LENGTH, length / 2)
    chosen: list[Suggestion] = []
    for window in sorted(windows, key=lambda w: (-w.score, w.first)):
        first, last = sentences[window.first], sentences[window.last]
        shot = signals.shot_around(first.start, last.end)
        assert shot is not None  # _windows yields none across a change
        start, end = _padded(first, last, words, duration)
        start, end = max(start, shot[0]), min(end, shot[1])
        # Padding may give way to a range already taken; the sentences may not.
        for taken in chosen:
            if start < taken.end and taken.start < end:
                start, end = (max(start, taken.end), end) if taken.start < first.start else (start, min(end, taken.start))
        if end - start < shortest or start > first.start or end < min(last.end, duration or last.end):
            continue
        text = " ".join(s.text for s in sentences[window.first:window.last + 1])
        chosen.append(Suggestion(start, end, text, window.score, window.reasons))
        if len(chosen) == count:
            break
    return chosen


def _past_the_ends(sentences: list[Sentence], duration: float) -> list[Sentence]:
    """The sentences said wholly after the video's opening ENDS_SECONDS and
    before its closing ones (a third of a shorter video at each end)."""
    ends = min(ENDS_SECONDS, duration / 3)
    return [s for s in sentences if s.start >= ends and s.end <= duration - ends]


def _within(sentences: list[Sentence], words: Sequence[Word], length: float) -> list[Sentence]:
    """The sentences, each longer than `length` cut into parts that fit,
    each cut at the longest pause among the last CUT_SCAN words before it
    would overflow (automatic captions have no punctuation: a monologue
    without a second's pause reads as one sentence). Linear in the words."""
    found: list[Sentence] = []

    def part(begin: int, stop: int) -> Sentence:
        return Sentence(words[begin].start, words[stop - 1].end, " ".join(w.text for w in words[begin:stop]), begin,
                        stop - begin)

    for s in sentences:
        if s.end - s.start <= length:
            found.append(s)
            continue
        begin, stop = s.first_word, s.first_word + s.word_count
        for i in range(begin + 1, stop):
            if words[i].end - words[begin].start > length:
                cut = max(range(max(begin + 1, i - CUT_SCAN), i + 1), key=lambda j: words[j].start - words[j - 1].end)
                found.append(part(begin, cut))
                begin = cut
        found.append(part(begin, stop))
    return found


def _windows(sentences: list[Sentence], words: Sequence[Word], length: float, overall: float,
             wanted: list[str], own: list[str], signals: _Signals) -> Iterable[_Window]:
    """Each run of whole sentences from each sentence that fits `length` (a
    longer single sentence stands alone) and, where shot changes are known,
    one shot, with its score and reasons."""
    norms = [_norm(w.text) for w in words]
    keyed = set(wanted) | set(own)
    # Prefix sums over sentences: words, and hits of each keyword.
    total = [0]
    hits: dict[str, list[int]] = {k: [0] for k in keyed}
    for s in sentences:
        total.append(total[-1] + s.word_count)
        seen = Counter(n for n in norms[s.first_word:s.first_word + s.word_count] if n in keyed)
        for k in keyed:
            hits[k].append(hits[k][-1] + seen[k])
    loudest = _Loudest(signals.loudness)
    last = 0
    for first in range(len(sentences)):
        last = max(last, first)
        while (last + 1 < len(sentences) and sentences[last + 1].end - sentences[first].start <= length
               and signals.shot_around(sentences[first].start, sentences[last + 1].end) is not None):
            last += 1
        if signals.shot_around(sentences[first].start, sentences[last].end) is None:
            continue  # one sentence said across a cut
        span = max(sentences[last].end - sentences[first].start, 1.0)
        density = (total[last + 1] - total[first]) / span
        found = {k: hits[k][last + 1] - hits[k][first] for k in keyed}
        named = {k: n for k in wanted if (n := found[k])}
        repeated = {k: n for k in own if (n := found[k])}
        fill = min(1.0, span / length)
        score = fill * density / overall + sum(min(n, 3) for n in named.values()) + 0.25 * len(repeated)
        reasons = [f"speech density {density:.1f} words/s (the video's {overall:.1f})",
                   f"{last - first + 1} sentence{'s' if last > first else ''} over {span:.1f} s"]
        if named:
            reasons.append("keywords " + ", ".join(f"'{k}' x{n}" for k, n in named.items()))
        if repeated:
            top = sorted(repeated.items(), key=lambda item: -item[1])[:3]
            reasons.append("the video's repeated words " + ", ".join(f"'{k}' x{n}" for k, n in top))
        peak = loudest.within(sentences[first].start, sentences[last].end)
        if peak is not None and (above := signals.loudness[peak] - signals.median) >= PEAK_LU:
            score += PEAK_SCORE * min(2.0, above / PEAK_LU)
            reasons.append(f"loudness peak {above:.0f} LU above the video's median at {short_clock(peak)}")
        if signals.shots:
            reasons.append("within one shot")
        yield _Window(first, last, score, tuple(reasons))


class _Loudest:
    """The loudest second of each window in turn: a sliding maximum, linear
    in the seconds, as both ends of `_windows`' windows only move onwards."""

    def __init__(self, loudness: Sequence[float]) -> None:
        self.loudness = loudness
        self.held: deque[int] = deque()  # seconds in the window, loudest first
        self.added = 0

    def within(self, start: float, end: float) -> int | None:
        low = int(start)
        high = min(len(self.loudness), max(low + 1, math.ceil(end)))
        while self.added < high:
            while self.held and self.loudness[self.held[-1]] <= self.loudness[self.added]:
                self.held.pop()
            self.held.append(self.added)
            self.added += 1
        while self.held and self.held[0] < low:
            self.held.popleft()
        return self.held[0] if self.held else None


def _padded(first: Sentence, last: Sentence, words: Sequence[Word], duration: float | None) -> tuple[float, float]:
    """The range around the sentences: padded, within the words either side and the video."""
    start = first.start - PAD_BEFORE
    if first.first_word > 0:
        start = max(start, min(words[first.first_word - 1].end, first.start))
    end = last.end + PAD_AFTER
    after = last.first_word + last.word_count
    if after < len(words):
        end = min(end, max(words[after].start, last.end))
    if duration is not None:
        end = min(end, duration)
    # Milliseconds, rounded outwards: the range still holds every word.
    return math.floor(max(0.0, start) * 1000 + 1e-6) / 1000, math.ceil(end * 1000 - 1e-6) / 1000


def placeholder(text: str, seconds: float) -> str:
    """The narration to rewrite: the covered words after REWRITE:, cut to
    what can be said in `seconds` at the pace `vantor check` assumes."""
    fits = math.floor(seconds * WORDS_PER_SECOND + 1e-9)
    while fits > 0 and fits / WORDS_PER_SECOND > seconds:  # the very test `vantor check` makes
        fits -= 1
    budget = max(1, fits - 1)
    said = text.split()
    if len(said) > budget:
        said = said[:budget]
        said[-1] += "…"
    return " ".join([REWRITE, *said])


def draft_segments(suggestions: Sequence[Suggestion]) -> list[dict[str, str]]:
    """A segments file's content: the ranges in the video's order, times as
    the engine reads them, each narration a placeholder to rewrite."""
    draft = []
    for s in sorted(suggestions, key=lambda s: s.start):
        start, end = f"{s.start:.3f}", f"{s.end:.3f}"
        seconds = (parse_time(end) or 0.0) - (parse_time(start) or 0.0)  # as the check reads them
        draft.append({"start": start, "end": end, "voiceover": placeholder(s.text, seconds)})
    return draft
