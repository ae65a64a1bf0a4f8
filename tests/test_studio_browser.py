"""The studio in a real browser, end to end: a short film on a loopback
page, loaded through the local download service, marked by keyboard,
narrated, saved, made into a recap in two tabs at once, and cancelled."""

from __future__ import annotations

import json
import re
import subprocess
from pathlib import Path

import pytest

from studio_browser import StudioProcess, browser_or_skip, processes_mentioning, put_draft, wait_for
from vantor.recap.checks.segments_check import check_segments

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def browser():
    driver = browser_or_skip()
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def studio(tmp_path_factory, browser):
    process = StudioProcess(tmp_path_factory.mktemp("studio"))
    yield process
    process.close()


@pytest.fixture
def page(browser, studio):
    """The studio's page with no draft."""
    browser.get(studio.address)
    browser.execute_script("localStorage.clear()")
    browser.refresh()
    wait_for(browser, "return document.querySelectorAll('#voice option').length > 0")
    return browser


def press(driver, *keys, shift=False, ctrl=False):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    held = [k for k, on in ((Keys.SHIFT, shift), (Keys.CONTROL, ctrl)) if on]
    actions = ActionChains(driver)
    for key in held:
        actions.key_down(key)
    for key in keys:
        actions.send_keys(key)
    for key in held:
        actions.key_up(key)
    actions.perform()


def playhead(driver) -> float:
    return driver.execute_script("return document.getElementById('player').currentTime")


def test_load_mark_two_ranges_by_keyboard_narrate_and_save(page, film, studio):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    page.find_element(By.ID, "url").send_keys(film, Keys.ENTER)
    wait_for(page, "return window.studioTimings.firstFrame !== undefined")  # the first frame played
    page.execute_script("const p = document.getElementById('player'); p.pause(); p.currentTime = 0;"
                        "document.activeElement.blur()")

    press(page, " ")  # space plays ...
    assert wait_for(page, "return !document.getElementById('player').paused", 10)
    press(page, " ")  # ... and pauses
    assert page.execute_script("return document.getElementById('player').paused")
    page.execute_script("document.getElementById('player').currentTime = 0")

    press(page, Keys.ARROW_RIGHT, shift=True)  # one second
    press(page, "i")
    press(page, *[Keys.ARROW_RIGHT] * 3, shift=True)
    press(page, *[Keys.ARROW_RIGHT] * 5)  # five frames at 25 a second
    press(page, Keys.ARROW_LEFT)  # one back
    assert playhead(page) == pytest.approx(4.16, abs=0.001)
    press(page, "o")
    press(page, *[Keys.ARROW_RIGHT] * 2, shift=True)
    press(page, "I")
    press(page, *[Keys.ARROW_RIGHT] * 3, shift=True)
    press(page, "O")

    items = page.find_elements(By.CSS_SELECTOR, "#ranges .range")
    assert [(i.find_element(By.CLASS_NAME, "start").get_attribute("value"),
             i.find_element(By.CLASS_NAME, "end").get_attribute("value")) for i in items] == [
        ("00:00:01.000", "00:00:04.160"), ("00:00:06.160", "00:00:09.160")]
    assert len(page.find_elements(By.CSS_SELECTOR, "#timeline .segment")) == 2

    # The mouse drags the second range's end to the right, snapped to a frame;
    # focused, that end steps back a frame with the arrow key.
    from selenium.webdriver.common.action_chains import ActionChains

    grip = page.find_element(By.CSS_SELECTOR, "[aria-label='Range 2 end']")
    ActionChains(page).click_and_hold(grip).move_by_offset(60, 0).release().perform()
    dragged = page.execute_script("return document.querySelectorAll('#ranges .end')[1].value")
    seconds = int(dragged[3:5]) * 60 + float(dragged[6:])
    assert 9.5 < seconds < 12 and round(seconds * 25, 6) == round(seconds * 25)
    page.find_element(By.CSS_SELECTOR, "[aria-label='Range 2 end']").send_keys(Keys.ARROW_LEFT)
    assert page.execute_script("return document.querySelectorAll('#ranges .end')[1].value") == \
        "00:00:" + f"{seconds - 0.04:06.3f}"
    page.find_element(By.ID, "undo").click()
    page.find_element(By.ID, "undo").click()
    assert page.execute_script("return document.querySelectorAll('#ranges .end')[1].value") == "00:00:09.160"
    items = page.find_elements(By.CSS_SELECTOR, "#ranges .range")  # drawn anew by the undo

    short, long = "A short line.", ("This narration is far too long for so short a range, and it keeps going on "
                                    "about nothing in particular for many more words than fit.")
    # The meter speaks of the chosen fit: "narration" (the engine's own) cuts both.
    from selenium.webdriver.support.ui import Select

    Select(page.find_element(By.ID, "fit")).select_by_value("narration")
    items[0].find_element(By.CLASS_NAME, "text").send_keys(short)
    items[1].find_element(By.CLASS_NAME, "text").send_keys(long)
    verdicts = wait_for(page, "const v = [...document.querySelectorAll('#ranges .fit')].map(f => f.dataset.verdict);"
                              "return v.every(Boolean) && v")
    assert verdicts == ["short", "long"]
    words = [e.text for e in page.find_elements(By.CLASS_NAME, "fit-words")]
    assert "will be cut to the narration" in words[0] and "its last words will be cut" in words[1]

    # Delete the first, undo, move the second up: the order is the file's.
    items[0].find_element(By.CLASS_NAME, "delete").click()
    assert len(page.find_elements(By.CSS_SELECTOR, "#ranges .range")) == 1
    page.execute_script("document.activeElement.blur()")
    press(page, "z", ctrl=True)
    items = page.find_elements(By.CSS_SELECTOR, "#ranges .range")
    assert [i.find_element(By.CLASS_NAME, "text").get_attribute("value") for i in items] == [short, long]
    items[1].find_element(By.CLASS_NAME, "up").click()

    page.find_element(By.ID, "save").click()
    wait_for(page, "return document.getElementById('save-status').textContent.startsWith('Saved')")
    saved = studio.project / "segments.json"
    assert json.loads(saved.read_text(encoding="utf-8")) == [
        {"start": "00:00:06.160", "end": "00:00:09.160", "voiceover": long},
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": short},
    ]
    assert check_segments(str(saved)).ok

    page.refresh()  # the draft survives
    texts = wait_for(page, "const t = [...document.querySelectorAll('#ranges .text')].map(e => e.value);"
                           "return t.length === 2 && t")
    assert texts == [long, short]


def _duration(path: Path) -> float:
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", str(path)],
                         capture_output=True, text=True, check=True).stdout
    return float(out)


RANGES = [{"start": "1", "end": "3.5", "voiceover": "First, the red square."},
          {"start": "00:00:05", "end": "00:00:07.5", "voiceover": "Then the clock."}]


def test_two_tabs_make_two_recaps_at_once_and_each_result_plays(page, film, studio):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    tabs = [page.current_window_handle]
    put_draft(page, film, RANGES)
    page.switch_to.new_window("tab")
    tabs.append(page.current_window_handle)
    page.get(studio.address)
    put_draft(page, film, RANGES[::-1])
    for number, tab in enumerate(tabs):
        page.switch_to.window(tab)
        wait_for(page, "return document.getElementById('player').src !== ''")
        if number == 0:  # the first tab asks for captions as a track
            Select(page.find_element(By.ID, "captions")).select_by_value("track")
        page.find_element(By.ID, "make").click()
        wait_for(page, "return document.querySelectorAll('#stages li').length > 0")  # live progress
    page.switch_to.window(tabs[0])
    page.refresh()  # a reload finds its tab's run again
    for number, tab in enumerate(tabs):
        page.switch_to.window(tab)
        wait_for(page, "return !document.getElementById('result').hidden || "
                       "document.getElementById('make-status').classList.contains('error')")
        assert not page.find_element(By.ID, "make-status").get_attribute("class"), \
            page.find_element(By.ID, "make-status").text
        # The recap plays in the page, and its length is the file's.
        page.execute_script("document.getElementById('result-video').play()")
        wait_for(page, "const v = document.getElementById('result-video'); return v.currentTime > 0.2")
        shown = page.execute_script("return document.getElementById('result-video').duration")
        name = page.find_element(By.ID, "result-video").get_attribute("src").rsplit("/", 1)[1]
        assert shown == pytest.approx(_duration(studio.project / "recaps" / name), abs=0.05)
        # Captions were asked for in the first tab only: its recap plays with
        # the run's VTT as a showing track, the other with no track at all.
        tracks = page.execute_script("return document.getElementById('result-video').textTracks.length")
        assert tracks == (1 if number == 0 else 0)
        kept = (studio.project / "recaps" / name).with_suffix(".vtt")
        assert kept.is_file() == (number == 0) and kept.with_suffix(".srt").is_file() == (number == 0)
        if number == 0:
            cues = wait_for(page, "const t = document.getElementById('result-video').textTracks[0];"
                                  "return t.mode === 'showing' && t.cues && t.cues.length")
            assert cues == kept.read_text(encoding="utf-8").count(" --> ")
    names = sorted(p.name for p in (studio.project / "recaps").iterdir())
    assert len(names) >= 2
    assert list((studio.project / ".vantor-studio").iterdir()) == []  # working folders gone
    page.close()
    page.switch_to.window(tabs[0])


def test_the_caption_style_is_previewed_on_the_player_in_the_safe_area(page, film, studio):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    put_draft(page, film, RANGES)
    wait_for(page, "return document.getElementById('player').readyState >= 1")
    page.execute_script("document.getElementById('player').pause()")
    Select(page.find_element(By.ID, "captions")).select_by_value("burn")
    Select(page.find_element(By.ID, "caption-style")).select_by_value("bold")
    for at, lit in ((1.1, "First,"), (3.3, "square.")):
        page.execute_script(f"document.getElementById('player').currentTime = {at}")
        wait_for(page, f"return document.querySelector('#caption-preview .lit')?.textContent.trim() === '{lit}'")
    box = page.execute_script("const p = document.getElementById('player').getBoundingClientRect(),"
                              " c = document.querySelector('#caption-preview span').getBoundingClientRect();"
                              "return [c.right <= p.right - 0.12 * p.width, c.bottom <= p.bottom - 0.2 * p.height]")
    assert box == [True, True]
    Select(page.find_element(By.ID, "caption-style")).select_by_value("boxed")
    assert page.find_element(By.ID, "caption-preview").get_attribute("class") == "cue boxed"
    page.execute_script("document.getElementById('player').currentTime = 4.2")  # between the ranges
    wait_for(page, "return document.getElementById('caption-preview').hidden")
    # A still per style, over the first range's frame once the video is known; one picks the style.
    wait_for(page, "const s = [...document.querySelectorAll('#caption-stills img')];"
                   "return s.length === 5 && s.every(i => i.complete && i.naturalWidth > 0 && i.src.includes('video='))",
             30)
    page.find_element(By.CSS_SELECTOR, ".caption-still[data-style='karaoke']").click()
    Select(page.find_element(By.ID, "caption-position")).select_by_value("top")
    assert page.execute_script("return [document.getElementById('caption-style').value, state.captionPosition,"
                               " document.querySelector('.caption-still[aria-pressed=true]').dataset.style,"
                               " document.getElementById('caption-preview').dataset.position]") == [
        "karaoke", "top", "karaoke", "top"]


def test_cancel_during_the_conversion_leaves_no_process_and_no_result(page, film, studio):
    from selenium.webdriver.common.by import By

    long_ranges = [{"start": "0", "end": "5.5", "voiceover": "One two three four five six seven eight nine ten."},
                   {"start": "6", "end": "11.5", "voiceover": "Ten nine eight seven six five four three two one."}]
    put_draft(page, film, long_ranges)
    wait_for(page, "return document.getElementById('player').src !== ''")
    kept = set((studio.project / "recaps").glob("*")) if (studio.project / "recaps").exists() else set()
    page.find_element(By.ID, "make").click()
    wait_for(page, "return [...document.querySelectorAll('#stages li')].some(l => l.textContent.includes('Making the vertical video'))")
    work = next((studio.project / ".vantor-studio").iterdir())
    page.find_element(By.ID, "cancel").click()
    wait_for(page, "return document.getElementById('make-status').textContent.startsWith('Cancelled')", 30)
    assert processes_mentioning(str(work)) == []  # no ffmpeg (nor anything else) of that run
    assert not work.exists()
    now = set((studio.project / "recaps").glob("*")) if (studio.project / "recaps").exists() else set()
    assert now == kept


def test_a_page_on_another_site_or_without_the_token_cannot_drive_the_studio(browser, film, studio):
    import requests

    browser.get(studio.address)
    page = browser.current_url.split("?")[0]  # the page, where the one-time address led
    # Neither the used one-time address nor the page's token opens anything without the browser's cookie.
    assert requests.get(studio.address, timeout=10, allow_redirects=False).status_code == 403
    assert requests.get(page + "api/state", timeout=10).status_code == 404
    browser.get(film)  # a page of another origin, as any site the user visits
    outcome = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const segments = JSON.stringify({segments: [{start: "0", end: "1", voiceover: "pwned"}]});
        const tries = [
          fetch(arguments[0] + "api/save", {method: "POST", headers: {"content-type": "application/json"}, body: segments}),
          fetch(arguments[0] + "api/save", {method: "POST", mode: "no-cors", body: segments}),
        ];
        Promise.allSettled(tries).then(r => done(r.map(x => x.status + ":" + (x.value ? x.value.type : ""))));
    """, page)
    assert outcome[0] == "rejected:"  # its preflight is refused
    saved = studio.project / "segments.json"
    assert not saved.exists() or "pwned" not in saved.read_text(encoding="utf-8")
    # The studio's own origin without the token gets nothing either.
    browser.get(studio.address)
    statuses = browser.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const body = JSON.stringify({segments: [{start: "0", end: "1", voiceover: "pwned"}]});
        Promise.all([
          fetch("/api/state"),
          fetch("/api/save", {method: "POST", headers: {"content-type": "application/json"}, body}),
          fetch("/" + location.pathname.split("/")[1].slice(0, -1) + "/api/state"),
        ]).then(r => done(r.map(x => x.status)));
    """)
    assert statuses == [404, 404, 404]
    assert not saved.exists() or "pwned" not in saved.read_text(encoding="utf-8")


def test_a_laptop_screen_keys_after_load_one_voice_waveform_plain_log_and_first_frame(page, film, studio, tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    size = page.get_window_size()
    page.set_window_size(1366, 768)
    try:
        page.find_element(By.ID, "url").send_keys(film, Keys.ENTER)
        wait_for(page, "return window.studioTimings.firstFrame !== undefined")
        assert page.execute_script("return document.activeElement.id") == "player"
        press(page, "i")  # the page's key, not a letter typed into the address
        assert page.find_element(By.ID, "url").get_attribute("value") == film
        assert wait_for(page, "return document.querySelectorAll('#ranges li').length") == 1
        # The timeline shows the film's thumbnails, made by the studio: 12 frames of 160 pixels.
        page.execute_script("window.strip = new Image();"
                            "window.strip.src = getComputedStyle(timeline).backgroundImage.slice(5, -2)")
        assert wait_for(page, "return window.strip.complete && window.strip.naturalWidth") == 12 * 160

        put_draft(page, film, RANGES)
        wait_for(page, "return document.getElementById('player').src !== ''")
        player, ranges = (page.find_element(By.CSS_SELECTOR, f"section[aria-labelledby={name}]").rect
                          for name in ("mark-heading", "ranges-heading"))
        assert player["x"] + player["width"] <= ranges["x"] and ranges["y"] < player["y"] + player["height"]
        assert page.find_elements(By.CSS_SELECTOR, ".range-voice") == []  # the one voice is the Make form's
        page.find_element(By.CSS_SELECTOR, "#ranges li .speak").click()
        wait_for(page, "return document.querySelector('#ranges li .wave').dataset.drawn === '1'")
        page.save_screenshot(str(tmp_path / "studio-1366x768.png"))

        page.find_element(By.ID, "make").click()
        wait_for(page, "return !document.getElementById('result').hidden || "
                       "document.getElementById('make-status').classList.contains('error')")
        log = page.execute_script("return [...document.querySelectorAll('#stages li')].map(l => l.textContent)")
        assert any(line.startswith("Making the vertical video: ") for line in log), log
        assert not [line for line in log if re.search(r"(?:/[^\s/]+){2,}", line) or max(map(ord, line)) > 0x2FFF], log
        # The result shows its first frame before it is played.
        assert wait_for(page, "const v = document.getElementById('result-video');"
                              "return v.paused && v.currentTime > 0 && v.readyState >= 2")
        page.save_screenshot(str(tmp_path / "studio-result-1366x768.png"))
    finally:
        page.set_window_size(size["width"], size["height"])
