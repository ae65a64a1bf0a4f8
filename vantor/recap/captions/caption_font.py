"""How wide a caption line is drawn, from the caption font's own metrics.

The advance widths are read from the TrueType file itself (its cmap and
hmtx tables), so a cue is split where the drawn line would really pass the
safe area, not where a guess says. Without the file, a per-glyph table
wider than the font's widest glyphs of each kind stands in: lines come out
shorter, never wider.
"""

from __future__ import annotations

import functools
import struct

__all__ = ["FontMetrics", "load_metrics"]

# Fallback advances in em: DejaVu Sans Bold's widest of each kind, rounded up.
_WIDE, _NARROW, _SPACE = 1.05, 0.45, 0.35
_NARROW_CHARS = set("iljtf.,;:!'|()[]1 ")


class FontMetrics:
    """`width(text, size)`: pixels of `text` at an ASS font size `size`."""

    def __init__(self, advances: dict[int, int] | None, units: int, height: int, default: int) -> None:
        self._advances, self._units, self._height, self._default = advances, units, height, default

    def width(self, text: str, size: float) -> float:
        if self._advances is None:
            em = sum(_SPACE if ch == " " else _NARROW if ch in _NARROW_CHARS else _WIDE for ch in text)
            return em * size
        # The renderer scales a font so that its ascent plus descent is the style's size.
        units = sum(self._advances.get(ord(ch), self._default) for ch in text)
        return units * size / self._height


def _tables(data: bytes) -> dict[bytes, bytes]:
    count = struct.unpack_from(">H", data, 4)[0]
    tables = {}
    for i in range(count):
        tag, _, offset, length = struct.unpack_from(">4sIII", data, 12 + 16 * i)
        tables[tag] = data[offset:offset + length]
    return tables


def _cmap(table: bytes) -> dict[int, int]:
    """Code point -> glyph, from the cmap's format 4 (Unicode BMP) subtable."""
    count = struct.unpack_from(">H", table, 2)[0]
    for i in range(count):
        platform, encoding, offset = struct.unpack_from(">HHI", table, 4 + 8 * i)
        if (platform, encoding) in ((3, 1), (0, 3)) and struct.unpack_from(">H", table, offset)[0] == 4:
            break
    else:
        raise ValueError("no Unicode cmap")
    segs = struct.unpack_from(">H", table, offset + 6)[0] // 2
    ends = struct.unpack_from(f">{segs}H", table, offset + 14)
    starts = struct.unpack_from(f">{segs}H", table, offset + 16 + 2 * segs)
    deltas = struct.unpack_from(f">{segs}h", table, offset + 16 + 4 * segs)
    ranges_at = offset + 16 + 6 * segs
    ranges = struct.unpack_from(f">{segs}H", table, ranges_at)
    glyphs: dict[int, int] = {}
    for s in range(segs):
        for code in range(starts[s], min(ends[s], 0xFFFE) + 1):
            if ranges[s] == 0:
                glyph = (code + deltas[s]) & 0xFFFF
            else:
                at = ranges_at + 2 * s + ranges[s] + 2 * (code - starts[s])
                glyph = struct.unpack_from(">H", table, at)[0]
                glyph = (glyph + deltas[s]) & 0xFFFF if glyph else 0
            if glyph:
                glyphs[code] = glyph
    return glyphs


@functools.cache
def load_metrics(path: str) -> FontMetrics:
    try:
        with open(path, "rb") as f:
            tables = _tables(f.read())
        units = struct.unpack_from(">H", tables[b"head"], 18)[0]
        ascent, descent = struct.unpack_from(">hh", tables[b"hhea"], 4)
        metrics = struct.unpack_from(">H", tables[b"hhea"], 34)[0]
        widths = struct.unpack_from(f">{2 * metrics}H", tables[b"hmtx"], 0)[::2]
        advances = {code: widths[min(glyph, metrics - 1)] for code, glyph in _cmap(tables[b"cmap"]).items()}
        return FontMetrics(advances, units, ascent - descent, max(widths))
    except (OSError, KeyError, ValueError, struct.error):
        return FontMetrics(None, 1, 1, 0)
