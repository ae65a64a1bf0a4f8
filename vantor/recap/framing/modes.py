"""How the recap's picture is framed: the modes, the aspects, the filters
that frame each range's picture in the conversion (before the join and the
speed change), and the smart mode's camera path.

Every mode that crops takes its window from the source picture first and
scales only that window to the output's size (never the whole picture to
a cover size and most of it thrown away): the same picture for a fraction
of the scaling. A window's centre is a share of the source's width, the
same share of the picture scaled to cover the output.

`smart` moves the crop window over the picture. The path is computed per
range on the analysis samples (a few a second), starting anew at each
range's first frame, and written as an expression of `t`, piecewise linear
between them and nested as a balanced search over its keys, so a long path
stays a shallow expression (ffmpeg refuses a flat sum of more than about
ninety terms). Within a shot the camera holds while the subject stays
inside the dead zone and otherwise eases toward it, never faster than
`MAX_STEP_PX` pixels per output frame; at a shot change and at each range's
first frame it cuts.

A range may override the run's mode (its segment's `"frame"`: left,
centre, right or blur); a shot whose two subjects cannot share one crop is
shown whole over blur. Where a picture mixes a crop with whole pictures, it
is split once and the layers are switched by time (`enable`), all in the
same encode.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from fractions import Fraction

__all__ = ["ASPECTS", "CENTER", "DEFAULT_ASPECT", "DEFAULT_FRAME", "FIXED_CROPS", "FRAME_MODES", "MAX_STEP_PX",
           "RANGE_FRAMES", "Sample", "camera_path", "check_framing", "check_range_frame", "code_spelling",
           "crop_window", "framing_filter", "layered_filter", "path_expression", "range_layout", "smart_filter",
           "spans_expression"]

CENTER = "center"  # the one spelling in code; "centre" is accepted wherever a user types it
FRAME_MODES = ("smart", CENTER, "blur", "fit")
DEFAULT_FRAME = "smart"
ASPECTS = {"9:16": (1080, 1920), "4:5": (1080, 1350), "1:1": (1080, 1080), "16:9": (1920, 1080)}
DEFAULT_ASPECT = "9:16"
# A range's own framing (its segment's "frame"): auto follows the run's mode.
RANGE_FRAMES = ("auto", "left", CENTER, "right", "blur")
# Where each fixed crop sits, as the crop's centre over the picture's width (clipped to the picture).
FIXED_CROPS = {"left": 0.0, CENTER: 0.5, "right": 1.0}
_TYPED = {"centre": CENTER}  # a user's other spelling of a name above

MAX_STEP_PX = 6  # the most the crop moves between two output frames within a shot
DEAD_ZONE = 0.12  # of the crop's width: the subject may wander this far from the centre before the camera moves
EASE = 1.5  # per second: the camera closes this share of the gap each second (below the bound), easing in


def check_framing(frame: object, aspect: object) -> tuple[str, str]:
    """The mode and aspect, or ValueError saying which values are known
    (a user's "centre" is "center")."""
    frame = code_spelling(frame)
    if frame not in FRAME_MODES:
        raise ValueError(f"the frame mode must be one of {', '.join(FRAME_MODES)}, not {frame!r}")
    if aspect not in ASPECTS:
        raise ValueError(f"the aspect must be one of {', '.join(ASPECTS)}, not {aspect!r}")
    return str(frame), str(aspect)


def code_spelling(value: object) -> object:
    """A mode or range framing a user typed, in code's spelling ("centre"
    is "center"); anything else as it is."""
    return _TYPED.get(value, value) if isinstance(value, str) else value


def check_range_frame(value: object) -> str | None:
    """None when `value` is a range's framing, else what is wrong, in words."""
    if range_layout(value) is not None or value == "auto":
        return None
    return f"{value!r} is no framing; use one of {', '.join(RANGE_FRAMES)}"


def range_layout(value: object) -> str | None:
    """A range's own framing in code's spelling (left, center, right or
    blur); None: it follows the run's ("auto", absent or unknown)."""
    value = code_spelling(value)
    return str(value) if value in RANGE_FRAMES and value != "auto" else None


def crop_window(width: int, height: int, aspect: str) -> tuple[int, int]:
    """The window of a `width` x `height` picture that scales to cover the
    aspect's size, as the crop takes it."""
    out_w, out_h = ASPECTS[aspect]
    return int(min(width, height * out_w / out_h) + 1e-9), int(min(height, width * out_h / out_w) + 1e-9)


def _window(aspect: str) -> str:
    """The crop window's size as expressions of the input's, so the chain
    needs no probe of the picture. Exact: a window rounded to even pixels
    would be stretched by the scale (a pixel or two at its far edge)."""
    out_w, out_h = ASPECTS[aspect]
    return f"w='min(iw,ih*{out_w}/{out_h})':h='min(ih,iw*{out_h}/{out_w})':exact=1"


def framing_filter(frame: str, aspect: str, label: str = "", picture: tuple[int, int] | None = None) -> str:
    """The filters of the modes without analysis (and of `smart` where no
    path is known: the centre). `label`: a prefix that
    keeps a layered chain's pads apart from another's in one graph;
    `picture`: the source's size, when known (`smart_filter`)."""
    width, height = ASPECTS[aspect]
    if frame == "fit":
        inside = f"scale={width}:{height}:force_original_aspect_ratio=decrease:force_divisible_by=2"
        return f"{inside},pad={width}:{height}:(ow-iw)/2:(oh-ih)/2:black,setsar=1"
    if frame == "blur":
        return _blurred(aspect, "", label)
    return smart_filter(aspect, "0.5", picture)


def _blurred(aspect: str, source: str, label: str = "") -> str:
    """The whole picture over a blurred copy of itself; `source`: the
    input's pad ("" for the chain's own); `label`: the pads' prefix."""
    width, height = ASPECTS[aspect]
    inside = f"scale={width}:{height}:force_original_aspect_ratio=decrease:force_divisible_by=2"
    # The backdrop is the cover window blurred at an eighth of the size: the same look for a fraction of the work.
    small_w, small_h = _even(width / 8), _even(height / 8)
    bg, fg, back, front = (f"[{label}vantor_{name}]" for name in ("bg", "fg", "back", "front"))
    return (f"{source}split{bg}{fg};{bg}crop={_window(aspect)},scale={small_w}:{small_h},boxblur=6:2,"
            f"eq=brightness=-0.12,scale={width}:{height}{back};{fg}{inside}{front};{back}{front}"
            f"overlay=(W-w)/2:(H-h)/2,setsar=1")


def layered_filter(aspect: str, centre_expression: str, spans: Sequence[tuple[float, float, str]],
                   base: str = "crop", label: str = "", picture: tuple[int, int] | None = None) -> str:
    """A picture that switches layout by time: `base` ("crop", at
    `centre_expression`; "blur"; "fit") except within each (start, end,
    layout) span. The input is split once per layout used; each layer other
    than the base is laid over it while its spans last. `label`: a prefix
    for the chain's own pads (one per chain of a graph); `picture`: the
    source's size, when known (`smart_filter`)."""
    used = list(dict.fromkeys([base, *(layout for _, _, layout in spans if layout != base)]))
    if len(used) == 1:
        return smart_filter(aspect, centre_expression, picture) if base == "crop" else \
            framing_filter(base, aspect, label)
    chains = ["split=" + str(len(used)) + "".join(f"[{label}vantor_in_{layout}]" for layout in used)]
    for layout in used:
        pad = f"[{label}vantor_in_{layout}]"
        if layout == "crop":
            chains.append(pad + smart_filter(aspect, centre_expression, picture))
        elif layout == "blur":
            chains.append(_blurred(aspect, pad, label))
        else:
            chains.append(pad + framing_filter(layout, aspect, label))
        chains[-1] += f"[{label}vantor_{layout}]"
    below = f"[{label}vantor_{base}]"
    for number, layout in enumerate(used[1:], 1):
        during = spans_expression([(start, end) for start, end, kind in spans if kind == layout])
        chains.append(f"{below}[{label}vantor_{layout}]overlay=0:0:enable='{during}'"
                      + ("" if number == len(used) - 1 else f"[{label}vantor_over_{number}]"))
        below = f"[{label}vantor_over_{number}]"
    return ";".join(chains)


def smart_filter(aspect: str, centre_expression: str, picture: tuple[int, int] | None = None) -> str:
    """The cover window taken from the source, its centre (a share of the
    width, an expression of `t`) following the camera path, then scaled to
    the aspect's size.

    `picture`: the source's size, when known. Then the window is placed to
    the output's pixel (a source pixel is several of the recap's): a window
    a few source pixels wider is cropped and scaled, and the recap's window
    cut from it where the whole picture scaled to cover would have put it."""
    width, height = ASPECTS[aspect]
    if picture is None:
        return (f"crop={_window(aspect)}:x='clip(({centre_expression})*iw-ow/2,0,iw-ow)':y='(ih-oh)/2',"
                f"scale={width}:{height},setsar=1")
    source_w, source_h = picture
    scale = max(width / source_w, height / source_h)
    cover_w, cover_h = round(source_w * scale), round(source_h * scale)  # the picture scaled to cover
    horizontal = _Axis(source_w, cover_w, width)
    vertical = _Axis(source_h, cover_h, height)
    # Where the cover scale's crop (rounded, then down to even pixels) puts the window, in the scaled
    # picture's pixels.
    left = f"2*floor(round(clip(({centre_expression})*{cover_w}-{width / 2},0,{cover_w - width}))/2)"
    top = round((cover_h - height) / 2) // 2 * 2
    at = horizontal.edge("ld(0)")
    wide_top = vertical.place(top)
    return (f"crop=w={horizontal.wide}:h={vertical.wide}:x='if(gte(st(0,{left}),-1),{at},0)':y={wide_top}:exact=1,"
            f"scale={horizontal.scaled}:{vertical.scaled},"
            f"crop=w={width}:h={height}:x='if(gte(st(0,{left}),-1),clip(round(ld(0)-{at}*{horizontal.ratio:.8f}),"
            f"0,iw-ow),0)':y={min(max(round(top - wide_top * vertical.ratio), 0), vertical.scaled - height)}:exact=1,"
            "setsar=1")


class _Axis:
    """One axis of a window cropped wide from the source and scaled: its
    edge snapped to source pixels on which the cover scale's grid falls
    (every `step`), so the scaled window's pixels are the cover picture's
    (to a fraction of a pixel where the cover's size was rounded)."""

    def __init__(self, source: int, cover: int, out: int) -> None:
        self.ratio = cover / source
        # Both edges even (the chroma of an odd one sits half a pixel off): the wide crop's, and the
        # window's within the scaled one (the cover crop's is even).
        ratio = Fraction(cover, source).limit_denominator(16)
        self.step = math.lcm(ratio.denominator * (2 if ratio.numerator % 2 else 1), 2)
        room = math.ceil(out / self.ratio) + 2 * _MARGIN + self.step
        self.wide = min(source, math.ceil(room / self.step) * self.step)
        self.scaled = round(self.wide * self.ratio)
        self._last = source - self.wide

    def place(self, scaled: int) -> int:
        """`edge` of a fixed window."""
        return min(max(self.step * math.floor((scaled / self.ratio - _MARGIN) / self.step), 0), self._last)

    def edge(self, scaled: str) -> str:
        """The wide crop's edge (source pixels) for a window at `scaled`
        (an expression, in the cover picture's pixels)."""
        return f"clip({self.step}*floor(({scaled}/{self.ratio:.8f}-{_MARGIN})/{self.step}),0,{self._last})"


_MARGIN = 2  # source pixels each side of the window, for the output's pixel to be found within them


def spans_expression(spans: Sequence[tuple[float, float]]) -> str:
    """1 within any of the (start, end) spans of `t`, else 0: a balanced
    search over them, shallow however many there are."""
    ordered = sorted(spans)
    if not ordered:
        return "0"
    if len(ordered) == 1:
        return f"between(t,{ordered[0][0]:.4f},{ordered[0][1]:.4f})"
    half = len(ordered) // 2
    return (f"if(lt(t,{ordered[half][0]:.4f}),{spans_expression(ordered[:half])},"
            f"{spans_expression(ordered[half:])})")


def _even(value: float) -> int:
    return max(2, int(round(value / 2)) * 2)


@dataclass(frozen=True)
class Sample:
    """One analysed frame: its time in the analysed stretch, its shot, and
    the subject's centre as a share of the width (None: none found);
    `apart`: two faces of about one size that no crop holds together."""

    time: float
    shot: int
    subject: float | None
    apart: bool = False


def camera_path(samples: Sequence[Sample], *, scaled_width: float, crop_width: float, speed: float,
                fps: float) -> list[tuple[float, float]]:
    """(output time, crop centre as a share of the scaled width) keyframes.

    The camera's centre is kept where the crop fits; it jumps only at a shot
    change, to the shot's first subject (a shot without one: the centre).
    `fps`: the output's frame rate, for the per-frame bound."""
    half = crop_width / 2
    low, high = half, max(half, scaled_width - half)
    max_speed = MAX_STEP_PX * fps  # pixels per output second
    dead = DEAD_ZONE * crop_width
    keys: list[tuple[float, float]] = []
    camera, shot = 0.0, None
    for index, sample in enumerate(samples):
        t = sample.time / speed
        target = _target(samples, index, scaled_width)
        target = min(high, max(low, target))
        if sample.shot != shot:
            shot, camera = sample.shot, target
            if keys:
                keys.append((t, keys[-1][1]))  # the old shot holds up to the cut
        else:
            gap = target - camera
            if abs(gap) > dead:
                dt = t - keys[-1][0]
                step = min(max_speed * dt, abs(gap) * min(1.0, EASE * dt), abs(gap) - dead)
                camera += step if gap > 0 else -step
        keys.append((t, camera))
    return [(t, x / scaled_width) for t, x in _simplified(keys)]


def _target(samples: Sequence[Sample], index: int, scaled_width: float) -> float:
    """Where the camera wants to be: the subject, else the shot's last one
    seen (else its first ahead, else the centre)."""
    shot = samples[index].shot
    for step in (range(index, -1, -1), range(index + 1, len(samples))):
        for other in step:
            if samples[other].shot != shot:
                break
            if samples[other].subject is not None:
                return float(samples[other].subject) * scaled_width  # type: ignore[arg-type]
    return scaled_width / 2


def _simplified(keys: list[tuple[float, float]]) -> list[tuple[float, float]]:
    """Drops keyframes on the line between their neighbours: a held camera is two points."""
    kept: list[tuple[float, float]] = []
    for key in keys:
        if len(kept) >= 2:
            (t0, x0), (t1, x1) = kept[-2], kept[-1]
            if t1 > t0 and key[0] > t1 and abs(x0 + (x1 - x0) * (key[0] - t0) / (t1 - t0) - key[1]) < 1e-6:
                kept[-1] = key
                continue
        kept.append(key)
    return kept


def path_expression(keys: Sequence[tuple[float, float]], digits: int = 5) -> str:
    """The keyframes as an expression of `t`: linear between two keys, a
    step where two share a time (a cut), the first value before them and the
    last after; nested as a balanced search, so its depth grows with the
    logarithm of the keys. `digits`: of each value (a pixel needs fewer)."""
    if not keys:
        return "0.5"
    if len(keys) == 1:
        return f"{keys[0][1]:.{digits}f}"
    if len(keys) == 2:
        (t0, x0), (t1, x1) = keys
        if t1 - t0 < 1e-6:
            return f"if(lt(t,{t1:.4f}),{x0:.{digits}f},{x1:.{digits}f})"
        if abs(x1 - x0) < 10 ** -digits:
            return f"{x0:.{digits}f}"
        return f"{x0:.{digits}f}{x1 - x0:+.{digits}f}*clip((t-{t0:.4f})/{t1 - t0:.4f},0,1)"
    half = len(keys) // 2
    return (f"if(lt(t,{keys[half][0]:.4f}),{path_expression(keys[:half + 1], digits)},"
            f"{path_expression(keys[half:], digits)})")


def evaluate(keys: Sequence[tuple[float, float]], t: float) -> float:
    """The path's value at time `t`, as the expression gives it."""
    value = keys[0][1] if keys else 0.5
    for (t0, x0), (t1, x1) in zip(keys, keys[1:]):
        if t1 - t0 < 1e-6:
            value += (x1 - x0) * (t >= t1)
        else:
            value += (x1 - x0) * min(1.0, max(0.0, (t - t0) / (t1 - t0)))
    return value
