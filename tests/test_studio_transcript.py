"""The studio's transcript panel: its routes (an activity per address with
thinned progress, words the page can show, suggestions within bounds,
unavailable, failed and cancelled), and the panel in Debian's chromium
(words, click to seek, drag to a snapped range, search, suggestions)."""

from __future__ import annotations

import json
import math
import threading

import pytest

from studio_browser import browser_or_skip, put_draft, wait_for
from studio_served import served_studio
from vantor.studio.app import Studio
from vantor.studio.events import ENDING
from vantor.studio.project import Project
from vantor.studio.transcript_bridge import KEEP_TRANSCRIPTS, MAX_SUGGESTIONS
from vantor.transcripts.model import Suggestion, Transcript, Word
from vantor.transcripts.source import TranscriptUnavailable

TOKEN = "transcript-panel-token-0123"
UNAVAILABLE = "no captions and no recognition installed: install the transcribe extra"
WORDS = (("Welcome", 0.1, 0.5), ("to", 0.5, 0.6), ("the", 0.6, 0.7), ("match.", 0.7, 1.2),
         ("The", 3.2, 3.4), ("penalty", 3.4, 3.9), ("was", 3.9, 4.1), ("saved", 4.1, 4.6), ("by", 4.6, 4.8),
         ("<b>Keeper</b>.", 5.0, 5.4), ("Another", 7.0, 7.4), ("penalty", 7.4, 7.9), ("follows", 7.9, 8.3),
         ("late.", 11.2, 11.9), ("Credits", 13.0, 13.4), ("roll.", 13.4, 13.8))  # the last two past the film's end
TRANSCRIPT = Transcript(tuple(Word(s, e, t) for t, s, e in WORDS), "captions", "en")


class Fakes:
    """transcript_for and suggest as the studio calls them, answering per address."""

    def __init__(self) -> None:
        self.release = threading.Event()
        self.release.set()
        self.asked: list[tuple[Transcript, int, float]] = []
        self.unavailable = False

    def transcript_for(self, url, *, services_url, progress=None, cancel=None):
        self.release.wait(30)
        if "slow" in url:
            cancel.wait(30)
        if self.unavailable or "none" in url:
            raise TranscriptUnavailable(UNAVAILABLE)
        if "broken" in url:
            raise RuntimeError("the caption track is cut short")
        progress("downloading", 0.0)
        for step in range(1000):  # a reporter far chattier than any bar needs
            progress("transcribing", step / 1000)
        progress("transcribing", 7.0)
        progress("transcribing", 1.0)
        hostile = (Word(math.nan, 1.0, "nan"), Word(9.0, 8.0, "backwards"), Word(2.0, 2.5, "early"))
        return Transcript(TRANSCRIPT.words + hostile, "captions", "en")

    def suggest(self, transcript, *, count=5, length=30.0):
        self.asked.append((transcript, count, length))
        return [Suggestion(6.7, 40.0, "Another penalty follows late.", 0.5, ("keyword 'penalty'",)),
                Suggestion(2.9, 6.1, "The penalty was saved by Keeper.", 0.9, ("speech density 3.1 words/s",)),
                Suggestion(math.inf, 9.0, "never", 0.1, ())]


def events(page, activity_id):
    got = []
    with page.session.get(page.base + f"api/events/{activity_id}", stream=True, timeout=60) as answer:
        for line in answer.iter_lines(decode_unicode=True):
            if line.startswith("data: "):
                got.append(json.loads(line[6:]))
                if got[-1]["type"] in ENDING:
                    return got
    return got


@pytest.fixture
def served(tmp_path):
    fakes = Fakes()
    studio = Studio(Project(tmp_path), "http://127.0.0.1:9", transcript_for=fakes.transcript_for, suggest=fakes.suggest)
    with served_studio(studio, TOKEN) as page:
        page.session.headers.update({"origin": page.origin, "content-type": "application/json"})
        yield page, fakes


def test_one_transcription_per_address_thinned_progress_clean_words_and_bounded_suggestions(served):
    page, fakes = served
    ask = lambda path, body: page.session.post(page.base + path, json=body, timeout=60)  # noqa: E731
    fakes.release.clear()
    first = ask("api/transcript", {"url": "http://site.test/a"}).json()["id"]
    assert ask("api/transcript", {"url": "http://site.test/a"}).json()["id"] == first  # the running one
    ask("api/transcript", {"url": "http://site.test/b"})
    refused = ask("api/transcript", {"url": "http://site.test/c"})
    assert refused.status_code == 429 and "wait for one to end" in refused.json()["error"]
    fakes.release.set()
    got = events(page, first)
    shown = [(e["stage"], e["fraction"]) for e in got if e["type"] == "progress"]
    assert shown[:2] == [("downloading", 0.0), ("transcribing", 0.0)]
    assert shown[-1] == ("transcribing", 1.0) != shown[-2]  # a stage's end, once
    assert 90 <= len(shown) <= 103
    assert got[-1] == {"type": "ready", "words": len(WORDS) + 1, "source": "captions"}
    words = page.session.get(page.base + f"api/transcript/{first}", timeout=10).json()
    assert words == TRANSCRIPT.to_json() | {  # no NaN, no word ending first; in time order
        "words": [w.to_json() for w in sorted(TRANSCRIPT.words + (Word(2.0, 2.5, "early"),), key=lambda w: w.start)],
        "sentences": words["sentences"]}

    answer = ask("api/suggest", {"id": first, "count": 2, "length": 45})
    assert [s["start"] for s in answer.json()["suggestions"]] == [6.7, 2.9]  # the infinite one dropped
    transcript, count, length = fakes.asked[-1]
    assert transcript.words[3:5] == (TRANSCRIPT.words[3], Word(2.0, 2.5, "early")) and (count, length) == (2, 45.0)
    for count, length, status in ((1, 5, 200), (MAX_SUGGESTIONS, 300, 200), (0, 30, 400),
                                  (MAX_SUGGESTIONS + 1, 30, 400), (True, 30, 400), ("5", 30, 400),
                                  (5, 4.99, 400), (5, 300.01, 400), (5, "30", 400)):
        answer = ask("api/suggest", {"id": first, "count": count, "length": length})
        assert answer.status_code == status, (count, length)
    assert ask("api/suggest", {"id": "f" * 16}).status_code == 404


def test_unavailable_is_a_line_a_fault_is_one_line_and_a_cancel_keeps_nothing(served):
    page, fakes = served
    ask = lambda path, body: page.session.post(page.base + path, json=body, timeout=60)  # noqa: E731
    none = events(page, ask("api/transcript", {"url": "http://site.test/none"}).json()["id"])
    assert none == [{"type": "failed", "error": UNAVAILABLE, "unavailable": True}]
    broken = events(page, ask("api/transcript", {"url": "http://site.test/broken"}).json()["id"])
    assert broken == [{"type": "failed", "error": "RuntimeError: the caption track is cut short", "unavailable": False}]

    slow = ask("api/transcript", {"url": "http://site.test/slow"}).json()["id"]
    assert ask(f"api/cancel/{slow}", {}).json() == {"cancelled": True}
    assert events(page, slow)[-1] == {"type": "cancelled"}
    assert ask("api/suggest", {"id": slow}).status_code == 404  # its late words are not kept
    assert ask(f"api/cancel/{slow}", {}).status_code == 404

    # The latest few transcripts are kept for suggestions; an older one is asked for anew.
    kept = []
    for i in range(KEEP_TRANSCRIPTS + 1):
        kept.append(ask("api/transcript", {"url": f"http://site.test/{i}"}).json()["id"])
        assert events(page, kept[-1])[-1]["type"] == "ready"
    assert [ask("api/suggest", {"id": i}).status_code for i in kept[:2]] == [404, 200]
    assert [page.session.get(page.base + f"api/transcript/{i}", timeout=10).status_code for i in kept[:2]] == [404, 200]


@pytest.mark.slow
def test_the_panel_in_a_browser(tmp_path, film):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    from vantor.services.server import InProcessServer, Services, new_token

    driver = browser_or_skip()
    services = InProcessServer(Services(tmp_path / "cache", token=new_token(), private_sources="direct"))
    fakes = Fakes()
    studio = Studio(Project(tmp_path), services.base_url, transcript_for=fakes.transcript_for, suggest=fakes.suggest)
    try:
        with served_studio(studio, TOKEN, sign_in=False) as page:
            driver.set_window_size(1366, 768)
            driver.get(page.origin + page.guard.one_time_path())
            put_draft(driver, film, [])
            wait_for(driver, "return document.querySelectorAll('#transcript-words .word').length")
            words = driver.find_elements(By.CSS_SELECTOR, "#transcript-words .word")
            assert [w.text for w in words] == [t for t, _, _ in WORDS[:4]] + ["early"] + [t for t, _, _ in WORDS[4:]]
            assert driver.execute_script("return document.querySelectorAll('#transcript-words b').length") == 0
            duration = driver.execute_script("player.pause(); return player.duration")
            driver.save_screenshot(str(tmp_path / "transcript-1366x768.png"))

            words[6].click()  # "penalty": the playhead moves to its start, and it is the word lit
            assert wait_for(driver, "return document.getElementById('player').currentTime") == pytest.approx(3.4)
            wait_for(driver, "return document.querySelector('#transcript-words .current')?.textContent === 'penalty'")
            # In a box too small for them all, the word under the playhead is scrolled into view.
            driver.execute_script("const b = document.getElementById('transcript-words'); b.style.flex = 'none';"
                                  "b.style.height = '3em'; b.scrollTop = 0; player.currentTime = 11.5")
            wait_for(driver, "return document.querySelector('#transcript-words .current').textContent === 'late.'")
            assert driver.execute_script("const b = document.getElementById('transcript-words')"
                                         ".getBoundingClientRect(), w = document.querySelector("
                                         "'#transcript-words .current').getBoundingClientRect();"
                                         "return b.top <= w.top && w.bottom <= b.bottom")
            driver.execute_script("document.getElementById('transcript-words').removeAttribute('style')")

            # Drags, either way: the words' ends and a margin, bounded by 0 and the film's length.
            for down, up in ((5, 10), (3, 0), (11, 14)):
                ActionChains(driver).click_and_hold(words[down]).move_to_element(words[up]).release().perform()
            ranges = driver.execute_script("return state.ranges.map(r => [r.start, r.end, r.voiceover])")
            end = driver.execute_script("return formatTime(arguments[0])", duration)
            assert ranges == [["00:00:02.900", "00:00:06.100", ""], ["00:00:00.000", "00:00:01.900", ""],
                              ["00:00:06.700", end, ""]]
            assert len(driver.find_elements(By.CSS_SELECTOR, "#ranges .range")) == 3
            ActionChains(driver).click_and_hold(words[15]).move_to_element(words[16]).release().perform()
            assert driver.execute_script("return state.ranges.length") == 3  # nothing of the film is in them
            assert "error" in driver.find_element(By.ID, "save-status").get_attribute("class")

            box = driver.find_element(By.ID, "transcript-search")
            box.send_keys("i o  ")  # the page's keys are letters here
            assert len(driver.find_elements(By.CSS_SELECTOR, "#ranges .range")) == 3
            assert driver.execute_script("return document.getElementById('player').paused")
            box.send_keys(Keys.ESCAPE)  # back to the player and its keys
            assert driver.execute_script("return document.activeElement.id") == "player"
            box.clear()
            box.send_keys("PENALTY", Keys.ENTER)
            assert len(driver.find_elements(By.CSS_SELECTOR, "#transcript-words .hit")) == 2
            driver.find_element(By.ID, "transcript-next").click()
            assert driver.find_element(By.CSS_SELECTOR, ".current-hit").get_attribute("data-i") == "12"
            assert driver.find_element(By.ID, "transcript-hits").text == "2 of 2"
            box.send_keys(Keys.SHIFT, Keys.ENTER)
            assert driver.find_element(By.ID, "transcript-hits").text == "1 of 2"
            driver.find_element(By.ID, "transcript-previous").click()  # round to the last
            assert driver.find_element(By.ID, "transcript-hits").text == "2 of 2"
            box.send_keys(" was", Keys.ENTER)
            assert len(driver.find_elements(By.CSS_SELECTOR, "#transcript-words .hit")) == 2  # one hit of two words
            driver.find_element(By.ID, "transcript-sentence").click()  # the hit's sentence, lit under the playhead
            made = wait_for(driver, "return state.ranges.length === 4 && [state.ranges[3].start, state.ranges[3].end]")
            assert made == ["00:00:01.700", "00:00:06.100"]

            wait_for(driver, "return document.querySelectorAll('#suggestions .suggestion').length")
            assert fakes.asked[-1][1:] == (5, 15.0)  # asked with the form's defaults once the words came
            items = driver.find_elements(By.CSS_SELECTOR, "#suggestions .suggestion")
            assert [i.find_element(By.CSS_SELECTOR, ".reasons").text for i in items] == [
                "keyword 'penalty'", "speech density 3.1 words/s"]
            items[0].find_element(By.CLASS_NAME, "accept").click()
            items[1].find_element(By.CLASS_NAME, "dismiss").click()
            assert driver.find_elements(By.CSS_SELECTOR, "#suggestions .suggestion") == []
            # Accepted, the film's words stay marked as the draft's until they are rewritten.
            assert driver.execute_script("return state.ranges.map(r => [r.start, r.end, r.voiceover])")[4] == [
                "00:00:06.700", end, "REWRITE: Another penalty follows late."]
            assert driver.execute_script("return document.querySelectorAll('#ranges .range .text')[4].value") == \
                "REWRITE: Another penalty follows late."
            assert wait_for(driver, "return document.querySelectorAll('#ranges .fit')[4].dataset.verdict") == "draft"

            driver.find_element(By.ID, "suggest").click()  # asked again, the list comes back whole
            assert wait_for(driver, "return document.querySelectorAll('#suggestions .suggestion').length") == 2
            driver.execute_script("document.getElementById('transcript-panel').scrollIntoView()")
            driver.save_screenshot(str(tmp_path / "transcript-scrolled-1366x768.png"))
            # The right column scrolled to the words: they are in view beside the player, which stays.
            assert driver.execute_script(
                "const p = player.getBoundingClientRect(), w = document.getElementById('transcript-words')"
                ".getBoundingClientRect(), r = document.getElementById('ranges').getBoundingClientRect();"
                "return p.right <= w.left && r.top < w.top && 0 <= w.top && w.top < innerHeight && p.top >= 0 "
                "&& p.bottom <= innerHeight")
            fakes.unavailable = True
            driver.refresh()
            status = wait_for(driver, "const s = document.getElementById('transcript-status');"
                                      "return s.textContent.startsWith('no captions') && s")
            assert status.text == UNAVAILABLE and "error" not in status.get_attribute("class")
            fakes.unavailable = False  # the same film loaded again by hand is asked for anew
            driver.find_element(By.ID, "url").send_keys(Keys.ENTER)
            wait_for(driver, "return document.querySelectorAll('#transcript-words .word').length", 30)
    finally:
        driver.quit()
        services.close()


def test_the_real_sources_answer_the_panel_from_a_page_with_a_caption_track(tmp_path):
    import functools

    from hostile_site import Site, body
    from vantor.services.server import InProcessServer, Services, new_token
    from vantor.transcripts.source import transcript_for

    vtt = (b"WEBVTT\n\n00:00:01.000 --> 00:00:03.000\nThe keeper saves the penalty.\n\n"
           b"00:00:04.000 --> 00:00:06.000\nWhat a match!\n")
    html = b'<video><source src="/v.mp4" type="video/mp4"><track kind="captions" srclang="en" src="/en.vtt"></video>'
    services = InProcessServer(Services(tmp_path / "cache", token=new_token(), private_sources="direct"))
    studio = Studio(Project(tmp_path), services.base_url,
                    transcript_for=functools.partial(transcript_for, cache_dir=tmp_path / "transcripts"))
    try:
        with Site({"/p.html": body(html, "text/html"), "/en.vtt": body(vtt, "text/vtt")}) as site, \
                served_studio(studio, TOKEN) as page:
            page.session.headers.update({"origin": page.origin, "content-type": "application/json"})
            ask = lambda path, body: page.session.post(page.base + path, json=body, timeout=60)  # noqa: E731
            activity = ask("api/transcript", {"url": site.base_url + "/p.html"}).json()["id"]
            assert events(page, activity)[-1] == {"type": "ready", "words": 8, "source": "captions"}
            words = page.session.get(page.base + f"api/transcript/{activity}", timeout=10).json()
            assert [s["text"] for s in words["sentences"]] == ["The keeper saves the penalty.", "What a match!"]
            drafted = ask("api/suggest", {"id": activity, "count": 1, "length": 5, "include_ends": True}).json()["suggestions"]
            assert len(drafted) == 1 and drafted[0]["start"] <= 1.0 and drafted[0]["end"] >= 3.0
    finally:
        studio.close()
        services.close()
