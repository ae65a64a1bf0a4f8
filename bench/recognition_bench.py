"""Speech recognition figures: the real-time factor on this machine's cores
(the sound decoded by ffmpeg included), the model's load time, memory
before, after loading and at its peak while transcribing, and the word error
rate against the script. The film is the neural voice's narrations over
quiet noise. Writes bench/recognition_results.json (one entry per length).

    .venv/bin/python bench/recognition_bench.py [--seconds 120]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from vantor.services.narrator import Narrator  # noqa: E402
from vantor.transcripts import recognition  # noqa: E402

LINES = [
    "The hero walks into the old house and finds the letter his father left.",
    "Nobody expected what it said, and by the end of the night the whole village knows.",
    "In the second half the visitors press forward, and the keeper makes three saves in a row.",
    "The storm reaches the coast before dawn; fishermen pull their boats high onto the sand.",
    "She opens the box, counts the coins twice, and hides them under the floor.",
    "Years later the bridge is rebuilt, and the town gathers to watch the first train cross.",
]


def rss_mib() -> float:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def load() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def words(text: str) -> list[str]:
    return re.findall(r"[a-z']+", text.lower())


def edits(said: list[str], heard: list[str]) -> int:
    """Words substituted, dropped or added (Levenshtein distance over words)."""
    row = list(range(len(heard) + 1))
    for i, word in enumerate(said, 1):
        previous, row[0] = row[0], i
        for j, other in enumerate(heard, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (word != other))
    return row[-1]


def make_film(folder: Path, seconds: float) -> tuple[Path, list[str]]:
    """Narrations one after another with a second between them, over noise at -40 dB."""
    narrator, parts, script, total = Narrator(), [], [], 0.0
    try:
        while total < seconds:
            line = LINES[len(parts) % len(LINES)]
            mp3 = folder / f"n{len(parts) % len(LINES)}.mp3"  # each line spoken once, then repeated
            if not mp3.exists():
                mp3.write_bytes(narrator.narrate(line, "en-US-GuyNeural").mp3)
            length = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                           "csv=p=0", str(mp3)], capture_output=True, text=True).stdout)
            parts.append((mp3, total + 1.0))
            script.append(line)
            total += 1.0 + length
    finally:
        narrator.close()
    inputs = [arg for mp3, _ in parts for arg in ("-i", str(mp3))]
    delays = ";".join(f"[{i + 2}:a]adelay={int(at * 1000)}:all=1[a{i}]" for i, (_, at) in enumerate(parts))
    mix = (f"{delays};[1:a]volume=0.01[noise];[noise]" + "".join(f"[a{i}]" for i in range(len(parts)))
           + f"amix=inputs={len(parts) + 1}:normalize=0:duration=first[m]")
    film = folder / "film.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    f"color=s=320x180:r=10:d={total + 1}", "-f", "lavfi", "-i",
                    f"anoisesrc=color=pink:d={total + 1}", *inputs, "-filter_complex", mix, "-map", "0:v",
                    "-map", "[m]", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", str(film)], check=True)
    return film, script


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=120.0)
    args = parser.parse_args()
    if (reason := recognition.available()) is not None:
        raise SystemExit(reason)
    results: dict[str, object] = {"cpus": os.cpu_count(), "model": recognition.MODEL_NAME}
    with tempfile.TemporaryDirectory() as tmp:
        film, script = make_film(Path(tmp), args.seconds)
        duration = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                         "csv=p=0", str(film)], capture_output=True, text=True).stdout)
        results["rss_before_mib"] = rss_mib()
        started = time.perf_counter()
        files = recognition.find_model()
        assert isinstance(files, recognition.ModelFiles)
        recognition._model(files)
        results["load_s"] = time.perf_counter() - started
        results["rss_loaded_mib"] = rss_mib()
        peak, done = [0.0], threading.Event()

        def watch() -> None:
            while not done.wait(0.05):
                peak[0] = max(peak[0], rss_mib())

        watcher = threading.Thread(target=watch)
        watcher.start()
        results["load_average_before"] = load()
        started, cpu = time.perf_counter(), time.process_time()
        transcript = recognition.recognise(film)
        elapsed, cpu = time.perf_counter() - started, time.process_time() - cpu
        results["load_average_after"] = load()
        done.set()
        watcher.join()
    heard = words(" ".join(w.text for w in transcript.words))
    said = words(" ".join(script))
    results.update({"audio_s": duration, "recognise_s": elapsed, "rtf": elapsed / duration,
                    # CPU seconds of all threads: the time it needs with the cores to itself, whatever the load
                    "cpu_s": cpu, "cpu_s_per_audio_s_per_core": cpu / duration / (os.cpu_count() or 1),
                    "rss_peak_transcribing_mib": peak[0], "words_said": len(said), "words_heard": len(heard),
                    "word_error_rate": edits(said, heard) / len(said), "language": transcript.language})
    print(json.dumps(results, indent=2))
    saved = Path(__file__).parent / "recognition_results.json"
    every = json.loads(saved.read_text()) if saved.exists() else {}
    every[f"{args.seconds:g} s asked"] = results
    saved.write_text(json.dumps(every, indent=2) + "\n")


if __name__ == "__main__":
    main()
