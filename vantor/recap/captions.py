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

Every style keeps its text inside the area the platforms leave free on a
1080x1920 picture: above the bottom 20% (their caption, names and buttons;
the baseline sits 420 px up) and clear of the right-hand 12% (their column
of buttons; text stays 130 px from the right edge, 60 px from the left).
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass

from ..services.caption_forms import visible_text
from ..services.narration_timing import NarrationTiming
from .caption_font import load_metrics

__all__ = ["CAPTION_MODES", "CAPTION_STYLES", "Cue", "concat_list_paths", "place_cues", "to_ass", "to_srt", "to_vtt"]

# "files": NAME.srt and NAME.vtt beside the recap; "burn": also drawn into
# the picture; "track": also a soft subtitle track in the recap.
CAPTION_MODES = ("files", "burn", "track")
# clean: white words, black outline; bold: the word being spoken turns gold;
# boxed: white words on a translucent black box.
CAPTION_STYLES = ("clean", "bold", "boxed")
MAX_WORDS = 3
PAUSE_SPLIT = 0.35  # seconds of silence (in the recap) that end a cue
HOLD_GAP = 0.4  # a cue stays up across a shorter gap to the next
_PHRASE_END = re.compile(r"[.,;:!?…—]+[\"')\]]*$")

# The drawn captions on the 1080x1920 recap (see the module's note on the safe area).
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT = "DejaVu Sans"
FONT_FILE = "DejaVuSans-Bold.ttf"
FONT_SIZE = 96
MARGIN_LEFT, MARGIN_RIGHT, MARGIN_BOTTOM = 60, 130, 420
OUTLINE, BOX_PAD = 7, 18
# The text of one line, with room for the widest of the outline and the box.
LINE_WIDTH = 1080 - MARGIN_LEFT - MARGIN_RIGHT - 2 * max(OUTLINE, BOX_PAD)
HIGHLIGHT = "&H00D7FF&"  # gold (ASS colours are blue, green, red)
_STYLE_LINES = {
    "clean": f"&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,{OUTLINE},0",
    "bold": f"&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,{OUTLINE},0",
    # BorderStyle 3: a box behind each line in the outline colour, 0x60 transparent.
    "boxed": f"&H00FFFFFF,&H00FFFFFF,&H60000000,&H60000000,-1,0,0,0,100,100,0,0,3,{BOX_PAD},0",
}
# WrapStyle 2: the renderer never wraps; the cues are already one line each.
_ASS_HEAD = """[Script Info]
ScriptType: v4.00+
PlayResX: 1080
PlayResY: 1920
WrapStyle: 2
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Word,{font},{size},{style},2,{left},{right},{bottom},1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""
# The same place for a player's own drawing of the VTT track: the cue box's
# top at 74% of the height (one line ends above 80%), 82% wide, centred at 46%.
VTT_PLACE = "line:74% position:46% size:82%"


@dataclass(frozen=True)
class Cue:
    start: float  # seconds in the recap
    end: float
    text: str
    words: tuple[tuple[str, float, float], ...] = ()  # each word's (text, start, end) in the recap


def concat_list_paths(listing: str) -> list[str]:
    """The files of a concat demuxer list made of `file '<path>'` lines, in
    which an apostrophe is written '\\''."""
    paths = []
    for line in listing.splitlines():
        if line.startswith("file '") and line.endswith("'"):
            paths.append(line[len("file '"):-1].replace("'\\''", "'"))
    return paths


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
        held.append(Cue(cues[-1].start, max(cues[-1].end, ends_at), cues[-1].text, cues[-1].words))
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


def _centis(seconds: float) -> int:
    return max(0, round(seconds * 100))


def _ass_text(cue: Cue, style: str) -> str:
    def safe(text: str) -> str:  # braces start override tags, a backslash an escape
        return _one_line(text).replace("\\", "\\\u200b").replace("{", "(").replace("}", ")")

    text = safe(cue.text)
    width = line_width(text)
    # A single word wider than the line is drawn narrower, never wrapped.
    squeeze = f"{{\\fscx{int(100 * LINE_WIDTH / width)}}}" if width > LINE_WIDTH else ""
    if style != "bold" or not cue.words:
        return squeeze + text
    shown = _centis(cue.start) * 10  # the event's start as the renderer has it, in ms

    def lit(word: str, start: float, end: float) -> str:
        on, off = max(0, round(start * 1000) - shown), max(0, round(end * 1000) - shown)
        # Each word starts white: a transform goes from the colour the word is given.
        return f"{{\\1c&HFFFFFF&\\t({on},{on + 1},\\1c{HIGHLIGHT})\\t({off},{off + 1},\\1c&HFFFFFF&)}}{safe(word)}"

    return squeeze + " ".join(lit(*word) for word in cue.words)


def to_ass(cues: Sequence[Cue], style: str = "clean") -> str:
    """The drawn captions; `bold` turns each word gold from its start to its end."""
    def clock(seconds: float) -> str:
        hours, rest = divmod(_centis(seconds), 360_000)
        minutes, rest = divmod(rest, 6000)
        return f"{hours}:{minutes:02d}:{rest // 100:02d}.{rest % 100:02d}"

    head = _ASS_HEAD.format(font=FONT, size=FONT_SIZE, style=_STYLE_LINES[style], left=MARGIN_LEFT,
                            right=MARGIN_RIGHT, bottom=MARGIN_BOTTOM)
    return head + "".join(f"Dialogue: 0,{clock(c.start)},{clock(c.end)},Word,,0,0,0,,{_ass_text(c, style)}\n"
                          for c in cues)


def font_installed() -> bool:
    return os.path.isfile(os.path.join(FONT_DIR, FONT_FILE))
