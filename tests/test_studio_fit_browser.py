"""The studio's music choice and fit meter in a real browser: the music
folder's files offered by name, and for each fit mode what it makes of each
range."""

from __future__ import annotations

import pytest

from studio_browser import StudioProcess, browser_or_skip, put_draft, wait_for

pytestmark = pytest.mark.slow

RANGES = [{"start": "0", "end": "14", "voiceover": "Blue."},
          {"start": "15", "end": "16", "voiceover": "This narration is much longer than its one second range."}]
CLIPS = "[...document.querySelectorAll('#ranges .fit-clip')].map(e => e.dataset.fit + ': ' + e.textContent)"


def test_music_by_name_and_the_fit_meter_per_fit_mode(tmp_path):
    from selenium.webdriver.support.ui import Select

    (tmp_path / "beds").mkdir()
    for name in ("calm bed.mp3", "notes.txt"):
        (tmp_path / "beds" / name).write_text("x")
    browser, studio = browser_or_skip(), StudioProcess(tmp_path, "--music", str(tmp_path / "beds"))
    try:
        browser.get(studio.address)
        put_draft(browser, "", RANGES, voice="en-us")
        music = Select(browser.find_element("id", "music"))
        assert [(o.get_attribute("value"), o.text) for o in music.options] == [("", "none"), ("calm bed.mp3",) * 2]
        shown = {}
        for mode in ("extend", "range", "narration"):  # the meter asks again for each
            Select(browser.find_element("id", "fit")).select_by_value(mode)
            shown[mode] = wait_for(browser, f"const c = {CLIPS}; return c.every(t => t.startsWith('{mode}: clip')) && c")
        assert shown["extend"][0] == "extend: clip 14.0 s: no word lost" and "s past the range's end" in shown["extend"][1]
        assert shown["range"][0] == "range: clip 14.0 s: no word lost"
        assert shown["range"][1].startswith("range: clip 1.0 s: ") and "words lost" in shown["narration"][1]
        assert "s shorter than the range" in shown["narration"][0]
    finally:
        browser.quit()
        studio.close()
