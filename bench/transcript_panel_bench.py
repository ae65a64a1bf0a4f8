"""The studio's transcript panel with a 40-minute transcript, in headless
chromium on this machine:

1. the transcript's size as the page fetches it (JSON bytes);
2. showing its words in the panel (sentences of spans), the median of runs;
3. a search typed into Find (every hit lit), the median of runs;
4. finding the word under the playhead (what each timeupdate does).

    .venv/bin/python bench/transcript_panel_bench.py [--json bench/transcript_panel_results.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

from studio_browser import StudioProcess, browser_or_skip, wait_for  # noqa: E402
from vantor.transcripts.model import Transcript, Word  # noqa: E402

MINUTES = 40
WORDS_PER_SECOND = 2.5  # a talkative video
RUNS = 5
VOCABULARY = ("the", "ball", "goes", "wide", "and", "the", "keeper", "watches", "it", "penalty", "crowd", "roars")


def long_transcript() -> Transcript:
    words = []
    count = int(MINUTES * 60 * WORDS_PER_SECOND)
    for i in range(count):
        start = i / WORDS_PER_SECOND
        text = VOCABULARY[(i * 7) % len(VOCABULARY)] + ("." if i % 12 == 11 else "")
        words.append(Word(start, start + 0.3, text))
    return Transcript(tuple(words), "recognition", "en")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", default=str(ROOT / "bench" / "transcript_panel_results.json"))
    args = parser.parse_args()
    data = long_transcript().to_json()
    answer = json.dumps(data)

    with tempfile.TemporaryDirectory(prefix="vantor-transcript-bench-") as scratch:
        studio = StudioProcess(Path(scratch))
        driver = browser_or_skip()
        try:
            driver.set_window_size(1366, 768)
            driver.get(studio.address)
            wait_for(driver, "return document.querySelectorAll('#voice option').length > 0")
            show = [driver.execute_script("const t = performance.now(); showWords(arguments[0]);"
                                          "document.body.offsetHeight; return performance.now() - t", data)
                    for _ in range(RUNS)]
            find = [driver.execute_script("const box = document.getElementById('transcript-search');"
                                          "box.value = 'keeper ball'; const t = performance.now(); search();"
                                          "document.body.offsetHeight; const took = performance.now() - t;"
                                          "box.value = ''; search(); return took") for _ in range(RUNS)]
            hits = driver.execute_script("document.getElementById('transcript-search').value = 'keeper ball';"
                                         "search(); return transcript.hits.length")
            lookup = driver.execute_script("const t = performance.now(); let s = 0;"
                                           "for (let i = 0; i < 100000; i++) s += wordAt((i * 7.3) % 2400);"
                                           "return (performance.now() - t) / 100000 * 1000")
        finally:
            driver.quit()
            studio.close()

    results = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores (shared)",
        "transcript_minutes": MINUTES,
        "words": len(data["words"]),
        "sentences": len(data["sentences"]),
        "transcript_json_bytes": len(answer.encode()),
        "show_words_median_ms": round(statistics.median(show), 1),
        "show_words_runs_ms": [round(t, 1) for t in show],
        "search_two_words_median_ms": round(statistics.median(find), 1),
        "search_hits": hits,
        "word_under_playhead_us": round(lookup, 3),
    }
    Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
