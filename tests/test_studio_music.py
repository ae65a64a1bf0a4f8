"""The studio's music (a folder named at its start, chosen by file name
only) and its fit meter, which says what the chosen fit makes of each range."""

from __future__ import annotations

import json

import pytest

from studio_served import served_studio
from vantor.cli import main
from vantor.services import NarrationTiming, WordTiming
from vantor.studio import engine_bridge as bridge
from vantor.studio.app import Studio
from vantor.studio.project import Project

TOKEN = "music-token_0123456789abc"
GOOD = [{"start": "0", "end": "2", "voiceover": "Hi."}]


@pytest.fixture
def studio(tmp_path):
    (tmp_path / "project").mkdir()
    (tmp_path / "beds").mkdir()
    for name in ("calm bed.mp3", "b.wav", "notes.txt"):
        (tmp_path / "beds" / name).write_text("x")
    (tmp_path / "secret.mp3").write_text("x")
    app = Studio(Project(tmp_path / "project"), "http://127.0.0.1:9", music_dir=tmp_path / "beds")  # no speech here
    with served_studio(app, TOKEN) as page:
        yield app, page


def test_music_is_chosen_by_a_name_of_the_folder_never_by_a_path(studio, tmp_path, monkeypatch):
    app, page = studio
    post = lambda body: page.session.post(page.base + "api/make", data=json.dumps(body), timeout=30,  # noqa: E731
                                          headers={"origin": page.origin, "content-type": "application/json"})
    assert page.session.get(page.base + "api/state", timeout=30).json()["music"] == ["b.wav", "calm bed.mp3"]
    started = []
    monkeypatch.setattr(bridge, "start_make", lambda **kw: started.append(kw["spec"]) or pytest.fail("started"))
    body = {"url": "http://127.0.0.1:1/v", "segments": GOOD, "voice": "en-us"}
    for bad in ("notes.txt", "../secret.mp3", str(tmp_path / "beds" / "b.wav"), "beds/b.wav", ["b.wav"], "B.WAV"):
        answer = post({**body, "music": bad})
        assert answer.status_code == 400 and "music must be the name of a file" in answer.json()["error"], bad
    monkeypatch.setattr(bridge, "start_make", lambda **kw: started.append(kw["spec"]) or object())
    assert post({**body, "music": "calm bed.mp3"}).status_code == 200 and post({**body, "music": ""}).status_code == 200
    assert [spec.music for spec in started] == [str(tmp_path / "beds" / "calm bed.mp3"), None]
    app.music_dir = None
    assert "no music folder" in post({**body, "music": "b.wav"}).json()["error"]
    assert main(["studio", "--music", str(tmp_path / "none"), "--no-browser", "--port", "0"]) != 0


def test_the_fit_meter_says_what_each_fit_makes_of_the_range():
    timing = NarrationTiming(3.0, (WordTiming("Hello", 0.1, 0.8), WordTiming("big", 0.9, 1.5),
                                   WordTiming("world.", 1.6, 2.6)), "espeak")
    said = {(mode, end): (fit := bridge.fit("0", end, timing, mode)).verdict + " " + fit.clip_words
            for mode in ("extend", "range", "narration") for end in ("1.0", "1.5", "2.6", "3.25", "3.3", "9")}
    assert said["extend", "1.0"] == "past clip 3.0 s: runs 2.0 s past the range's end, over the source"
    assert said["extend", "9"] == said["range", "9"] == "fits clip 9.0 s: no word lost"
    assert said["range", "1.0"] == said["narration", "1.0"] == "long clip 1.0 s: 2 words lost (big world.)"
    assert said["range", "1.5"] == "long clip 1.5 s: 1 word lost (world.)" and said["range", "2.6"].startswith("fits")
    assert said["narration", "9"] == "short clip 3.0 s: 6.0 s shorter than the range"
    assert said["narration", "3.25"] == "fits clip 3.0 s: no word lost"
    assert said["narration", "3.3"] == "short clip 3.0 s: 0.3 s shorter than the range"
    assert bridge.fit("0", "1", timing, "extend").as_json()["clip_seconds"] == 3.0  # one length: the voiced one
