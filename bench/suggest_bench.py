"""Suggestion figures over a 40-minute transcript (target: `suggest` under
2 s): a person's captions (punctuated), automatic ones (no punctuation,
sentences by pauses) and a monologue without a second's pause, at about 2.6 words a second, with the time to read
the same words as a 40-minute json3 caption file and to check the draft; each
also with the video's signals (a loudness a second with peaks, a shot change
every few seconds), as after --read-video.

    .venv/bin/python bench/suggest_bench.py [--minutes 40] [--runs 5]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from vantor.recap.checks.segments_check import check_segments_bytes  # noqa: E402
from vantor.services.caption_forms import parse_captions  # noqa: E402
from vantor.transcripts.model import Transcript, Word  # noqa: E402
from vantor.transcripts.suggest import draft_segments, suggest  # noqa: E402


def speech(minutes: float, punctuated: bool, seed: int = 26, longest_pause: float = 1.8) -> Transcript:
    """Words drawn from a Zipf-like vocabulary of 3000, in sentences of 4-25
    words with pauses between them."""
    rng = random.Random(seed)
    vocabulary = [f"w{n}{'x' * (n % 7)}" for n in range(3000)]
    weights = [1 / (n + 1) for n in range(3000)]
    words, at = [], 0.0
    while at < minutes * 60:
        size = rng.randint(4, 25)
        for i, text in enumerate(rng.choices(vocabulary, weights, k=size)):
            length = rng.uniform(0.18, 0.45)
            words.append(Word(at, at + length, text + ("." if punctuated and i == size - 1 else "")))
            at += length + rng.uniform(0.0, 0.08)
        at += rng.uniform(0.3, longest_pause)
    return Transcript(tuple(words), "captions", "en")


def signals(minutes: float, seed: int = 26) -> tuple[list[float], list[float]]:
    """Loudness a second around -23 LUFS with a burst every few minutes, and
    a shot change every 1-8 s."""
    rng = random.Random(seed)
    seconds = int(minutes * 60) + 1
    loudness = [rng.gauss(-23.0, 2.0) + (12.0 if rng.random() < 0.01 else 0.0) for _ in range(seconds)]
    shots, at = [], 0.0
    while (at := at + rng.uniform(1.0, 8.0)) < seconds:
        shots.append(round(at, 2))
    return loudness, shots


def as_json3(transcript: Transcript) -> bytes:
    events = [{"tStartMs": round(w.start * 1000), "dDurationMs": round((w.end - w.start) * 1000),
               "segs": [{"utf8": w.text, "tOffsetMs": 0}]} for w in transcript.words]
    return json.dumps({"events": events}).encode()


def timed(action, runs: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        began = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - began)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=40.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    figures: dict[str, object] = {"minutes": args.minutes, "runs": args.runs}
    # "monologue": automatic captions with no pause of a second, so one sentence to cut.
    for name, punctuated, pause in (("captions", True, 1.8), ("automatic", False, 1.8), ("monologue", False, 0.9)):
        transcript = speech(args.minutes, punctuated, longest_pause=pause)
        seconds, found = timed(lambda: suggest(transcript, count=5, length=30.0, keywords=["w17x"]), args.runs)
        draft = draft_segments(found)  # type: ignore[arg-type]
        figures[name] = {"words": len(transcript.words), "sentences": len(transcript.sentences()),
                         "suggest_s": round(seconds, 4), "ranges": len(draft),
                         "draft_passes_check": check_segments_bytes(json.dumps(draft).encode()).ok}
        loudness, shots = signals(args.minutes)
        seconds, found = timed(lambda: suggest(transcript, count=5, length=30.0, keywords=["w17x"],
                                               loudness=loudness, shots=shots), args.runs)
        figures[name].update({"with_signals_s": round(seconds, 4), "shots": len(shots),  # type: ignore[attr-defined]
                              "ranges_with_a_peak": sum(any("loudness peak" in r for r in s.reasons)
                                                        for s in found)})  # type: ignore[attr-defined]
    content = as_json3(speech(args.minutes, False))
    seconds, words = timed(lambda: parse_captions(content, "json3"), args.runs)
    figures["json3_parse"] = {"bytes": len(content), "words": len(words), "parse_s": round(seconds, 4)}  # type: ignore[arg-type]
    figures["load"] = os.getloadavg()[0]
    print(json.dumps(figures, indent=2))
    (Path(__file__).with_name("suggest_results.json")).write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
