"""Subtitles burned into the source's picture, found from its frames, so
the recap's own captions can be drawn above them.

Film subtitles are bright letters with a dark outline (or on a dark box),
in a band of rows in the lower part of the picture, at the same rows all
along while their words change. A few frames a second of the joined video
(the chosen ranges only, I- and P-frames, the lower part alone, at a low
resolution) are read; in each, a row is text-like where enough bright
pixels lie right beside dark ones, in enough separate strokes; rows
text-like in a good share of the frames, close enough together, are the
subtitles' band. Graphics of one bright edge (a bar, a horizon) have too
few strokes; a picture's texture changes from frame to frame and rarely
keeps to the same rows.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ...runner import ChildStopped, Runner

__all__ = ["Band", "find_band", "on_picture"]

RATE = 2.0  # frames read a second of the joined video
STALL_S = 60.0  # the decoder writing no frame for this long is stuck (a crafted file)
WIDTH = 320  # of the analysed picture
LOWER = 0.6  # only the rows below this share of the height are read
BRIGHT, DARK = 180, 70  # grey levels of a letter's face and of its outline
NEAR = 2  # px (at WIDTH): a dark pixel this close beside a bright one
MIN_STROKES = 6  # separate bright-beside-dark runs in a text row
MIN_SHARE = 0.02  # of the row's pixels bright beside dark
FRAME_SHARE = 0.3  # of the frames read in which a row is text-like: a subtitle row
EXTEND_SHARE = 0.1  # rows this often text-like, next to the band, are in it (a second line, now and then)
MIN_FRAMES = 3  # fewer frames than this say nothing
JOIN = 0.04  # of the height: text-like rows closer than this are one band (two lines, the space in a letter)
MIN_BAND, MAX_BAND = 0.02, 0.3  # of the height: a band's plausible heights
MARGIN = 0.01  # of the height, added above and below the rows found (the outline, accents)


@dataclass(frozen=True)
class Band:
    """Rows of the source picture holding burned-in subtitles, as shares
    of its height (0 at the top), and the picture's size."""

    top: float
    bottom: float
    width: int
    height: int


def _text_rows(frame: Any, np: Any) -> Any:
    """Per row of a grey frame, whether it reads as a line of text."""
    bright, dark = frame >= BRIGHT, frame <= DARK
    beside = np.zeros_like(dark)
    for shift in range(1, NEAR + 1):
        beside[:, shift:] |= dark[:, :-shift]
        beside[:, :-shift] |= dark[:, shift:]
    hits = bright & beside
    strokes = (np.diff(hits.astype(np.int8), axis=1) == 1).sum(axis=1)
    return (strokes >= MIN_STROKES) & (hits.mean(axis=1) >= MIN_SHARE)


def band_of(frames: Sequence[Any], width: int, height: int) -> Band | None:
    """The band of the lower-part frames (each rows x WIDTH, grey), or None."""
    import numpy as np

    if len(frames) < MIN_FRAMES:
        return None
    share = np.mean([_text_rows(frame.astype(np.int16), np) for frame in frames], axis=0)
    full = frames[0].shape[0] / (1 - LOWER)  # the analysed picture's whole height, in rows
    # The lowest run of steady text rows that is tall enough is the band's core, grown by
    # the rows of the less frequent lines touching it.
    core = next((run for run in reversed(_runs(np.flatnonzero(share >= FRAME_SHARE), JOIN * full))
                 if MIN_BAND <= (run[1] - run[0] + 1) / full <= MAX_BAND), None)
    if core is None:
        return None
    first, last = core
    for run in _runs(np.flatnonzero(share >= EXTEND_SHARE), JOIN * full):
        if run[0] <= last + JOIN * full and run[1] >= first - JOIN * full:
            first, last = min(first, run[0]), max(last, run[1])
    top, bottom = LOWER + first / full - MARGIN, LOWER + (last + 1) / full + MARGIN
    return Band(round(max(LOWER, top), 4), round(min(1.0, bottom), 4), width, height)


def _runs(rows: Any, join: float) -> list[tuple[int, int]]:
    """(first, last) of each run of `rows` (ascending), across gaps up to `join`."""
    runs: list[tuple[int, int]] = []
    for row in map(int, rows):
        if runs and row - runs[-1][1] <= join:
            runs[-1] = (runs[-1][0], row)
        else:
            runs.append((row, row))
    return runs


def find_band(video: str, width: int, height: int, *, protocols: str = "file,pipe",
              runner: Runner | None = None) -> Band | None:
    """The burned-in subtitles' band of `video` (`width` x `height`), or None;
    ValueError when it cannot be read. `runner`: runs its ffmpeg (the run's:
    a cancel ends it)."""
    import numpy as np

    rows = max(2, round(WIDTH * height / width * (1 - LOWER) / 2) * 2)
    size = WIDTH * rows
    frames: list[Any] = []
    try:
        with (runner or Runner()).stream(
                ["ffmpeg", "-v", "error", "-nostdin", "-protocol_whitelist", protocols, "-skip_frame", "bidir",
                 "-i", video, "-an", "-vf",
                 f"fps={RATE},crop=iw:ih*{1 - LOWER}:0:ih*{LOWER},scale={WIDTH}:{rows},format=gray",
                 "-f", "rawvideo", "-"], what="the subtitles' reader", stall_limit=STALL_S) as child:
            while len(raw := child.read(size)) == size:
                frames.append(np.frombuffer(raw, np.uint8).reshape(rows, WIDTH))
    except ChildStopped as stopped:
        if stopped.why == "cancelled":
            raise
        raise ValueError(str(stopped)) from None
    if child.returncode != 0:
        raise ValueError(child.stderr.decode(errors="replace").strip()[-200:] or "no picture")
    return band_of(frames, width, height)


def on_picture(band: Band, size: tuple[int, int], fills: Sequence[str]) -> tuple[float, float] | None:
    """The band's rows (top, bottom px) on the recap's `size` picture, over
    every way the run shows the source: "cover" (scaled to cover, then
    cropped) or "inside" (scaled to fit whole); None where none shows it."""
    out_width, out_height = size
    tops, bottoms = [], []
    for fill in fills:
        pick = max if fill == "cover" else min
        scale = pick(out_width / band.width, out_height / band.height)
        offset = (out_height - band.height * scale) / 2
        top, bottom = (max(0.0, min(out_height, offset + share * band.height * scale))
                       for share in (band.top, band.bottom))
        if bottom > top:
            tops.append(top)
            bottoms.append(bottom)
    return (min(tops), max(bottoms)) if tops else None
