"""The studio's framing routes over real HTTP: each range's camera path in
the video's own time (analysed once, then from the cache), a still framed as
the recap frames it, and the questions they refuse."""

from __future__ import annotations

import subprocess

import pytest

from studio_served import served_studio
from vantor.recap.framing import frame_analysis
from vantor.studio import framing_view
from vantor.studio.app import Studio
from vantor.studio.engine_bridge import LoadedVideo
from vantor.studio.project import Project


@pytest.fixture
def signed_in(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    video = tmp_path / "right.mp4"  # a white box that walks to the right
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=0x203040:s=640x360:r=25:d=6",
                    "-f", "lavfi", "-i", "color=c=white:s=60x100:r=25:d=6", "-filter_complex",
                    "[0][1]overlay=x='20+90*t':y=130", "-c:v", "libx264", "-pix_fmt", "yuv420p", str(video)],
                   check=True)
    (tmp_path / "project").mkdir()
    studio = Studio(Project(tmp_path / "project"), "http://127.0.0.1:9")
    with served_studio(studio, "t" * 32) as page:
        studio._loaded["v1"] = LoadedVideo(str(video), 6.0, 25.0)  # the studio's own copy of a loaded film
        page.session.headers["origin"] = page.origin  # as the page's own requests carry it
        yield page


def test_a_range_s_path_in_the_video_s_time_analysed_once_and_a_still_framed_as_the_recap_frames_it(
        signed_in, monkeypatch):
    import cv2
    import numpy as np

    ask = lambda: signed_in.session.post(signed_in.base + "api/framing/v1", timeout=60,  # noqa: E731
                                         json={"segments": [{"start": "1", "end": "5"}]})
    path = ask().json()["ranges"][0]
    assert path["start"] == 1 and path["found"] and path["keys"][0][0] == pytest.approx(1, abs=0.01)
    assert path["keys"][-1][0] > 4 and path["keys"][-1][1] > path["keys"][0][1] + 0.1  # it moved right
    monkeypatch.setattr(frame_analysis, "analyse", lambda *a, **k: pytest.fail("analysed again"))
    assert ask().json()["ranges"][0] == path

    still = lambda **query: signed_in.session.get(  # noqa: E731
        signed_in.base + "api/still/v1", params={"at": "3", "aspect": "9:16", **query}, timeout=60)
    left, right, whole = (cv2.imdecode(np.frombuffer(still(**query).content, np.uint8), cv2.IMREAD_GRAYSCALE)
                          for query in ({"layout": "crop", "centre": "0"}, {"layout": "crop", "centre": "1"},
                                        {"layout": "blur"}))
    assert left.shape == right.shape == whole.shape == (480, 270)
    # The box is at x 290-350 of 640 at 3 s: in the middle third, in neither end's crop; blur shows it.
    assert left.max() < 200 and right.max() < 200 and whole.max() > 200
    assert still(layout="fit", at="0").status_code == 200  # the first frame is a time
    for query in ({"layout": "zoom"}, {"layout": "crop", "centre": "1.01"}, {"layout": "crop", "centre": "nan"},
                  {"layout": "fit", "aspect": "2:1"}, {"layout": "fit", "at": "-1"}):
        assert still(**query).status_code == 400, query


def test_the_framing_routes_refuse_what_they_cannot_answer(signed_in):
    post = lambda body, video="v1": signed_in.session.post(  # noqa: E731
        signed_in.base + f"api/framing/{video}", json=body, timeout=60)
    assert post({"segments": []}, "v2").status_code == 404
    assert signed_in.session.get(signed_in.base + "api/still/v2?at=1&layout=fit").status_code == 404
    for body in ({"segments": [{"start": "3", "end": "3"}]}, {"segments": [{"start": "x", "end": "3"}]},
                 {"segments": "0-3"}, {"segments": [["0", "3"]]}, {"segments": [], "aspect": 9}):
        assert post(body).status_code == 400, body
    many = post({"segments": [{"start": "0", "end": "0.1"}] * (framing_view.MAX_RANGES + 1)})
    assert many.status_code == 400 and "at most" in many.json()["error"]
    assert "at most" not in post({"segments": [{"start": "0", "end": "0.1"}] * framing_view.MAX_RANGES}).text
    long = post({"segments": [{"start": "0", "end": str(framing_view.MAX_SECONDS + 0.5)}]})
    assert "at most" in long.json()["error"]
    assert "at most" not in post({"segments": [{"start": "0", "end": str(framing_view.MAX_SECONDS)}]}).text


def test_a_caption_still_per_look_over_the_first_range_s_frame_or_grey(signed_in, monkeypatch):
    import cv2
    import numpy as np

    still = lambda **query: signed_in.session.get(signed_in.base + "api/caption-still",  # noqa: E731
                                                  params=query, timeout=60)

    def lit(picture):  # the karaoke's word being spoken (yellow) per half of the picture, top first
        bgr = cv2.imdecode(np.frombuffer(picture.content, np.uint8), cv2.IMREAD_COLOR).astype(int)
        yellow = (bgr[..., 2] > 170) & (bgr[..., 1] > 150) & (bgr[..., 0] < 100)
        return bgr, [int(half.sum()) for half in np.array_split(yellow, 2)]

    grey, (upper, lower) = lit(still(style="karaoke", size="large"))
    assert grey.shape == (240, 136, 3) and upper == 0 < lower  # small, and at the bottom by default
    over, (upper, lower) = lit(still(style="karaoke", size="large", position="top", video="v1", at="3", layout="fit"))
    assert upper > 0 == lower and abs(over.mean() - grey.mean()) > 10  # the film's frame, not the grey
    assert lit(still(style="clean"))[1] == [0, 0]  # no word lit
    for query, status in (({"style": "neon"}, 400), ({"size": "huge"}, 400), ({"position": "left"}, 400),
                          ({"video": "v9"}, 404), ({"at": "x"}, 400), ({"aspect": "2:1"}, 400)):
        answer = still(**query)
        assert answer.status_code == status and len(answer.json()["error"]) < 200, query
    monkeypatch.setattr(framing_view, "STILLS", 0)  # past the framing queue: busy at once
    assert still(style="pop").status_code == 503


@pytest.mark.slow
def test_framing_questions_past_a_short_queue_are_busy_and_sigterm_ends_the_studio_within_5_s(tmp_path):
    import signal
    import threading
    import time

    import requests

    from studio_browser import StudioProcess
    from vantor.demo.video_site import VideoSite

    film = tmp_path / "long.mp4"  # long enough that its analysis outlasts the test
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-t", "300",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "50", str(film)], check=True)
    with VideoSite(tmp_path / "www") as site:
        studio = StudioProcess(tmp_path)
        try:
            session = requests.Session()
            base = session.get(studio.address, timeout=10).url
            session.headers.update({"origin": studio.origin, "content-type": "application/json"})
            load = session.post(base + "api/load", json={"url": site.publish(film, "long")[0]}, timeout=30).json()["id"]
            ask = lambda start, end: session.post(base + f"api/framing/{load}", timeout=120,  # noqa: E731
                                                  json={"segments": [{"start": str(start), "end": str(end)}]})
            deadline = time.monotonic() + 120
            while ask(0, 0.5).status_code == 404 and time.monotonic() < deadline:  # loaded yet?
                time.sleep(0.2)
            answers: list[int] = []
            questions = [threading.Thread(target=lambda n=n: answers.append(ask(n, n + 290).status_code))
                         for n in range(12)]
            for question in questions:
                question.start()
            while len(answers) < 12 - 1 - framing_view.WAITING and time.monotonic() < deadline:
                time.sleep(0.05)
            assert answers.count(503) == 12 - 1 - framing_view.WAITING  # at once, holding no thread
            assert session.get(base + "api/state", timeout=10).status_code == 200  # the rest of the studio answers
            stopped = time.monotonic()
            studio.process.send_signal(signal.SIGTERM)
            assert studio.process.wait(timeout=30) == 0 and time.monotonic() - stopped < 5
            for question in questions:
                question.join(timeout=30)
            assert answers.count(503) == 12  # the analysing and the waiting ones told the studio is stopping
        finally:
            studio.close()
