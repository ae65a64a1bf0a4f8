"""Loudness of narrations: every narration leaves the speech service at one
speech target, so recaps play as loud as the videos around them.

Target: -16 LUFS integrated (EBU R 128 / ITU-R BS.1770, as ffmpeg's ebur128
measures it), true peak at most -1.5 dBTP.

ffmpeg's loudnorm filter is not used: narrations are often shorter than its
3 s window, and on a one-word narration its two-pass linear mode lands 15 LU
and more below the target. Instead: measure, apply the missing gain, catch
the peaks with a limiter run at four times the sample rate (so it sees the
peaks between samples), measure again and correct the gain; speech settles
within 0.3 LU in one to four rounds.
"""

from __future__ import annotations

import math
import os
import re
import subprocess
from dataclasses import dataclass

from .espeak_backend import SpeechFailed

__all__ = ["TARGET_LUFS", "TRUE_PEAK_DBTP", "Loudness", "measure", "normalise"]

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
# Quieter than this is silence (ebur128's gate is -70 LUFS): left alone.
SILENCE_LUFS = -60.0


@dataclass(frozen=True)
class Loudness:
    integrated: float  # LUFS; -inf for silence
    true_peak: float  # dBTP; -inf for silence


def _number(text: str) -> float:
    return -math.inf if text.lstrip("-").startswith("inf") else float(text)


def _summary(result: subprocess.CompletedProcess[str]) -> Loudness:
    # ebur128's summary comes last: "I: -16.0 LUFS ... True peak: Peak: -1.6 dBFS".
    summary = result.stderr.rpartition("Summary:")[2]
    integrated = re.search(r"I:\s+(-?(?:[\d.]+|inf))\s+LUFS", summary)
    peak = re.search(r"Peak:\s+(-?(?:[\d.]+|inf))\s+dBFS", summary)
    if result.returncode != 0 or integrated is None or peak is None:
        raise SpeechFailed(f"cannot measure the loudness of the narration: {result.stderr.strip()[-200:]}")
    return Loudness(_number(integrated.group(1)), _number(peak.group(1)))


def measure(path: str | os.PathLike[str]) -> Loudness:
    """Integrated loudness and true peak of an audio file (ffmpeg ebur128)."""
    return _summary(subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-i", os.fspath(path),
         "-af", "ebur128=peak=true", "-f", "null", "-"],
        capture_output=True, text=True,
    ))


def _render(source: str, target: str, gain_db: float, sample_rate: int) -> Loudness:
    """Writes `source` with `gain_db` and the limiter to `target`; its loudness,
    measured on the way out by the same ffmpeg."""
    ceiling = 10 ** (LIMITER_CEILING_DB / 20)
    chain = (f"volume={gain_db:.3f}dB,aresample={sample_rate * 4},"
             f"alimiter=limit={ceiling:.5f}:attack=2:release=50:level=false,aresample={sample_rate},"
             "ebur128=peak=true")
    return _summary(subprocess.run(["ffmpeg", "-y", "-hide_banner", "-nostdin", "-nostats", "-i", source,
                                    "-af", chain, "-c:a", "pcm_s16le", target], capture_output=True, text=True))


def normalise(source: str | os.PathLike[str], target: str | os.PathLike[str], sample_rate: int,
              target_lufs: float = TARGET_LUFS) -> tuple[Loudness, Loudness]:
    """Writes `source` (WAV) at `target_lufs` to the WAV file `target`;
    (loudness before, loudness after)."""
    source, target = os.fspath(source), os.fspath(target)
    before = measure(source)
    if before.integrated < SILENCE_LUFS:
        return before, _render(source, target, 0.0, sample_rate)
    gain = target_lufs - before.integrated
    after = _render(source, target, gain, sample_rate)
    # The limiter takes back part of each added dB (most of it for peaky
    # speech), so each round's step follows the slope the last round showed.
    slope, last = 1.0, (gain, after.integrated)
    for _ in range(MAX_ROUNDS):
        miss = target_lufs - after.integrated
        if abs(miss) <= TOLERANCE_LU:
            break
        gain = min(gain + miss / slope, MAX_GAIN_DB)
        after = _render(source, target, gain, sample_rate)
        if gain != last[0]:
            slope = min(1.0, max(0.1, (after.integrated - last[1]) / (gain - last[0])))
        last = (gain, after.integrated)
    return before, after
