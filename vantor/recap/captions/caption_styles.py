"""The drawn captions' ASS script: the styles, from cues with their words'
times, at a `caption_layout.Placement`.

- clean: white words, black outline.
- bold: the word being spoken turns gold.
- boxed: white words on a translucent black box.
- karaoke: the words already spoken white, the one being spoken yellow,
  those still to come grey.
- pop: the word being spoken drawn larger.

A word marked in its narration (`*word*`, see `emphasis`) is drawn in the
emphasis colour in every style, except while the styles that light the
spoken word light it.

Each state of a line is an event of its own (a word starting or ending
starts the next), so what a frame shows depends on its time alone and no
transform is left to the renderer's rounding. A line never wraps: a cue
wider than the line is shown as consecutive lines, each from its first
word's start, and a single word too wide for the line is drawn narrower.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass

from .caption_font import load_metrics
from .caption_layout import POP_SCALE, CaptionLook, Placement
from .cues import FONT, FONT_DIR, FONT_FILE

__all__ = ["COLOURS", "StyledCue", "Word", "to_ass"]

# RGB. Karaoke's three and the emphasis stay apart from each other and from
# the outline, so a frame tells which word is in which state.
COLOURS = {
    "text": (255, 255, 255),
    "highlight": (255, 215, 0),  # bold: gold
    "spoken": (255, 255, 255),  # karaoke
    "current": (255, 230, 0),
    "coming": (160, 160, 160),
    "emphasis": (0, 200, 255),
}


@dataclass(frozen=True)
class Word:
    text: str
    start: float  # seconds in the recap
    end: float
    emphasis: bool = False


@dataclass(frozen=True)
class StyledCue:
    start: float
    end: float
    words: tuple[Word, ...]
    timed: bool = True  # False: the words' times are not known (no word is lit)


def _ass_colour(name: str) -> str:
    red, green, blue = COLOURS[name]
    return f"&H{blue:02X}{green:02X}{red:02X}&"


def _centis(seconds: float) -> int:
    return max(0, round(seconds * 100))


def _clock(centis: int) -> str:
    hours, rest = divmod(centis, 360_000)
    minutes, rest = divmod(rest, 6000)
    return f"{hours}:{minutes:02d}:{rest // 100:02d}.{rest % 100:02d}"


def _safe(text: str) -> str:
    """Braces start override tags, a backslash an escape."""
    return " ".join(text.split()).replace("\\", "\\\u200b").replace("{", "(").replace("}", ")")


def _width(text: str, size: float) -> float:
    return load_metrics(os.path.join(FONT_DIR, FONT_FILE)).width(text, size)


def _wide(line: Sequence[Word], look: CaptionLook, place: Placement) -> float:
    """Pixels of the line's text at its widest (in `pop`, its widest word lit)."""
    widths = [_width(_safe(w.text), place.size) for w in line]
    grown = (POP_SCALE - 1) * max(widths) if look.style == "pop" else 0.0
    return sum(widths) + _width(" ", place.size) * (len(line) - 1) + grown


def _lines(words: Sequence[Word], look: CaptionLook, place: Placement) -> list[list[Word]]:
    """The words in lines that fit, in order (a word alone may not fit)."""
    lines: list[list[Word]] = []
    for word in words:
        if lines and _wide([*lines[-1], word], look, place) <= place.line_width:
            lines[-1].append(word)
        else:
            lines.append([word])
    return [line for line in lines if line]


def _word(word: Word, state: str, look: CaptionLook, squeeze: float) -> str:
    """One word's overrides and text; `state`: spoken, current or coming."""
    colour = "emphasis" if word.emphasis else "text"
    if state == "current" and look.style == "bold":
        colour = "highlight"
    elif look.style == "karaoke" and (state == "current" or not word.emphasis):
        colour = state
    grow = POP_SCALE if state == "current" and look.style == "pop" else 1.0
    return (f"{{\\1c{_ass_colour(colour)}\\fscx{100 * squeeze * grow:.0f}\\fscy{100 * grow:.0f}}}"
            f"{_safe(word.text)}")


def _state(word: Word, at: int) -> str:
    if _centis(word.end) <= at:
        return "spoken"
    return "current" if _centis(word.start) <= at else "coming"


def _events(cue: StyledCue, look: CaptionLook, place: Placement) -> list[tuple[int, int, str, str]]:
    """(start, end in centiseconds, the words drawn, the line's plain text with its squeeze)."""
    lines = _lines(cue.words, look, place)
    starts = [_centis(cue.start)] + [_centis(line[0].start) for line in lines[1:]]
    ends = starts[1:] + [_centis(cue.end)]
    lit = cue.timed and look.style in ("bold", "karaoke", "pop")
    events = []
    for line, start, end in zip(lines, starts, ends):
        wide = _wide(line, look, place)
        squeeze = min(1.0, place.line_width / wide) if wide else 1.0
        plain = f"{{\\fscx{100 * squeeze:.0f}}}" + " ".join(_safe(w.text) for w in line)
        cuts = sorted({start, end, *(t for w in line if lit for t in (_centis(w.start), _centis(w.end))
                                     if start < t < end)})
        for at, until in zip(cuts, cuts[1:]):
            words = " ".join(_word(w, _state(w, at) if lit else "spoken", look, squeeze) for w in line)
            events.append((at, until, words, plain))
    return events


_HEAD = """[Script Info]
ScriptType: v4.00+
PlayResX: {width}
PlayResY: {height}
WrapStyle: 2
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Caption,{font},{size:.1f},&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,{outline:.1f},0,2,0,0,0,1
Style: Box,{font},{size:.1f},&HFF000000,&HFF000000,&H60000000,&H60000000,-1,0,0,0,100,100,0,0,3,{pad:.1f},0,2,0,0,0,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""


def to_ass(cues: Sequence[StyledCue], look: CaptionLook, place: Placement) -> str:
    """The script of `cues` drawn in `look` at `place`."""
    boxed = look.style == "boxed"
    head = _HEAD.format(width=place.width, height=place.height, font=FONT, size=place.size,
                        outline=0 if boxed else place.outline, pad=place.pad)
    where = f"{{\\an2\\pos({place.x:.0f},{place.bottom:.0f})}}"
    lines = []
    for cue in cues:
        for start, end, words, plain in _events(cue, look, place):
            clock = f"{_clock(start)},{_clock(end)}"
            if boxed:  # BorderStyle 3 under the words: one box a line (a box a word would overlap its neighbours)
                lines.append(f"Dialogue: 0,{clock},Box,,0,0,0,,{where}{plain}\n")
            lines.append(f"Dialogue: 1,{clock},Caption,,0,0,0,,{where}{words}\n")
    return head + "".join(lines)
