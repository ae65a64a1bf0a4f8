"""How the recap's picture is framed: the modes, the aspects, the filters
that follow the speed-up in the conversion's -vf, and the smart mode's
camera path.

`smart` moves a crop of the output's size over the picture scaled to cover
it. The path is computed on the analysis samples (a few a second) and
written as one ffmpeg expression of `t`, piecewise linear between them, so
the crop follows it within the conversion's own encode. Within a shot the
camera holds while the subject stays inside the dead zone and otherwise
eases toward it, never faster than `MAX_STEP_PX` pixels per output frame;
at a shot change it cuts.

A range may override the run's mode (its segment's `"frame"`: left,
centre, right or blur); a shot whose two subjects cannot share one crop is
shown whole over blur. Where a run mixes a crop with whole pictures, the
picture is split once and the layers are switched by time (`enable`), all
in the same encode.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["ASPECTS", "DEFAULT_ASPECT", "DEFAULT_FRAME", "FIXED_CROPS", "FRAME_MODES", "MAX_STEP_PX", "RANGE_FRAMES",
           "Sample", "camera_path", "check_framing", "check_range_frame", "framing_filter", "held_expression",
           "layered_filter", "path_expression", "smart_filter"]

FRAME_MODES = ("smart", "center", "blur", "fit")
DEFAULT_FRAME = "smart"
ASPECTS = {"9:16": (1080, 1920), "4:5": (1080, 1350), "1:1": (1080, 1080), "16:9": (1920, 1080)}
DEFAULT_ASPECT = "9:16"
# A range's own framing (its segment's "frame"): auto follows the run's mode.
RANGE_FRAMES = ("auto", "left", "centre", "right", "blur")
# Where each fixed crop sits, as the crop's centre over the scaled width (clipped to the picture).
FIXED_CROPS = {"left": 0.0, "centre": 0.5, "right": 1.0}

MAX_STEP_PX = 6  # the most the crop moves between two output frames within a shot
DEAD_ZONE = 0.12  # of the crop's width: the subject may wander this far from the centre before the camera moves
EASE = 1.5  # per second: the camera closes this share of the gap each second (below the bound), easing in


def check_framing(frame: object, aspect: object) -> tuple[str, str]:
    """The mode and aspect, or ValueError saying which values are known."""
    if frame not in FRAME_MODES:
        raise ValueError(f"the frame mode must be one of {', '.join(FRAME_MODES)}, not {frame!r}")
    if aspect not in ASPECTS:
        raise ValueError(f"the aspect must be one of {', '.join(ASPECTS)}, not {aspect!r}")
    return str(frame), str(aspect)


def check_range_frame(value: object) -> str | None:
    """None when `value` is a range's framing, else what is wrong, in words."""
    if value in RANGE_FRAMES:
        return None
    return f"{value!r} is no framing; use one of {', '.join(RANGE_FRAMES)}"


def framing_filter(frame: str, aspect: str) -> str:
    """The filters after the speed-up for the modes without analysis (and
    `smart` before its path is known: the centre)."""
    width, height = ASPECTS[aspect]
    cover = f"scale={width}:{height}:force_original_aspect_ratio=increase,crop={width}:{height}"
    inside = f"scale={width}:{height}:force_original_aspect_ratio=decrease:force_divisible_by=2"
    if frame == "fit":
        return f"{inside},pad={width}:{height}:(ow-iw)/2:(oh-ih)/2:black,setsar=1"
    if frame == "blur":
        return _blurred(aspect, "")
    return cover


def _blurred(aspect: str, label: str) -> str:
    """The whole picture over a blurred copy of itself; `label`: the input's
    ("" for the chain's own)."""
    width, height = ASPECTS[aspect]
    inside = f"scale={width}:{height}:force_original_aspect_ratio=decrease:force_divisible_by=2"
    # The backdrop is blurred at an eighth of the size: the same look for a fraction of the work.
    small_w, small_h = _even(width / 8), _even(height / 8)
    return (f"{label}split[vantor_bg][vantor_fg];[vantor_bg]scale={small_w}:{small_h}:force_original_aspect_ratio="
            f"increase,crop={small_w}:{small_h},boxblur=6:2,eq=brightness=-0.12,scale={width}:{height}"
            f"[vantor_back];[vantor_fg]{inside}[vantor_front];[vantor_back][vantor_front]"
            f"overlay=(W-w)/2:(H-h)/2,setsar=1")


def layered_filter(aspect: str, centre_expression: str, spans: Sequence[tuple[float, float, str]],
                   base: str = "crop") -> str:
    """A picture that switches layout by output time: `base` ("crop", at
    `centre_expression`; "blur"; "fit") except within each (start, end,
    layout) span. The input is split once per layout used; each layer other
    than the base is laid over it while its spans last."""
    used = list(dict.fromkeys([base, *(layout for _, _, layout in spans if layout != base)]))
    if len(used) == 1:
        return smart_filter(aspect, centre_expression) if base == "crop" else framing_filter(base, aspect)
    chains = ["split=" + str(len(used)) + "".join(f"[vantor_in_{layout}]" for layout in used)]
    for layout in used:
        label = f"[vantor_in_{layout}]"
        if layout == "crop":
            chains.append(label + smart_filter(aspect, centre_expression))
        elif layout == "blur":
            chains.append(_blurred(aspect, label))
        else:
            chains.append(label + framing_filter(layout, aspect))
        chains[-1] += f"[vantor_{layout}]"
    below = f"[vantor_{base}]"
    for number, layout in enumerate(used[1:], 1):
        during = "+".join(f"between(t,{start:.4f},{end:.4f})" for start, end, kind in spans if kind == layout)
        chains.append(f"{below}[vantor_{layout}]overlay=0:0:enable='{during}'"
                      + ("" if number == len(used) - 1 else f"[vantor_over_{number}]"))
        below = f"[vantor_over_{number}]"
    return ";".join(chains)


def smart_filter(aspect: str, centre_expression: str) -> str:
    """Cover, then a crop whose centre (a share of the scaled width, as an
    expression of the output's `t`) follows the camera path."""
    width, height = ASPECTS[aspect]
    return (f"scale={width}:{height}:force_original_aspect_ratio=increase,"
            f"crop=w={width}:h={height}:x='clip(({centre_expression})*iw-ow/2,0,iw-ow)':y='(ih-oh)/2'")


def held_expression(centre_expression: str, held: Sequence[tuple[float, float, float]]) -> str:
    """The crop's centre held at a fixed share within each (start, end,
    share) span of output time, following `centre_expression` elsewhere."""
    if not held:
        return centre_expression
    inside = [f"gte(t,{start:.4f})*lt(t,{end:.4f})" for start, end, _ in held]
    fixed = "+".join(f"{share:.4f}*{span}" for (_, _, share), span in zip(held, inside))
    return f"({centre_expression})*(1-({'+'.join(inside)}))+{fixed}"


def _even(value: float) -> int:
    return max(2, int(round(value / 2)) * 2)


@dataclass(frozen=True)
class Sample:
    """One analysed frame: its time in the joined video, its shot, and the
    subject's centre as a share of the width (None: none found); `apart`:
    two faces of about one size that no crop holds together."""

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


def path_expression(keys: Sequence[tuple[float, float]]) -> str:
    """The keyframes as one flat expression of `t` (no nesting, so a long
    path parses): the first value plus each segment's change, ramped over
    its span (a jump at a cut is a step)."""
    if not keys:
        return "0.5"
    terms = [f"{keys[0][1]:.5f}"]
    for (t0, x0), (t1, x1) in zip(keys, keys[1:]):
        change = x1 - x0
        if abs(change) < 1e-7:
            continue
        if t1 - t0 < 1e-6:
            terms.append(f"{change:+.5f}*gte(t,{t1:.4f})")
        else:
            terms.append(f"{change:+.5f}*clip((t-{t0:.4f})/{t1 - t0:.4f},0,1)")
    return "".join(terms)


def evaluate(keys: Sequence[tuple[float, float]], t: float) -> float:
    """The path's value at output time `t`, as the expression gives it."""
    value = keys[0][1] if keys else 0.5
    for (t0, x0), (t1, x1) in zip(keys, keys[1:]):
        if t1 - t0 < 1e-6:
            value += (x1 - x0) * (t >= t1)
        else:
            value += (x1 - x0) * min(1.0, max(0.0, (t - t0) / (t1 - t0)))
    return value
