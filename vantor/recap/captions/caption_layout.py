"""Where burned-in captions go on the recap's picture, and how large.

Each aspect has a safe area: the part of the picture that the players of
short videos leave uncovered. A vertical player (1080x1920 on screen)
lays over the picture its bottom band (the post's caption, the account's
name, the sound's ticker and the progress bar: the lowest fifth, 384 px)
and the column of buttons on the right (like, comment, share, the sound's
disc: about 12% of the width, 130 px), with its tabs across the top tenth.
The other shapes are shown in that same player, scaled to its width and
centred, and lose what falls under those overlays:

- 9:16 (1080x1920) fills it: all three overlays.
- 4:5 (1080x1350) sits from 285 to 1635 px: the bottom band covers its
  lowest 135 px, the tabs miss it; the buttons' column covers its right.
- 1:1 (1080x1080) sits from 420 to 1500 px: only the buttons' column.
- 16:9 (1920x1080) is scaled to 1080x608 there (the buttons' 130 px are 230
  of its own), and in a landscape player the controls cover its lowest
  eighth; 5% is kept from the other edges (the title-safe margin).

A caption's text, its outline and its box stay inside the safe area at
every position and size; the layout measures its lines with the caption
font's own metrics (`caption_font`).
"""

from __future__ import annotations

import re
from dataclasses import dataclass

from ..framing.modes import ASPECTS

__all__ = ["CAPTION_POSITIONS", "CAPTION_SIZES", "DEFAULT_POSITION", "DEFAULT_SIZE", "SAFE_AREAS", "CaptionLook",
           "Placement", "SafeArea", "caption_look", "check_caption_size", "placement"]


@dataclass(frozen=True)
class SafeArea:
    """Pixels kept clear from each edge of the picture."""

    left: int
    top: int
    right: int
    bottom: int


SAFE_AREAS = {
    "9:16": SafeArea(left=60, top=192, right=130, bottom=420),  # 1080x1920: the band's 384 px and a margin
    "4:5": SafeArea(left=60, top=60, right=130, bottom=170),  # 1080x1350: the band's 135 px and a margin
    "1:1": SafeArea(left=60, top=60, right=130, bottom=60),  # 1080x1080: the buttons only
    "16:9": SafeArea(left=96, top=54, right=230, bottom=135),  # 1920x1080
}
# The font size (px) of "medium" per aspect: the 1080-wide shapes show at one
# scale in a vertical player, so at one size; 16:9 is for landscape players.
BASE_SIZES = {"9:16": 96, "4:5": 96, "1:1": 96, "16:9": 80}
CAPTION_POSITIONS = ("bottom", "middle", "top")
DEFAULT_POSITION = "bottom"
CAPTION_SIZES = {"small": 0.8, "medium": 1.0, "large": 1.25}
DEFAULT_SIZE = "medium"
SIZE_PERCENT = (50, 200)  # a size given as a percentage of medium
OUTLINE, BOX_PAD = 7, 18  # px at medium; they grow with the size
EDGE = 3  # px the renderer's smoothing and rounding may draw past a border
POP_SCALE = 1.25  # `pop`: the word being spoken, this much larger
GAP = 0.015  # of the height, between the captions and burned-in subtitles
_PERCENT = re.compile(r"^\s*(\d{1,3}(?:\.\d+)?)\s*%?\s*$")


@dataclass(frozen=True)
class CaptionLook:
    """How burned-in captions look: a style of `captions.CAPTION_STYLES`, a
    position of CAPTION_POSITIONS, and a size (a name of CAPTION_SIZES or a
    percentage of medium, "120%")."""

    style: str = "clean"
    position: str = DEFAULT_POSITION
    size: str = DEFAULT_SIZE

    @property
    def scale(self) -> float:
        named = CAPTION_SIZES.get(self.size)
        return named if named is not None else float(self.size.rstrip("%")) / 100


def check_caption_size(size: object) -> str:
    """The size as a CaptionLook keeps it ("large", "120%"); ValueError,
    in one line, for anything else."""
    low, high = SIZE_PERCENT
    if isinstance(size, str) and size.strip().lower() in CAPTION_SIZES:
        return size.strip().lower()
    match = _PERCENT.match(size) if isinstance(size, str) else None
    value = float(match.group(1)) if match else float(size) if isinstance(size, (int, float)) and \
        not isinstance(size, bool) else None
    if value is None or not low <= value <= high:
        raise ValueError(f"the caption size must be {', '.join(CAPTION_SIZES)} or a percentage of medium from "
                         f"{low} to {high} (such as 120%), not {size!r}")
    return f"{value:g}%"


def caption_look(style: str, position: str = DEFAULT_POSITION, size: object = DEFAULT_SIZE) -> CaptionLook:
    """The look, its position and size checked (ValueError in one line)."""
    if position not in CAPTION_POSITIONS:
        raise ValueError(f"the caption position must be one of {', '.join(CAPTION_POSITIONS)}, not {position!r}")
    return CaptionLook(style, position, check_caption_size(size))


@dataclass(frozen=True)
class Placement:
    """Where the lines go on a `width` x `height` picture: centred at `x`,
    their box's bottom at `bottom` (px). `line_width`: the most a line's text
    may take; `size`, `outline`, `pad`: the font size and the border drawn
    around the text, in px. `moved`: lifted above burned-in subtitles."""

    width: int
    height: int
    x: float
    bottom: float
    line_width: float
    size: float
    outline: float
    pad: float
    moved: bool = False


def placement(look: CaptionLook, aspect: str, avoid: tuple[float, float] | None = None) -> Placement:
    """The lines' place for `look` at `aspect`; `avoid`: rows (top, bottom
    px) of burned-in subtitles that the captions must clear."""
    width, height = ASPECTS[aspect]
    safe = SAFE_AREAS[aspect]
    size = BASE_SIZES[aspect] * look.scale
    outline, pad = OUTLINE * look.scale, BOX_PAD * look.scale
    border = (pad if look.style == "boxed" else outline) + EDGE
    # A line's box is its font size high (the renderer scales the font so), the spoken word larger in `pop`.
    tall = size * (POP_SCALE if look.style == "pop" else 1.0) + 2 * border
    lowest, highest = height - safe.bottom, safe.top + tall  # the box's bottom stays between these
    bottom = {"bottom": lowest, "top": highest, "middle": (safe.top + height - safe.bottom + tall) / 2}[look.position]
    moved = False
    if avoid is not None:
        gap = GAP * height
        if bottom + gap > avoid[0] and bottom - tall - gap < avoid[1]:  # the box meets the subtitles' rows
            bottom, moved = max(highest, avoid[0] - gap), True
    usable = width - safe.left - safe.right - 2 * border
    return Placement(width, height, safe.left + (width - safe.left - safe.right) / 2, bottom - border, usable,
                     size, outline, pad, moved)
