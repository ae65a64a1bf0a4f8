"""Captions of a recap from its narrations' word timings.

Each merged clip starts in the concatenation where the clips before it end,
by their real durations (probed before the engine removes them), and the
conversion plays everything `speed` times faster: a word spoken `t` seconds
into clip `i` is heard at `(offset_i + t) / speed` in the recap. A clip ends
at the shorter of its picture and its narration, so words past its end are
not captioned.

Cues hold one to three words, short-video style: a cue ends at a phrase's
punctuation, at a pause, or before a word that would not fit on its one
line (measured with the caption font's own metrics), and stays up until the
next cue when the gap is short; a segment's last cue stays until its clip
ends. So no cue is ever wrapped: each is one line, and a single word too
wide for the line is drawn narrower.

Cues are measured for the 1080x1920 picture at the medium size: above the
bottom 20% (the platforms' caption, names and buttons) and clear of the
right-hand 12% (their column of buttons; 130 px from the right edge, 60 px
from the left). How they are drawn (the styles, positions, sizes and the
safe area of every aspect) is `caption_styles` and `caption_layout`.
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ...services.caption_forms import visible_text
from ...services.narration_timing import NarrationTiming
from .caption_font import load_metrics
from .caption_layout import BASE_SIZES, BOX_PAD, OUTLINE, SAFE_AREAS

if TYPE_CHECKING:
    from ..timeline.model import Timeline

__all__ = ["CAPTION_MODES", "CAPTION_STYLES", "Cue", "place_cues", "timeline_cues", "to_srt", "to_vtt"]

# "files": NAME.srt and NAME.vtt beside the recap; "burn": also drawn into
# the picture; "track": also a soft subtitle track in the recap.
CAPTION_MODES = ("files", "burn", "track")
# How burned-in captions look (see `caption_styles`).
CAPTION_STYLES = ("clean", "bold", "boxed", "karaoke", "pop")
MAX_WORDS = 3
PAUSE_SPLIT = 0.35  # seconds of silence (in the recap) that end a cue
HOLD_GAP = 0.4  # a cue stays up across a shorter gap to the next
LINGER = 0.5  # seconds (in the recap) a segment's last cue stays after its last word
_PHRASE_END = re.compile(r"[.,;:!?…—]+[\"')\]]*$")

# The drawn captions' font; cues are measured at the 1080x1920 recap's medium size.
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT = "DejaVu Sans"
FONT_FILE = "DejaVuSans-Bold.ttf"
FONT_SIZE = BASE_SIZES["9:16"]
# The text of one line, with room for the widest of the outline and the box.
LINE_WIDTH = 1080 - SAFE_AREAS["9:16"].left - SAFE_AREAS["9:16"].right - 2 * max(OUTLINE, BOX_PAD)
# The same place for a player's own drawing of the VTT track: the cue box's
# top at 74% of the height (one line ends above 80%), 82% wide, centred at 46%.
VTT_PLACE = "line:74% position:46% size:82%"


@dataclass(frozen=True)
class Cue:
    start: float  # seconds in the recap
    end: float
    text: str
    words: tuple[tuple[str, float, float], ...] = ()  # each word's (text, start, end) in the recap


def line_width(text: str) -> float:
    """Pixels of `text` drawn in the captions' font and size."""
    return load_metrics(os.path.join(FONT_DIR, FONT_FILE)).width(text, FONT_SIZE)


def _segment_cues(timing: NarrationTiming, offset: float, clip: float, speed: float, ends_at: float) -> list[Cue]:
    words = [w for w in timing.words if w.start < clip]
    cues: list[Cue] = []
    group: list[tuple[str, float, float]] = []
    for index, word in enumerate(words):
        if group and line_width(" ".join([*(w for w, _, _ in group), word.word])) > LINE_WIDTH:
            cues.append(Cue(group[0][1], group[-1][2], " ".join(w for w, _, _ in group), tuple(group)))
            group = []
        group.append((word.word, (offset + word.start) / speed, (offset + min(word.end, clip)) / speed))
        following = words[index + 1] if index + 1 < len(words) else None
        pause = following is not None and (following.start - word.end) / speed >= PAUSE_SPLIT
        if following is None or pause or len(group) == MAX_WORDS or _PHRASE_END.search(word.word):
            cues.append(Cue(group[0][1], group[-1][2], " ".join(w for w, _, _ in group), tuple(group)))
            group = []
    held = [Cue(c.start, n.start if 0 <= n.start - c.end < HOLD_GAP else c.end, c.text, c.words)
            for c, n in zip(cues, cues[1:])]
    if cues:
        last = cues[-1]
        held.append(Cue(last.start, max(last.end, min(last.end + LINGER, ends_at)), last.text, last.words))
    return held


def place_cues(timings: Sequence[NarrationTiming], clip_durations: Sequence[float], speed: float,
               sound_lengths: Sequence[float] | None = None) -> list[Cue]:
    """The recap's cues from each segment's narration timing and the real
    duration of its merged clip, in order. `sound_lengths`: how long each
    clip's sound lasts in the concatenation, when it differs from the clip
    (whole coded audio frames, see `caption_step`): a narration is heard
    where the sound before it ends."""
    if len(timings) != len(clip_durations):
        raise ValueError(f"{len(timings)} narration timings for {len(clip_durations)} clips")
    lengths = clip_durations if sound_lengths is None else sound_lengths
    cues: list[Cue] = []
    offset = 0.0
    for timing, clip, length in zip(timings, clip_durations, lengths):
        cues += _segment_cues(timing, offset, clip, speed, (offset + clip) / speed)
        offset += length
    return cues


def timeline_cues(timings: Sequence[NarrationTiming], timeline: Timeline) -> list[Cue]:
    """The recap's cues from each range's narration timing, placed where
    the run's timeline has that narration start, none past its range."""
    if len(timings) != len(timeline.ranges):
        raise ValueError(f"{len(timings)} narration timings for {len(timeline.ranges)} ranges")
    cues: list[Cue] = []
    speed = timeline.speed
    for timing, rng in zip(timings, timeline.ranges):
        begins = rng.narration.start if rng.narration is not None else rng.recap_in
        # In the narration's own seconds: where it starts, and how much of it its clip plays.
        cues += _segment_cues(timing, begins * speed, (rng.recap_out - begins) * speed, speed, rng.recap_out)
    return cues


def _clock(seconds: float, decimal: str) -> str:
    millis = max(0, round(seconds * 1000))
    hours, rest = divmod(millis, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return f"{hours:02d}:{minutes:02d}:{rest // 1000:02d}{decimal}{rest % 1000:03d}"


def _one_line(text: str) -> str:
    # Nothing that reorders or hides text is drawn or written; no "-->" is left.
    return " ".join(visible_text(text).split())


def to_srt(cues: Sequence[Cue]) -> str:
    # A text line holding "-->" would read as a timing line (_one_line leaves none).
    return "".join(f"{n}\n{_clock(c.start, ',')} --> {_clock(c.end, ',')}\n{_one_line(c.text)}\n\n"
                   for n, c in enumerate(cues, 1))


def to_vtt(cues: Sequence[Cue]) -> str:
    # "-->" would end a cue's timing line early; "&" and "<" start markup.
    def safe(text: str) -> str:
        return _one_line(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")

    return "WEBVTT\n\n" + "".join(f"{_clock(c.start, '.')} --> {_clock(c.end, '.')} {VTT_PLACE}\n{safe(c.text)}\n\n"
                                  for c in cues)


def font_installed() -> bool:
    return os.path.isfile(os.path.join(FONT_DIR, FONT_FILE))
