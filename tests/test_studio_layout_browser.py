"""The studio laid out for a video maker, measured in headless chromium on
a laptop screen (1366 x 768) and a phone (412 x 915): the player's picture
at least half the width, a scrolling column per side and nothing else
scrolling, labels beside their controls; and a suggestion's draft kept
visible, and refused, until it is rewritten."""

from __future__ import annotations

import pytest

from studio_browser import StudioProcess, browser_or_skip, put_draft, wait_for

pytestmark = pytest.mark.slow

RANGES = [{"start": "1", "end": "3.5", "voiceover": "First, the red square."},
          {"start": "4", "end": "5", "voiceover": "REWRITE: the film's own words."},
          *({"start": str(n), "end": str(n + 0.5), "voiceover": f"Range {n}."} for n in range(6, 11))]

# Every box that scrolls, the page's own included, and where the main parts are.
MEASURE = """
const box = (e) => { const r = e.getBoundingClientRect(); return {x: r.left, y: r.top, w: r.width, h: r.height}; };
const scrolling = [...document.querySelectorAll('body *')].filter((e) => {
  const overflow = getComputedStyle(e).overflowY;
  return (overflow === 'auto' || overflow === 'scroll') && e.scrollHeight > e.clientHeight + 1;
}).map((e) => e.id || e.tagName);
if (document.documentElement.scrollHeight > innerHeight + 1) scrolling.push('page');
const player = document.getElementById('player');
const shown = box(player);  // the picture inside the element, letterboxed
const picture = Math.min(shown.w, shown.h * player.videoWidth / player.videoHeight);
const part = (selector) => box(document.querySelector(selector));
const labels = [...document.querySelectorAll('.settings > label')].map((label) => {
  const control = document.getElementById(label.htmlFor), l = box(label), c = box(control);
  return {id: label.htmlFor, beside: c.x >= l.x + l.w && c.y < l.y + l.h && l.y < c.y + c.h};
});
return {width: innerWidth, height: innerHeight, scrolling, picture, wide: document.documentElement.scrollWidth,
        work: part('#work'), side: part('#side'), mark: part('[aria-labelledby=mark-heading]'),
        ranges: part('[aria-labelledby=ranges-heading]'), make: part('[aria-labelledby=make-heading]'),
        words: part('#transcript-panel'), labels};
"""


@pytest.fixture(scope="module")
def page(tmp_path_factory, film):
    driver = browser_or_skip()
    studio = StudioProcess(tmp_path_factory.mktemp("studio"))
    try:
        driver.get(studio.address)
        wait_for(driver, "return document.querySelectorAll('#voice option').length > 0")
        put_draft(driver, film, RANGES)
        wait_for(driver, "return document.getElementById('player').readyState >= 1")
        yield driver
    finally:
        driver.quit()
        studio.close()


def measured(driver, width: int, height: int) -> dict:
    driver.set_window_size(width, height)
    inner = driver.execute_script("return [innerWidth, innerHeight]")
    driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])  # the viewport itself at that size
    return wait_for(driver, f"const m = (() => {{ {MEASURE} }})(); "
                            f"return m.width === {width} && m.height === {height} && m.picture > 0 && m")


def test_a_laptop_screen_player_half_the_width_a_column_per_side_labels_beside(page):
    m = measured(page, 1366, 768)
    assert m["picture"] >= 1366 / 2, m
    work, side = m["work"], m["side"]
    assert work["x"] + work["w"] <= side["x"] and abs(work["y"] - side["y"]) < 1  # side by side, from one top
    assert work["y"] + work["h"] <= 768 + 1 and side["y"] + side["h"] <= 768 + 1
    assert m["scrolling"] == ["work", "side"], m["scrolling"]  # each column scrolls on its own; nothing else does
    assert m["mark"]["y"] + m["mark"]["h"] <= 768  # the player and its marks in view
    assert all(label["beside"] for label in m["labels"]) and len(m["labels"]) >= 9, m["labels"]


def test_a_phone_one_column_in_working_order_nothing_wider_than_the_screen(page):
    m = measured(page, 412, 915)
    assert m["wide"] <= 412 and m["picture"] >= 0.9 * 412 - 20, m
    order = [m[name]["y"] for name in ("mark", "ranges", "make", "words")]
    assert order == sorted(order), m
    assert set(m["scrolling"]) <= {"page", "transcript-words"}, m["scrolling"]
    assert all(label["beside"] for label in m["labels"]), m["labels"]


def test_a_draft_stays_marked_until_rewritten_and_make_refuses_it_naming_the_segment(page):
    from selenium.webdriver.common.by import By

    measured(page, 1366, 768)
    verdict = "document.querySelectorAll('#ranges .fit')[1].dataset.verdict"
    assert wait_for(page, f"return {verdict} === 'draft'")
    badges = page.execute_script("return [...document.querySelectorAll('#ranges .draft-badge')].map(b => !b.hidden)")
    assert badges == [False, True] + [False] * 5
    page.find_element(By.ID, "make").click()
    status = wait_for(page, "const s = document.getElementById('make-status');"
                            "return s.classList.contains('error') && s.textContent")
    assert "segment 2 'voiceover': still the draft of vantor suggest" in status, status
    text = page.find_elements(By.CSS_SELECTOR, "#ranges .text")[1]
    text.clear()
    text.send_keys("My own words.")
    assert wait_for(page, f"const v = {verdict}; return v && v !== 'draft' && v")
    assert not page.execute_script("return document.querySelectorAll('#ranges .draft-badge')[1].hidden === false")
