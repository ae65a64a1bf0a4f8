"""Loudness of narrations: every narration leaves the speech service at one
speech target, so recaps play as loud as the videos around them.

Target: -16 LUFS integrated (EBU R 128 / ITU-R BS.1770), true peak at most
-1.5 dBTP.

A narration is levelled here, on its samples decoded once, with no child
process: measured (K-weighted, gated 400 ms blocks every 100 ms, as ffmpeg's
ebur128 reads it), given the missing gain, its peaks caught by a limiter that
sees the peaks between samples (4x oversampled), measured again and the gain
corrected; speech settles within 0.3 LU in one to four rounds. ffmpeg's
loudnorm is not used: narrations are often shorter than its 3 s window, and
on a one-word narration its two-pass linear mode lands 15 LU and more below
the target. `measure` reads a file with ffmpeg's ebur128, the reading the
levels are held to.
"""

from __future__ import annotations

import functools
import math
import os
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..runner import run
from .espeak_backend import SpeechFailed

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    Samples = NDArray[np.float32]

__all__ = ["TARGET_LUFS", "TRUE_PEAK_DBTP", "Loudness", "level", "measure", "meter"]

TARGET_LUFS = -16.0
TRUE_PEAK_DBTP = -1.5
# The limiter's ceiling sits below the true-peak limit: MP3 encoding adds
# a few tenths of a dB to peaks.
LIMITER_CEILING_DB = TRUE_PEAK_DBTP - 0.7
TOLERANCE_LU = 0.3
MAX_ROUNDS = 5
# No narration is raised more than this (a whisper stays a quiet narration
# rather than becoming amplified noise).
MAX_GAIN_DB = 40.0
# Quieter than this is silence (the meter's own gate is -70 LUFS): left alone.
SILENCE_LUFS = -60.0
# How fast the limiter's gain may move: down by 6 dB in 2 ms ahead of a
# peak, back up by 6 dB in 50 ms after it.
ATTACK_DB_PER_S = 6.0 / 0.002
RELEASE_DB_PER_S = 6.0 / 0.05
OVERSAMPLING = 4
_TAPS = 16  # each side of an interpolated point
_KAISER_BETA = 8.0
_BLOCK_S, _HOP_S = 0.4, 0.1
_ABSOLUTE_GATE, _RELATIVE_GATE = -70.0, -10.0


@dataclass(frozen=True)
class Loudness:
    integrated: float  # LUFS; -inf for silence
    true_peak: float  # dBTP; -inf for silence


def _db(value: float) -> float:
    return 20 * math.log10(value) if value > 0 else -math.inf


def _k_weighted(samples: Samples, rate: int) -> NDArray[np.float64]:
    """`samples` through BS.1770's K-weighting (a high shelf, then a high
    pass), applied by the filters' frequency response over a transform
    padded long enough that their ringing does not wrap."""
    import numpy as np

    size = 1 << max(1, int(len(samples) + rate // 2 - 1).bit_length())
    return np.fft.irfft(np.fft.rfft(samples, size) * _k_response(size, rate), size)[: len(samples)]


@functools.lru_cache(maxsize=8)
def _k_response(size: int, rate: int) -> NDArray[np.complex128]:
    import numpy as np

    def biquad(f0: float, q: float, gain_db: float | None) -> tuple[list[float], list[float]]:
        # The usual closed forms of the two filters for any sample rate.
        k = math.tan(math.pi * f0 / rate)
        a0 = 1 + k / q + k * k
        a = [1.0, 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0]
        if gain_db is None:
            return [1.0, -2.0, 1.0], a
        vh = 10 ** (gain_db / 20)
        vb = vh ** 0.4996667741545416
        return [(vh + vb * k / q + k * k) / a0, 2 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0], a

    z = np.exp(-1j * np.pi * np.arange(size // 2 + 1) / (size // 2))  # e^-jw at the transform's bins
    response = np.ones(size // 2 + 1, dtype=complex)
    for b, a in (biquad(1681.974450955533, 0.7071752369554196, 3.999843853973347),
                 biquad(38.13547087602444, 0.5003270373238773, None)):
        response *= (b[0] + b[1] * z + b[2] * z * z) / (a[0] + a[1] * z + a[2] * z * z)
    return response


def _integrated(samples: Samples, rate: int) -> float:
    """Gated integrated loudness (LUFS) of mono `samples`."""
    import numpy as np

    block, hop = int(_BLOCK_S * rate), rate // 10
    if len(samples) < block:
        return -math.inf  # not one whole block: the meter reads nothing
    power = np.concatenate(([0.0], np.cumsum(_k_weighted(samples, rate) ** 2)))
    starts = np.arange(0, len(samples) - block + 1, hop)
    blocks = (power[starts + block] - power[starts]) / block
    loud = blocks[-0.691 + 10 * np.log10(np.maximum(blocks, 1e-30)) >= _ABSOLUTE_GATE]
    if len(loud) == 0:
        return -math.inf
    gate = -0.691 + 10 * math.log10(float(loud.mean())) + _RELATIVE_GATE
    kept = loud[-0.691 + 10 * np.log10(loud) >= gate]
    return -0.691 + 10 * math.log10(float(kept.mean()))


def _peaks(samples: Samples) -> Samples:
    """Per sample, the largest magnitude of the signal from it up to the
    next sample: the sample and the points between, band-limited
    interpolation at OVERSAMPLING times the rate (Kaiser-windowed sinc)."""
    import numpy as np

    peaks = np.abs(samples)
    padded = np.pad(samples, (_TAPS - 1, _TAPS))
    offsets = np.arange(-_TAPS + 1, _TAPS + 1)
    for phase in range(1, OVERSAMPLING):
        t = offsets - phase / OVERSAMPLING  # from the point n + phase/OVERSAMPLING to samples n - TAPS + 1 .. n + TAPS
        taps = (np.sinc(t) * np.i0(_KAISER_BETA * np.sqrt(1 - (t / _TAPS) ** 2)) / np.i0(_KAISER_BETA)).astype(np.float32)
        np.maximum(peaks, np.abs(np.correlate(padded, taps, mode="valid")), out=peaks)
    return peaks


def meter(samples: Samples, rate: int) -> Loudness:
    """Integrated loudness and true peak of mono float `samples` at `rate`."""
    import numpy as np

    if len(samples) == 0:
        return Loudness(-math.inf, -math.inf)
    return Loudness(_integrated(samples, rate), _db(float(np.max(_peaks(samples)))))


def _limited(samples: Samples, peaks: Samples, gain_db: float, rate: int) -> Samples:
    """`samples` raised by `gain_db`, each peak (of `peaks`, the source's)
    brought down to LIMITER_CEILING_DB by a gain that falls and recovers no
    faster than the attack and release rates allow: the largest such gain
    curve (in dB) lying below what each sample needs."""
    import numpy as np

    with np.errstate(divide="ignore"):
        need = np.minimum(0.0, LIMITER_CEILING_DB - gain_db - 20 * np.log10(np.maximum(peaks, 1e-12)))
    if not need.any():
        return (samples * 10 ** (gain_db / 20)).astype(np.float32)
    n = np.arange(len(samples), dtype=float)
    attack, release = ATTACK_DB_PER_S / rate, RELEASE_DB_PER_S / rate
    # A cone from each sample's need: rising behind it at the release rate,
    # ahead of it at the attack rate; the curve is their lower envelope.
    behind = np.minimum.accumulate(need - release * n) + release * n
    ahead = np.minimum.accumulate((need + attack * n)[::-1])[::-1] - attack * n
    curve = np.minimum(behind, ahead)
    return (samples * 10 ** ((gain_db + curve) / 20)).astype(np.float32)


def level(samples: Samples, rate: int, target_lufs: float = TARGET_LUFS) -> tuple[Samples, Loudness, Loudness]:
    """Mono float `samples` at `target_lufs` within the true-peak limit:
    (levelled samples, loudness before, loudness after)."""
    peaks = _peaks(samples)
    before = Loudness(_integrated(samples, rate), _db(float(peaks.max())) if len(samples) else -math.inf)
    if before.integrated < SILENCE_LUFS:
        out = _limited(samples, peaks, 0.0, rate)
        return out, before, meter(out, rate)
    gain = min(target_lufs - before.integrated, MAX_GAIN_DB)
    out = _limited(samples, peaks, gain, rate)
    after = meter(out, rate)
    # The limiter takes back part of each added dB (most of it for peaky
    # speech), so each round's step follows the slope the last round showed.
    slope, last = 1.0, (gain, after.integrated)
    for _ in range(MAX_ROUNDS):
        miss = target_lufs - after.integrated
        if abs(miss) <= TOLERANCE_LU or not math.isfinite(miss):
            break
        gain = min(gain + miss / slope, MAX_GAIN_DB)
        out = _limited(samples, peaks, gain, rate)
        after = meter(out, rate)
        if gain != last[0]:
            slope = min(1.0, max(0.1, (after.integrated - last[1]) / (gain - last[0])))
        last = (gain, after.integrated)
    return out, before, after


def _number(text: str) -> float:
    return -math.inf if text.lstrip("-").startswith("inf") else float(text)


def measure(path: str | os.PathLike[str]) -> Loudness:
    """Integrated loudness and true peak of an audio file (ffmpeg ebur128)."""
    result = run(["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-i", os.fspath(path),
                  "-af", "ebur128=peak=true", "-f", "null", "-"], text=True)
    # ebur128's summary comes last: "I: -16.0 LUFS ... True peak: Peak: -1.6 dBFS".
    summary = result.stderr.rpartition("Summary:")[2]
    integrated = re.search(r"I:\s+(-?(?:[\d.]+|inf))\s+LUFS", summary)
    peak = re.search(r"Peak:\s+(-?(?:[\d.]+|inf))\s+dBFS", summary)
    if result.returncode != 0 or integrated is None or peak is None:
        raise SpeechFailed(f"cannot measure the loudness of the narration: {result.stderr.strip()[-200:]}")
    return Loudness(_number(integrated.group(1)), _number(peak.group(1)))
