"""Studio benchmark, in headless chromium on this machine:

1. From pasting a cached address (the film is already in the download
   service's cache) and pressing Enter to the first frame playing in the
   page ("playing" on the <video>); the median of several pastes.
2. From the last key typed in a narration to its fit shown, for a new text
   (the speech service speaks it) and for one it already spoke (cached);
   the page waits 400 ms after the last key before it asks, which is in
   the figure and also given apart.
3. A new user's first recap: from pasting an address (not yet cached) and
   pressing Enter, marking one range with I and O, typing its narration
   and pressing Make, to the recap shown in the page; the page's own time,
   without a person's thinking time.
4. The page's weight: its HTML, CSS and script as served, and how many
   requests load it.

With --screenshot PATH it also saves a picture of the editor with two
narrated ranges on a 1366x768 window (the one docs/studio.md shows).

    .venv/bin/python bench/studio_bench.py [--json bench/studio_results.json] [--screenshot docs/studio.png]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

from studio_browser import StudioProcess, browser_or_skip, put_draft, wait_for  # noqa: E402
from vantor.demo.source_video import make_source_video  # noqa: E402
from vantor.demo.video_site import VideoSite  # noqa: E402

PASTES = 5
FIT_DELAY = 0.4


def first_frame(driver, address: str, film: str) -> float:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    driver.get(address)
    driver.execute_script("localStorage.clear()")
    driver.refresh()
    wait_for(driver, "return document.querySelectorAll('#voice option').length > 0")
    driver.find_element(By.ID, "url").send_keys(film, Keys.ENTER)
    return wait_for(driver, "return window.studioTimings.firstFrame") / 1000


def first_recap(driver, address: str, film: str) -> float:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    driver.get(address)
    driver.execute_script("localStorage.clear()")
    driver.refresh()
    wait_for(driver, "return document.querySelectorAll('#voice option').length > 0")
    started = time.monotonic()
    driver.find_element(By.ID, "url").send_keys(film, Keys.ENTER)
    wait_for(driver, "return window.studioTimings.firstFrame")
    driver.execute_script("const p = document.getElementById('player'); p.pause(); p.currentTime = 1;")
    ActionChains(driver).send_keys("i").perform()  # the player has the focus after Load
    driver.execute_script("document.getElementById('player').currentTime = 4;")
    ActionChains(driver).send_keys("o").perform()
    driver.find_element(By.CSS_SELECTOR, "#ranges .text").send_keys("A first recap, made in the studio.")
    driver.find_element(By.ID, "make").click()
    wait_for(driver, "return !document.getElementById('result').hidden", 600)
    return time.monotonic() - started


def fit_time(driver, text: str) -> float:
    from selenium.webdriver.common.by import By

    driver.execute_script("window.studioTimings.fitShown = undefined")
    area = driver.find_element(By.CSS_SELECTOR, "#ranges .text")
    area.clear()
    area.send_keys(text)
    wait_for(driver, "return window.studioTimings.fitShown > window.studioTimings.fitTyped")
    return driver.execute_script("return window.studioTimings.fitShown - window.studioTimings.fitTyped") / 1000


def screenshot(driver, address: str, film: str, path: Path) -> None:
    driver.set_window_size(1366, 768)
    driver.get(address)
    put_draft(driver, film, [
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": "A test card, and a clock that runs."},
        {"start": "00:00:06.160", "end": "00:00:09.160",
         "voiceover": "Then the colours wheel round, far longer than this short range can hold, so its end is cut."},
    ])
    wait_for(driver, "return document.getElementById('player').readyState >= 2")
    driver.execute_script("const p = document.getElementById('player'); p.pause(); p.currentTime = 7.0;")
    wait_for(driver, "return [...document.querySelectorAll('#ranges .fit')].every(f => f.dataset.verdict)")
    raw = path.with_suffix(".raw.png")
    driver.save_screenshot(str(raw))
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-i", str(raw), "-vf",
                    "scale=1024:-1:flags=lanczos,split[a][b];"
                    "[a]palettegen=max_colors=96[p];[b][p]paletteuse=dither=none", str(path)], check=True)
    raw.unlink()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", default=str(ROOT / "bench" / "studio_results.json"))
    parser.add_argument("--screenshot", default=None)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vantor-studio-bench-") as scratch:
        root = Path(scratch)
        video = make_source_video(str(root / "film.mp4"), seconds=12.0)
        studio = StudioProcess(root)
        driver = browser_or_skip()
        try:
            with VideoSite(root / "www") as site:
                film = site.publish(video, "film")[0]
                recap = first_recap(driver, studio.address, site.publish(video, "fresh")[0])
                cold = first_frame(driver, studio.address, film)  # fills the cache
                warm = [first_frame(driver, studio.address, film) for _ in range(PASTES)]

                put_draft(driver, film, [{"start": "1", "end": "4", "voiceover": "x"}])
                new = [fit_time(driver, f"Narration number {i} of the benchmark, new each time.") for i in range(3)]
                again = [fit_time(driver, f"Narration number {i} of the benchmark, new each time.") for i in range(3)]

                # Asked by the page itself: the studio answers only its own tab (its cookie).
                sizes = driver.execute_async_script(
                    "const done = arguments[arguments.length - 1];"
                    "Promise.all(['./', 'static/studio.css', 'static/studio.js', 'static/transcript.css',"
                    "'static/transcript.js'].map("
                    "p => fetch(p).then(r => r.arrayBuffer()).then(b => b.byteLength))).then(done)")
                weights = dict(zip(("index.html", "static/studio.css", "static/studio.js", "static/transcript.css",
                                    "static/transcript.js"), sizes))
                if args.screenshot:
                    screenshot(driver, studio.address, film, Path(args.screenshot))
        finally:
            driver.quit()
            studio.close()

    results = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores (shared)",
        "paste_to_first_recap_s": round(recap, 3),
        "first_frame_cold_s": round(cold, 3),
        "first_frame_cached_median_s": round(statistics.median(warm), 3),
        "first_frame_cached_runs_s": [round(t, 3) for t in warm],
        "fit_new_text_median_s": round(statistics.median(new), 3),
        "fit_cached_text_median_s": round(statistics.median(again), 3),
        "fit_delay_after_last_key_s": FIT_DELAY,
        "page_bytes": sum(weights.values()),
        "page_files": weights,
    }
    Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    print(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
