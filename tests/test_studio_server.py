"""The studio's server without a browser: who may drive it, what it writes
and serves in the project folder, the fit words, and how a recap run is
stopped."""

from __future__ import annotations

import json
import os
import re
import threading
import time
from pathlib import Path

import pytest
import requests

from studio_browser import StudioProcess, processes_mentioning
from studio_served import served_studio
from vantor.cli import main
from vantor.recap.engine.options import RecapSpec
from vantor.services.server import InProcessServer, Services, new_token
from vantor.studio import engine_bridge as bridge
from vantor.studio.app import Studio
from vantor.studio.guard import StudioGuard, host_allowed
from vantor.studio.project import Project

TOKEN = "s3cret-token_0123456789"


# ---- who may drive it -------------------------------------------------------
@pytest.mark.parametrize("host, allowed", [
    ("127.0.0.1:8766", True), ("localhost:8766", True), ("[::1]:8766", True), ("192.168.1.5:8766", True),
    ("evil.example:8766", False),  # a name pointed at 127.0.0.1 (DNS rebinding)
    ("localhost.evil.example:8766", False), ("127.0.0.1:8767", False), ("127.0.0.1", False), ("", False),
])
def test_the_host_header_must_name_this_server_by_address(host, allowed):
    assert host_allowed(host, 8766) is allowed


GOOD = {"host": "127.0.0.1:8766", "origin": "http://127.0.0.1:8766", "content-type": "application/json"}


@pytest.mark.parametrize("method, path, headers, status", [
    ("GET", f"/{TOKEN}/api/state", {"host": GOOD["host"]}, None),
    ("POST", f"/{TOKEN}/api/save", GOOD, None),
    ("POST", f"/{TOKEN}/api/save", {**GOOD, "content-type": "application/json; charset=utf-8"}, None),
    ("GET", "/api/state", {"host": GOOD["host"]}, 404),  # no token
    ("GET", f"/{TOKEN[:-1]}/api/state", {"host": GOOD["host"]}, 404),
    ("GET", f"/{TOKEN}x/api/state", {"host": GOOD["host"]}, 404),
    ("GET", f"/{TOKEN[:4]}{'x' * (len(TOKEN) - 4)}/api/state", {"host": GOOD["host"]}, 404),  # right length, wrong
    ("GET", f"//{TOKEN}/api/state", {"host": GOOD["host"]}, 404),
    ("GET", f"/{TOKEN}/api/state", {"host": GOOD["host"], "origin": "http://evil.example"}, 403),
    ("POST", f"/{TOKEN}/api/save", {**GOOD, "origin": "null"}, 403),
    ("POST", f"/{TOKEN}/api/save", {**GOOD, "origin": "http://127.0.0.1:9999"}, 403),
    ("POST", f"/{TOKEN}/api/save", {k: v for k, v in GOOD.items() if k != "origin"}, 403),
    ("POST", f"/{TOKEN}/api/save", {**GOOD, "content-type": "text/plain"}, 415),
    ("OPTIONS", f"/{TOKEN}/api/save", {**GOOD, "origin": "http://evil.example"}, 403),  # no preflight passes
    ("GET", f"/{TOKEN}/api/state", {"host": "evil.example:8766"}, 403),
])
def test_guard(method, path, headers, status):
    refusal = StudioGuard(None, TOKEN, 8766).refusal(method, path, headers, True)  # type: ignore[arg-type]
    assert (refusal[0] if refusal else None) == status
    # Without the session cookie the token alone opens nothing.
    without = StudioGuard(None, TOKEN, 8766).refusal(method, path, headers, False)  # type: ignore[arg-type]
    assert (without[0] if without else None) == (status or 404)


# ---- a running studio -------------------------------------------------------
@pytest.fixture(scope="module")
def services(tmp_path_factory):
    server = InProcessServer(Services(tmp_path_factory.mktemp("cache"), token=new_token(), private_sources="direct"))
    yield server
    server.close()


@pytest.fixture
def studio(tmp_path, services):
    """The studio's application behind its guard, served on loopback."""
    (tmp_path / "project").mkdir()
    app = Studio(Project(tmp_path / "project"), services.base_url)
    with served_studio(app, TOKEN) as page:
        app.base, app.origin, app.session = page.base, page.origin, page.session  # type: ignore[attr-defined]
        yield app


def post(studio, path, body, **kwargs):
    return studio.session.post(studio.base + path, data=body if isinstance(body, (bytes, str)) else json.dumps(body),
                         headers={"origin": studio.origin, "content-type": "application/json"}, timeout=60, **kwargs)


def test_save_writes_exactly_the_engines_format_and_refuses_what_the_engine_would(studio):
    saved = studio.project.segments_path
    answer = post(studio, "api/save", {"segments": [
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": "Première — ligne.", "voice": "de", "id": 3}]})
    assert answer.status_code == 200, answer.text
    assert json.loads(saved.read_bytes().decode("utf-8")) == [
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": "Première — ligne."}]
    assert not saved.read_bytes().startswith(b"\xef\xbb\xbf")
    # A number of seconds is taken as `vantor recap` takes it, and saved as the engine's text.
    assert post(studio, "api/save", {"segments": [{"start": 1.5, "end": "4", "voiceover": "x"}]}).status_code == 200
    assert json.loads(saved.read_bytes()) == [{"start": "1.5", "end": "4", "voiceover": "x"}]
    before = saved.read_bytes()
    for bad in ([{"start": "5", "end": "4", "voiceover": "x"}],  # ends before it starts
                [{"start": "1", "end": "4", "voiceover": 7}],  # a number to say
                [{"start": "1", "end": "4", "voiceover": " "}],  # nothing to say
                [], "not a list"):
        answer = post(studio, "api/save", {"segments": bad})
        assert answer.status_code == 400, bad
        assert saved.read_bytes() == before  # the saved file is left whole
    assert post(studio, "api/save", {"segments": [{"start": "5", "end": "4", "voiceover": "x"}]}).json()["problems"]
    assert studio.session.get(studio.base + "api/segments", timeout=10).content == before


def test_the_first_exchange_makes_the_one_session_and_voids_every_other_code(tmp_path):
    """Two codes out (the open file's and the printed one): the first used
    opens the studio; the other, used after, opens nothing and is said."""
    said: list[str] = []
    (tmp_path / "project").mkdir()
    with served_studio(Studio(Project(tmp_path / "project"), "http://127.0.0.1:9"), TOKEN, sign_in=False) as page:
        page.guard._say = said.append
        printed = page.guard.one_time_path()
        opened = page.guard.open_file(page.origin, "https://v.example/x")
        code = re.search(r'name="code" value="([^"]+)"', Path(opened).read_text()).group(1)
        posted = requests.post(page.origin + "/open", data={"code": code, "url": "https://v.example/x"},
                               headers={"origin": "null"}, allow_redirects=False, timeout=10)
        assert posted.status_code == 200 and f"url=/{TOKEN}/?url=https%3A%2F%2Fv.example%2Fx" in posted.text
        assert not os.path.exists(opened) and said == []
        late = requests.get(page.origin + printed, allow_redirects=False, timeout=10)
        assert late.status_code == 403 and "set-cookie" not in late.headers and len(said) == 1
        assert requests.get(page.base + "api/state", cookies=posted.cookies, timeout=10).status_code == 200
        foreign = requests.post(page.origin + "/open", data={"code": code}, headers={"origin": "http://evil.example"},
                                timeout=10)
        assert foreign.status_code == 403


def test_only_kept_recaps_are_served_and_with_ranges(studio, tmp_path):
    recaps = studio.project.recaps
    recaps.mkdir()
    (recaps / "recap-1.mp4").write_bytes(bytes(range(256)) * 4)
    outside = tmp_path / "secret.mp4"
    outside.write_bytes(b"secret")
    os.symlink(outside, recaps / "link.mp4")
    (studio.project.root / "movie.mp4").write_bytes(b"the user's own")
    ranged = studio.session.get(studio.base + "results/recap-1.mp4", headers={"range": "bytes=10-19"}, timeout=10)
    assert ranged.status_code == 206 and ranged.content == bytes(range(10, 20))
    (recaps / "recap-1.vtt").write_text("WEBVTT\n", encoding="utf-8")
    captions = studio.session.get(studio.base + "results/recap-1.vtt", timeout=10)
    assert captions.headers["content-type"].startswith("text/vtt") and captions.text == "WEBVTT\n"
    download = studio.session.get(studio.base + "results/recap-1.mp4?download=1", timeout=10)
    assert download.headers["content-disposition"].startswith("attachment") and len(download.content) == 1024
    for name in ("link.mp4", "..%2Fmovie.mp4", "%2E%2E/movie.mp4", "../movie.mp4", "recap-1.mp4%00", "recap-2.mp4",
                 ".vantor-studio", "recap-1.txt"):
        answer = studio.session.get(studio.base + "results/" + name, timeout=10)
        assert answer.status_code == 404, name
        assert b"secret" not in answer.content and b"own" not in answer.content


def test_a_recaps_timelines_are_kept_with_their_media_beside_it(tmp_path):
    project = Project(tmp_path)
    made = tmp_path / "made.mp4"
    made.write_bytes(b"recap")
    kept = project.keep_result(made)
    media = tmp_path / "FINAL_RECAP.media"
    media.mkdir()
    (media / "source.mp4").write_bytes(b"film")
    timelines = [tmp_path / "FINAL_RECAP.kdenlive", tmp_path / "FINAL_RECAP.otio"]
    for path in timelines:
        path.write_text("<mlt/>")
    folder = project.keep_timelines(kept.stem, timelines, media)
    # Moved together, so the timelines' relative paths still lead to their media.
    assert folder == project.recaps / f"{kept.stem}.timeline"
    assert sorted(p.name for p in folder.iterdir()) == ["FINAL_RECAP.kdenlive", "FINAL_RECAP.media", "FINAL_RECAP.otio"]
    assert (folder / "FINAL_RECAP.media" / "source.mp4").read_bytes() == b"film"
    assert not media.exists() and not any(p.exists() for p in timelines)
    assert project.result(folder.name) is None  # a folder is never served as a result


def test_a_kept_recap_never_replaces_a_file(tmp_path, monkeypatch):
    project = Project(tmp_path)
    names = []
    for content in (b"first", b"second", b"third"):  # within one second: the same time stamp
        made = tmp_path / "made.mp4"
        made.write_bytes(content)
        names.append(project.keep_result(made))
        assert not made.exists()
    assert len(set(names)) == 3
    assert [p.read_bytes() for p in names] == [b"first", b"second", b"third"]
    # Captions go beside their recap under its stem; a stray caption file
    # that holds the first free name moves all three on, and stays as it was.
    from vantor.studio import project as project_module

    monkeypatch.setattr(project_module.time, "strftime", lambda form: "20260101-000000")
    stray = project.recaps / "recap-20260101-000000.vtt"
    stray.write_text("someone else's", encoding="utf-8")
    made = [tmp_path / "FINAL_RECAP.srt", tmp_path / "FINAL_RECAP.vtt", tmp_path / "FINAL_RECAP.mp4"]
    for path in made:
        path.write_text(path.suffix, encoding="utf-8")
    kept = project.keep_result(made[-1], made[:2])
    assert kept.name == "recap-20260101-000000-1.mp4" and not any(path.exists() for path in made)
    assert [kept.with_suffix(s).read_text(encoding="utf-8") for s in (".srt", ".vtt", ".mp4")] == [".srt", ".vtt", ".mp4"]
    assert stray.read_text(encoding="utf-8") == "someone else's"
    assert not stray.with_suffix(".srt").exists() and not stray.with_suffix(".mp4").exists()


def test_saved_segments_get_the_mode_of_any_new_file_and_leave_no_part_behind(tmp_path):
    project = Project(tmp_path)
    (tmp_path / "plain").write_text("")  # 0666 less this process's umask
    path, _ = project.save_segments([{"start": "0", "end": "2", "voiceover": "Hello."}])
    assert path.stat().st_mode & 0o777 == (tmp_path / "plain").stat().st_mode & 0o777 != 0o600
    with pytest.raises(ValueError):
        project.save_segments([{"start": "2", "end": "1", "voiceover": "x"}])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain", "segments.json"]


def test_fit_and_speak_answer_from_the_speech_service(studio):
    fit = post(studio, "api/fit", {"text": "Hello there.", "voice": "en-us", "start": "0", "end": "00:00:10"}).json()
    assert fit["range_seconds"] == 10 and 0.3 < fit["narration_seconds"] < 3 and fit["verdict"] == "short"
    spoken = post(studio, "api/speak", {"text": "Hello there.", "voice": "en-us"})
    assert spoken.headers["content-type"] == "audio/mpeg"
    assert float(spoken.headers["x-narration-seconds"]) == pytest.approx(fit["narration_seconds"], abs=0.01)
    for body, status in [
        ({"text": "x" * 5001, "voice": "en-us", "start": "0", "end": "1"}, 413),  # the speech service's limit
        ({"text": "Hi.", "voice": "no-such-voice", "start": "0", "end": "1"}, 400),
        ({"text": "Hi.", "voice": "en-us", "start": "1:75", "end": "2"}, 400),
        ({"text": "Hi.", "voice": "en-us", "start": "3", "end": "2"}, 400),
        ({"text": "  ", "voice": "en-us", "start": "0", "end": "1"}, 400),
    ]:
        assert post(studio, "api/fit", body).status_code == status, body
    assert post(studio, "api/fit", b"{" + b" " * 70_000 + b"}").status_code == 413


def test_make_refuses_bad_input_before_starting_anything(studio):
    good = [{"start": "0", "end": "2", "voiceover": "Hi."}]
    for body in ({"url": "file:///etc/passwd", "segments": good, "voice": "en-us"},
                 {"url": "http://127.0.0.1:1/v", "segments": [], "voice": "en-us"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "speed": 0.25},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "nobody"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "captions": "files"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "captions": "burn",
                  "caption_style": "neon"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "captions": "burn",
                  "caption_size": "huge"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "frame": "zoom"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "timeline": "avid"},
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "en-us", "timeline": ["otio"]}):
        assert post(studio, "api/make", body).status_code == 400, body
    assert not studio.project.work.exists()


# ---- fit words --------------------------------------------------------------
def _timing(duration, last_word_end):
    from vantor.services import NarrationTiming, WordTiming

    return NarrationTiming(duration, (WordTiming("Hello", 0.1, 0.8), WordTiming("there.", 0.9, last_word_end)), "espeak")


@pytest.mark.parametrize("start, end, duration, spoken_end, verdict", [
    ("0", "2.6", 3.0, 2.4, "fits"),  # the trailing silence is cut, no word is
    ("00:00:01", "00:00:03.3", 3.0, 2.4, "long"),  # the last word ends after the range
    ("0", "3.25", 3.0, 2.4, "fits"), ("0", "3.3", 3.0, 2.4, "short"),  # a quarter second more picture still fits
])
def test_the_fit_meter_says_what_the_fit_report_will(start, end, duration, spoken_end, verdict):
    fit = bridge.fit(start, end, _timing(duration, spoken_end))
    assert fit.verdict == verdict and fit.narration_seconds == duration
    assert not fit.words.startswith("segment")
    if verdict == "long":
        assert fit.range_seconds == pytest.approx(2.3)
        assert fit.words.startswith("the narration (3.0 s) is 0.7 s longer than its range (2.3 s)")
    if end == "3.3":
        assert fit.words == "the range (3.3 s) will be cut to the narration (3.0 s)"


# ---- a recap run ------------------------------------------------------------
LONG_RANGES = [{"start": "0", "end": "5.5", "voiceover": "One two three four five six seven eight nine ten."},
               {"start": "6", "end": "11.5", "voiceover": "Ten nine eight seven six five four three two one."}]
SPEC = RecapSpec(voice="en-us", speed=1.0)


def _make(services, film, work_dir, lines):
    return bridge.start_make(services_url=services.base_url, url=film, segments=LONG_RANGES, spec=SPEC,
                             work_dir=work_dir, on_line=lines.append)


def test_cancel_stops_a_run_in_this_process_at_once_and_leaves_no_child(services, film, tmp_path):
    # Cancelled before its engine run exists: it never starts one.
    early = _make(services, film, tmp_path / "early", [])
    started = time.monotonic()
    early.cancel()
    assert time.monotonic() - started < 5  # not after a whole run
    with pytest.raises(bridge.BridgeError, match="^cancelled$"):
        early.wait()
    assert not early._thread.is_alive() and not list((tmp_path / "early").rglob("*.mp4"))
    # Cancelled while the conversion's ffmpeg is working (the longest step).
    lines: list[str] = []
    converting = threading.Event()

    def on_line(line):
        lines.append(line)
        if "Making the vertical video" in line:
            converting.set()

    run = bridge.start_make(services_url=services.base_url, url=film, segments=LONG_RANGES, spec=SPEC,
                            work_dir=tmp_path / "late", on_line=on_line)
    assert converting.wait(60), lines
    for _ in range(200):  # bounded: 10 s
        if processes_mentioning(str(tmp_path / "late")) or not run._thread.is_alive():
            break
        time.sleep(0.05)
    assert processes_mentioning(str(tmp_path / "late")), lines
    started = time.monotonic()
    run.cancel()
    assert time.monotonic() - started < 10 and not run._thread.is_alive()
    assert processes_mentioning(str(tmp_path / "late")) == []
    with pytest.raises(bridge.BridgeError, match="^cancelled$"):
        run.wait()
    assert not (tmp_path / "late" / "out" / "FINAL_RECAP.mp4").exists()
    assert "Range 2 of 2: 6 to 11.5" in lines  # the run's lines in the page's words
    token = services.base_url.rsplit("/", 1)[1]
    assert not any(token in line for line in lines)  # the page never shows the services' token


def test_a_failed_run_says_why_in_one_line_and_success_needs_the_file(services, tmp_path, monkeypatch):
    lines: list[str] = []
    gone = _make(services, "http://127.0.0.1:9/missing.mp4", tmp_path / "gone", lines)
    with pytest.raises(bridge.BridgeError) as failed:
        gone.wait()
    reason = str(failed.value)
    assert "\n" not in reason and "could not be downloaded" in reason and "--debug" not in reason

    from vantor.recap.engine import checked_run

    def claims_success(prepared, **kwargs):  # a run that reports a file it never made
        return checked_run.RecapResult(final=tmp_path / "FINAL_RECAP.mp4", horizontal=tmp_path / "h.mp4",
                                       final_duration=3.0, horizontal_duration=3.0, final_size=1,
                                       horizontal_size=1, segments=2, wall_time=0.1, encoder="libx264")

    monkeypatch.setattr(checked_run, "execute", claims_success)
    with pytest.raises(bridge.BridgeError, match="file is missing"):
        _make(services, "http://127.0.0.1:9/v.mp4", tmp_path / "claim", []).wait()


# ---- the command line -------------------------------------------------------
def test_command_line_refusals(tmp_path, capsys):
    assert main(["studio", "--no-browser", "--port", "0", "--project", str(tmp_path / "missing")]) == 1
    assert "does not exist" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exited:
        main(["studio", "--no-browser", "--host", "0.0.0.0", "--project", str(tmp_path)])
    assert exited.value.code == 2 and "--allow" in capsys.readouterr().err


def test_the_studio_on_every_ipv6_address_answers_on_the_ipv6_loopback(tmp_path):
    studio = StudioProcess(tmp_path, "--host", "::", "--allow", "::/0")
    try:
        assert studio.address.startswith("http://[::]:"), studio.address
        page = requests.get(studio.address.replace("[::]", "[::1]", 1), timeout=30)
        assert page.status_code == 200 and "<html" in page.text.lower()
        services = re.search(r"services on (http://\S+)\)", studio.first_line)
        assert services and services.group(1).startswith("http://[::]:"), studio.first_line
    finally:
        studio.close()


def test_the_page_loads_nothing_from_another_site():
    from vantor.studio.app import static_dir

    for path in static_dir().iterdir():
        text = path.read_text(encoding="utf-8")
        for form in (r"""(src|href|action)\s*=\s*["']?(https?:)?//""", r"""url\(\s*["']?(https?:)?//""",
                     r"""(import|fetch|EventSource)\s*\(?\s*["'`](https?:)?//"""):
            assert not re.search(form, text), (path.name, form)


def test_at_most_two_recaps_at_once_and_bounded_bodies(studio, monkeypatch):
    from vantor.studio import app as studio_app

    release = threading.Event()

    class HeldRun:  # a run that lasts until the test lets it end
        cancelled = False

        def __init__(self, **kwargs):
            self.work_dir = kwargs["work_dir"]

        def wait(self):
            release.wait(30)
            raise bridge.BridgeError("ended by the test")

    monkeypatch.setattr(studio_app.bridge, "start_make", HeldRun)
    body = {"url": "http://127.0.0.1:1/v", "segments": [{"start": "0", "end": "2", "voiceover": "Hi."}],
            "voice": "en-us"}
    try:
        assert [post(studio, "api/make", body).status_code for _ in range(3)] == [200, 200, 429]
    finally:
        release.set()
    big = {"segments": [{"start": "0", "end": "2", "voiceover": "x" * 4000}] * 262}  # just over 1 MiB
    assert post(studio, "api/save", big).status_code == 413
    assert post(studio, "api/save", {"segments": big["segments"][:200]}).status_code == 200


def test_a_reconnected_reader_gets_only_the_events_it_missed():
    import asyncio

    from vantor.studio.events import Activity

    activity = Activity("make")
    for line in ("one", "two", "three"):
        activity.post("stage", text=line)
    activity.post("done", name="r.mp4")
    activity.post("stage", text="after the end")  # not news any more

    async def read(seen):
        return [chunk async for chunk in activity.stream(seen)]

    chunks = asyncio.run(read(2))
    assert [c.split("\n")[0] for c in chunks] == ["id: 3", "id: 4"]
    assert json.loads(chunks[-1].split("data: ", 1)[1]) == {"type": "done", "name": "r.mp4"}
