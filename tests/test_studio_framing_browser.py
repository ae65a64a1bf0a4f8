"""The studio's framing in a real browser: the recap's window drawn over the
player follows a moving subject, and a range's own framing changes its
still and reaches the saved segments file."""

from __future__ import annotations

import json
import subprocess

import pytest

from studio_browser import StudioProcess, browser_or_skip, put_draft, wait_for
from vantor.demo.video_site import VideoSite

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def moving(tmp_path_factory):
    """A page with a white box crossing a 16:9 film from left to right in 8 s."""
    root = tmp_path_factory.mktemp("moving")
    video = root / "moving.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=0x203040:s=640x360:r=25:d=8",
                    "-f", "lavfi", "-i", "color=c=white:s=60x100:r=25:d=8", "-filter_complex",
                    "[0][1]overlay=x='20+70*t':y=130", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25",
                    str(video)], check=True)
    with VideoSite(root / "www") as site:
        yield site.publish(video, "moving")[0]


def window_at(page, seconds: float) -> tuple[float, str]:
    """The window's left edge over the picture (as a share of the player's width) at `seconds`, and its layout."""
    page.execute_script("const p = document.getElementById('player'); p.pause(); p.currentTime = arguments[0]",
                        seconds)
    wait_for(page, "return Math.abs(document.getElementById('player').currentTime - arguments[0]) < 0.01 && "
                   "!document.getElementById('player').seeking", 30, seconds)
    return page.execute_script("const p = document.getElementById('player');"
                               "const w = document.getElementById('frame-window');"
                               "return [parseFloat(w.style.left) / p.clientWidth, w.dataset.layout]")


def test_the_window_follows_the_subject_and_a_range_s_own_framing_changes_its_still(tmp_path, moving):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    driver = browser_or_skip()
    studio = StudioProcess(tmp_path)
    try:
        driver.get(studio.address)
        put_draft(driver, moving, [{"start": "00:00:00.500", "end": "00:00:07.500", "voiceover": "A box crosses."}])
        wait_for(driver, "return document.getElementById('player').videoWidth > 0")
        first_still = wait_for(driver, "const i = document.querySelector('#ranges .still');"
                                        "return i.complete && i.naturalWidth > 0 && i.src.includes('layout=crop') &&"
                                        "!i.src.includes('centre=0.5000') && [i.src, i.naturalWidth, i.naturalHeight]")
        assert first_still[1:] == [270, 480]  # the recap's 9:16, from the camera path's start (not the centre)
        early, layout = window_at(driver, 1.0)
        late, _ = window_at(driver, 7.0)
        assert layout == "crop" and early < 0.1 and late > early + 0.2  # it follows the box to the right
        assert not driver.find_element(By.ID, "frame-window").get_attribute("hidden")

        Select(driver.find_element(By.CSS_SELECTOR, "#ranges .own-frame")).select_by_value("blur")
        blurred = wait_for(driver, "const i = document.querySelector('#ranges .still');"
                                   "return i.complete && i.src.includes('layout=blur') && i.naturalWidth > 0 && i.src")
        assert blurred != first_still[0]
        assert window_at(driver, 1.0)[1] == "blur"
        driver.find_element(By.ID, "save").click()
        wait_for(driver, "return document.getElementById('save-status').textContent.startsWith('Saved')")
        saved = json.loads((studio.project / "segments.json").read_text())
        assert saved[0]["frame"] == "blur"
    finally:
        driver.quit()
        studio.close()
