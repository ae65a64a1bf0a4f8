"""Captions of a recap from its narrations' word timings.

Each merged clip starts in the concatenation where the clips before it end,
by their real durations (probed before the engine removes them), and the
conversion plays everything `speed` times faster: a word spoken `t` seconds
into clip `i` is heard at `(offset_i + t) / speed` in the recap. A clip ends
at the shorter of its picture and its narration, so words past its end are
not captioned.

Cues hold one to three words, short-video style: a cue ends at a phrase's
punctuation or at a pause, and stays up until the next cue when the gap is
short; a segment's last cue stays until its clip ends.
"""

from __future__ import annotations

import os
import re
from collections.abc import Sequence
from dataclasses import dataclass

from ..services.narration_timing import NarrationTiming

__all__ = ["CAPTION_MODES", "Cue", "concat_list_paths", "place_cues", "to_ass", "to_srt", "to_vtt"]

# "files": NAME.srt and NAME.vtt beside the recap; "burn": also drawn into
# the picture; "track": also a soft subtitle track in the recap.
CAPTION_MODES = ("files", "burn", "track")
MAX_WORDS = 3
PAUSE_SPLIT = 0.35  # seconds of silence (in the recap) that end a cue
HOLD_GAP = 0.4  # a cue stays up across a shorter gap to the next
_PHRASE_END = re.compile(r"[.,;:!?…—]+[\"')\]]*$")

# Burned-in style for the 1080x1920 recap: bold white words with a black
# outline, centred, their baseline 420 px above the bottom: inside the lower
# third and above the band the platforms cover with their buttons and text.
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
FONT = "DejaVu Sans"
FONT_FILE = "DejaVuSans-Bold.ttf"
_ASS_HEAD = """[Script Info]
ScriptType: v4.00+
PlayResX: 1080
PlayResY: 1920
WrapStyle: 0
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Word,{font},96,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,7,0,2,120,120,420,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""


@dataclass(frozen=True)
class Cue:
    start: float  # seconds in the recap
    end: float
    text: str


def concat_list_paths(listing: str) -> list[str]:
    """The files of a concat demuxer list made of `file '<path>'` lines, in
    which an apostrophe is written '\\''."""
    paths = []
    for line in listing.splitlines():
        if line.startswith("file '") and line.endswith("'"):
            paths.append(line[len("file '"):-1].replace("'\\''", "'"))
    return paths


def _segment_cues(timing: NarrationTiming, offset: float, clip: float, speed: float, ends_at: float) -> list[Cue]:
    words = [w for w in timing.words if w.start < clip]
    cues: list[Cue] = []
    group: list[tuple[str, float, float]] = []
    for index, word in enumerate(words):
        group.append((word.word, (offset + word.start) / speed, (offset + min(word.end, clip)) / speed))
        following = words[index + 1] if index + 1 < len(words) else None
        pause = following is not None and (following.start - word.end) / speed >= PAUSE_SPLIT
        if following is None or pause or len(group) == MAX_WORDS or _PHRASE_END.search(word.word):
            cues.append(Cue(group[0][1], group[-1][2], " ".join(w for w, _, _ in group)))
            group = []
    held = [Cue(c.start, n.start if 0 <= n.start - c.end < HOLD_GAP else c.end, c.text) for c, n in zip(cues, cues[1:])]
    if cues:
        held.append(Cue(cues[-1].start, max(cues[-1].end, ends_at), cues[-1].text))
    return held


def place_cues(timings: Sequence[NarrationTiming], clip_durations: Sequence[float], speed: float) -> list[Cue]:
    """The recap's cues from each segment's narration timing and the real
    duration of its merged clip, in order."""
    if len(timings) != len(clip_durations):
        raise ValueError(f"{len(timings)} narration timings for {len(clip_durations)} clips")
    cues: list[Cue] = []
    offset = 0.0
    for timing, clip in zip(timings, clip_durations):
        cues += _segment_cues(timing, offset, clip, speed, (offset + clip) / speed)
        offset += clip
    return cues


def _clock(seconds: float, decimal: str) -> str:
    millis = max(0, round(seconds * 1000))
    hours, rest = divmod(millis, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return f"{hours:02d}:{minutes:02d}:{rest // 1000:02d}{decimal}{rest % 1000:03d}"


def _one_line(text: str) -> str:
    return " ".join(text.split())


def to_srt(cues: Sequence[Cue]) -> str:
    # A text line holding "-->" would read as a timing line.
    return "".join(f"{n}\n{_clock(c.start, ',')} --> {_clock(c.end, ',')}\n{_one_line(c.text).replace('-->', '->')}\n\n"
                   for n, c in enumerate(cues, 1))


def to_vtt(cues: Sequence[Cue]) -> str:
    # "-->" would end a cue's timing line early; "&" and "<" start markup.
    def safe(text: str) -> str:
        return _one_line(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")

    return "WEBVTT\n\n" + "".join(f"{_clock(c.start, '.')} --> {_clock(c.end, '.')}\n{safe(c.text)}\n\n"
                                  for c in cues)


def to_ass(cues: Sequence[Cue]) -> str:
    def clock(seconds: float) -> str:
        centis = max(0, round(seconds * 100))
        hours, rest = divmod(centis, 360_000)
        minutes, rest = divmod(rest, 6000)
        return f"{hours}:{minutes:02d}:{rest // 100:02d}.{rest % 100:02d}"

    def safe(text: str) -> str:  # braces start override tags, a backslash an escape
        return _one_line(text).replace("\\", "\\\u200b").replace("{", "(").replace("}", ")")

    return _ASS_HEAD.format(font=FONT) + "".join(
        f"Dialogue: 0,{clock(c.start)},{clock(c.end)},Word,,0,0,0,,{safe(c.text)}\n" for c in cues)


def font_installed() -> bool:
    return os.path.isfile(os.path.join(FONT_DIR, FONT_FILE))
