"""A site's caption file as words with their times, read as hostile input.

Forms: YouTube's `json3` (segments with `tOffsetMs`: word times), WebVTT
(inline `<00:00:01.500>` stamps: word times; else cues), SubRip, and the XML
forms (TTML, `srv3`/`srv2`/`srv1`). Where only a cue's span is known, its
words share it by their length. Tags and entities are stripped; the lines
rolling automatic captions repeat from the cue before are dropped (in
time linear in the words). Words lose the bidirectional and zero-width
controls that would reorder or hide text, and any `-->` (a cue's timing
arrow in every form written from them). The content is bounded (bytes,
cues, words, one word's length, and the time and CPU the reading may take);
anything that does not read as its form is refused with one line
(`CaptionsMalformed`, `CaptionsTooSlow` past the time or CPU bound).
"""

from __future__ import annotations

import html
import json
import math
import re
import time
import xml.etree.ElementTree as ElementTree
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["CAPTION_FORMS", "MAX_CAPTION_BYTES", "MAX_CUES", "MAX_PARSE_CPU", "MAX_WORDS", "CaptionWord",
           "CaptionsMalformed", "CaptionsTooSlow", "parse_captions", "visible_text", "within_video"]

# The forms read, best first: word times, then cues.
CAPTION_FORMS = ("json3", "vtt", "srv3", "srv2", "srv1", "ttml", "srt")
MAX_CAPTION_BYTES = 8 * 1024 * 1024
MAX_CUES = 100_000
MAX_WORDS = 400_000
MAX_WORD_CHARS = 100
# Later than this (about four days) is no time in a video.
MAX_SECONDS = 360_000.0
# CPU seconds one reading may take (linear reading needs a small part of it).
MAX_PARSE_CPU = 20.0
_CHECK_EVERY = 1024  # words or cues between looks at the clock
# Characters that reorder or hide text: bidirectional embeddings, overrides,
# isolates and marks, zero-width spaces and joiners, the word joiner, BOM.
_CONTROLS = dict.fromkeys([0x061C, 0x00AD, *range(0x200B, 0x2010), *range(0x202A, 0x202F), *range(0x2060, 0x2065),
                           *range(0x2066, 0x206A), 0xFEFF])
_ARROW = re.compile(r"-{2,}>")

_TAG = re.compile(r"<[^>]*>")
_NOTE = re.compile(r"\[[^\]]*\]")  # [Music], [Applause]: sounds, not words
_CLOCK = re.compile(r"(?:(\d{1,3}):)?(\d{1,2}):(\d{2})[.,](\d{1,3})")
_CUE_TIMES = re.compile(rf"^\s*({_CLOCK.pattern})\s*-->\s*({_CLOCK.pattern})")
_STAMP = re.compile(rf"<({_CLOCK.pattern})>")


class CaptionsMalformed(ValueError):
    """The caption file is not what its form says (one line)."""


class CaptionsTooSlow(CaptionsMalformed):
    """Reading the file passed its deadline or its CPU bound."""


def visible_text(text: str) -> str:
    """`text` without bidirectional or zero-width controls and with every
    run of dashes before ">" made "->": no `-->` is left to end a cue's
    timing line."""
    return _ARROW.sub("->", text.translate(_CONTROLS))


@dataclass(frozen=True)
class CaptionWord:
    start: float
    end: float
    text: str


def _clock(text: str) -> float:
    match = _CLOCK.fullmatch(text.strip())
    if match is None:
        raise CaptionsMalformed(f"{text.strip()[:40]!r} is not a caption time")
    hours, minutes, seconds, fraction = match.groups()
    return int(hours or 0) * 3600 + int(minutes) * 60 + int(seconds) + int(fraction.ljust(3, "0")) / 1000


def _clean(text: str) -> list[str]:
    """The words of a caption's text, without tags, entities or sound notes."""
    text = visible_text(_NOTE.sub(" ", html.unescape(_TAG.sub(" ", text))))
    return [w[:MAX_WORD_CHARS] for w in text.split() if any(ch.isalnum() for ch in w)]


def _repeated(words: Sequence[str], tail: Sequence[str]) -> int:
    """The length of the longest start of `words` that ends `tail`, by the
    prefix function (Knuth-Morris-Pratt): linear in both."""
    if not words:
        return 0
    fail = [0] * len(words)
    k = 0
    for i in range(1, len(words)):
        while k and words[i] != words[k]:
            k = fail[k - 1]
        if words[i] == words[k]:
            k += 1
        fail[i] = k
    k = 0
    for word in tail:
        if k == len(words):
            k = fail[k - 1]
        while k and word != words[k]:
            k = fail[k - 1]
        if word == words[k]:
            k += 1
    return k


class _Words:
    """The words so far, bounded, with the rolling repeats dropped.
    `until`: time.monotonic() at the reading's deadline (None: none)."""

    def __init__(self, until: float | None = None) -> None:
        self.words: list[CaptionWord] = []
        self.cues = 0
        self._until = until
        self._cpu_until = time.thread_time() + MAX_PARSE_CPU

    def _look_at_the_clock(self, count: int) -> None:
        if count % _CHECK_EVERY:
            return
        if self._until is not None and time.monotonic() > self._until:
            raise CaptionsTooSlow("reading the captions took longer than the service's deadline")
        if time.thread_time() > self._cpu_until:
            raise CaptionsTooSlow(f"reading the captions took more than {MAX_PARSE_CPU:g} s of CPU")

    def cue(self, start: float, end: float, text: str) -> None:
        """A cue: its words, less those repeated from the cue before."""
        self.count_cue(start, end)
        self.spread(start, end, " ".join(self._fresh(_clean(text), start)))

    def spread(self, start: float, end: float, text: str) -> None:
        """The words of `text` share the span by their length."""
        words = _clean(text)
        total = sum(len(w) for w in words) or 1
        at = start
        for word in words:
            step = (end - start) * len(word) / total
            self.add(at, at + step, word)
            at += step

    def count_cue(self, start: float, end: float) -> None:
        self.cues += 1
        self._look_at_the_clock(self.cues)
        if self.cues > MAX_CUES:
            raise CaptionsMalformed(f"more than {MAX_CUES} cues")
        if not (math.isfinite(start) and math.isfinite(end)) or not 0 <= start <= end <= MAX_SECONDS:
            raise CaptionsMalformed(f"a cue from {start:g} s to {end:g} s is not in a video")

    def _fresh(self, words: list[str], start: float) -> list[str]:
        """`words` without what repeats the end of the words before: a rolling
        caption shows its last line again at the top of the next cue. A whole
        cue that repeats them, or two or more of its first words, go."""
        if not words or not self.words or start > self.words[-1].end + 0.05:
            return words
        k = _repeated(words, [w.text for w in self.words[-len(words):]])
        return words[k:] if k >= 2 or k == len(words) else words

    def add(self, start: float, end: float, text: str) -> None:
        self._look_at_the_clock(len(self.words))
        if len(self.words) >= MAX_WORDS:
            raise CaptionsMalformed(f"more than {MAX_WORDS} words")
        if not 0 <= start <= max(start, end) <= MAX_SECONDS:  # a word stamp or offset outside its cue
            raise CaptionsMalformed(f"a word at {start:g} s is not in a video")
        self.words.append(CaptionWord(round(start, 3), round(max(start, end), 3), text))


def _json3(text: str, out: _Words) -> None:
    try:
        data = json.loads(text)
    except (ValueError, RecursionError):
        raise CaptionsMalformed("not JSON") from None
    events = data.get("events") if isinstance(data, dict) else None
    if not isinstance(events, list):
        raise CaptionsMalformed("no list of events")
    for event in events:
        if not isinstance(event, dict) or not isinstance(event.get("segs"), list):
            continue  # window and style events carry no words
        start, length = _ms(event.get("tStartMs")), _ms(event.get("dDurationMs", 0))
        segs = [s for s in event["segs"] if isinstance(s, dict) and isinstance(s.get("utf8"), str)]
        offsets = [_ms(s.get("tOffsetMs", 0)) for s in segs]
        for i, seg in enumerate(segs):
            until = offsets[i + 1] if i + 1 < len(segs) else length
            if len(segs) > 1 or "tOffsetMs" in seg:
                out.count_cue(start, start + length)
                out.spread(start + offsets[i], start + max(until, offsets[i]), seg["utf8"])
            else:
                out.cue(start, start + length, seg["utf8"])


def _ms(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise CaptionsMalformed(f"{str(value)[:20]!r} is not a time in milliseconds")
    return value / 1000


def _blocks(text: str, blank: str = r"\n\n+") -> list[list[str]]:
    """The blocks between blank lines (WebVTT: empty lines only; a line
    holding a space belongs to its cue)."""
    return [b.splitlines() for b in re.split(blank, text.replace("\r\n", "\n")) if b.strip()]


def _vtt(text: str, out: _Words) -> None:
    if not text.lstrip("\ufeff").startswith("WEBVTT"):
        raise CaptionsMalformed("a WebVTT file starts with WEBVTT")
    for block in _blocks(text)[1:]:
        at = next((i for i, line in enumerate(block) if "-->" in line), None)
        if at is None:
            continue  # NOTE, STYLE, REGION
        times = _CUE_TIMES.match(block[at])
        if times is None:
            raise CaptionsMalformed(f"{block[at][:60]!r} is not a cue's times")
        start, end = _clock(times.group(1)), _clock(times.group(6))
        lines = block[at + 1:]
        stamped = [line for line in lines if _STAMP.search(line)]
        if not stamped:
            out.cue(start, end, " ".join(lines))
            continue
        # Word stamps: the unstamped lines repeat the cue before.
        out.count_cue(start, end)
        for line in stamped:
            pieces = _STAMP.split(line)
            at_time, spans = start, []
            spans.append((start, pieces[0]))
            for i in range(1, len(pieces), 6):
                at_time = _clock(pieces[i])
                spans.append((at_time, pieces[i + 5]))
            for n, (begins, piece) in enumerate(spans):
                ends = spans[n + 1][0] if n + 1 < len(spans) else end
                out.spread(begins, max(begins, ends), piece)


def _srt(text: str, out: _Words) -> None:
    for block in _blocks(text.lstrip("\ufeff"), r"\n\s*\n"):
        at = next((i for i, line in enumerate(block) if "-->" in line), None)
        times = _CUE_TIMES.match(block[at]) if at is not None else None
        if at is None or times is None:
            raise CaptionsMalformed(f"{block[0][:60]!r} is not a SubRip cue")
        out.cue(_clock(times.group(1)), _clock(times.group(6)), " ".join(block[at + 1:]))


def _xml_time(value: str | None, ms: bool) -> float | None:
    if value is None:
        return None
    value = value.strip()
    try:
        if ms:
            return int(value) / 1000
        if value.endswith("ms"):
            return float(value[:-2]) / 1000
        if value.endswith("s"):
            return float(value[:-1])
        if ":" in value:
            return _clock(value if re.search(r"[.,]\d", value) else value + ".0")
        return float(value)
    except ValueError:
        raise CaptionsMalformed(f"{value[:40]!r} is not a caption time") from None


def _xml(text: str, out: _Words) -> None:
    # Entities declared by the file could expand without bound: none is read.
    if re.search(r"<!(?:DOCTYPE|ENTITY)", text, re.IGNORECASE):
        raise CaptionsMalformed("the file declares entities")
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        raise CaptionsMalformed(f"not XML ({error})") from None
    for node in root.iter():
        name = node.tag.rsplit("}", 1)[-1]
        if name not in ("p", "text"):
            continue
        ms = "t" in node.attrib  # srv3/srv2: milliseconds
        start = _xml_time(node.get("t") or node.get("begin") or node.get("start"), ms)
        if start is None:
            continue
        length = _xml_time(node.get("d") or node.get("dur"), ms)
        stated_end = _xml_time(node.get("end"), False)
        end = stated_end if stated_end is not None else start + (length or 0.0)
        words = [s for s in node if s.tag.rsplit("}", 1)[-1] == "s"]
        if words:  # srv3 word segments with offsets
            out.count_cue(start, end)
            offsets = [start + (_xml_time(s.get("t"), True) or 0.0) for s in words]
            for i, s in enumerate(words):
                out.spread(offsets[i], offsets[i + 1] if i + 1 < len(words) else end, "".join(s.itertext()))
        else:
            out.cue(start, end, " ".join(node.itertext()))


_READERS = {"json3": _json3, "vtt": _vtt, "srt": _srt, "srv3": _xml, "srv2": _xml, "srv1": _xml, "ttml": _xml}


def parse_captions(content: bytes, form: str, *, until: float | None = None) -> list[CaptionWord]:
    """The words of a caption file in `form` (one of CAPTION_FORMS), read by
    `until` (time.monotonic(); None: no deadline) and within MAX_PARSE_CPU."""
    if len(content) > MAX_CAPTION_BYTES:
        raise CaptionsMalformed(f"the file is larger than {MAX_CAPTION_BYTES} bytes")
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        raise CaptionsMalformed("the file is not UTF-8 text") from None
    reader = _READERS.get(form)
    if reader is None:
        raise CaptionsMalformed(f"the form {form[:20]!r} is not read")
    out = _Words(until)
    reader(text, out)
    words = sorted(out.words, key=lambda w: w.start)
    return words


def within_video(words: list[CaptionWord], duration: float | None) -> list[CaptionWord]:
    """The words that start within a video `duration` seconds long, none
    ending past it (all of them when the length is not known)."""
    if duration is None:
        return words
    return [w if w.end <= duration else CaptionWord(w.start, round(duration, 3), w.text)
            for w in words if w.start < duration]
