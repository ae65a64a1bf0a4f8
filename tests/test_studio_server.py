"""The studio's server without a browser: who may drive it, what it writes
and serves in the project folder, the fit words, and how a recap run is
stopped."""

from __future__ import annotations

import json
import os
import re
import sys
import threading
import time

import pytest
import requests
import uvicorn

from studio_browser import processes_mentioning
from vantor.cli import main
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
    refusal = StudioGuard(None, TOKEN, 8766).refusal(method, path, headers)  # type: ignore[arg-type]
    assert (refusal[0] if refusal else None) == status


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
    import socket

    sock = socket.create_server(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(StudioGuard(app.app, TOKEN, port), log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    for _ in range(200):
        if server.started:
            break
        time.sleep(0.05)
    app.base = f"http://127.0.0.1:{port}/{TOKEN}/"  # type: ignore[attr-defined]
    app.origin = f"http://127.0.0.1:{port}"  # type: ignore[attr-defined]
    yield app
    server.should_exit = True
    thread.join(timeout=10)
    sock.close()


def post(studio, path, body, **kwargs):
    return requests.post(studio.base + path, data=body if isinstance(body, (bytes, str)) else json.dumps(body),
                         headers={"origin": studio.origin, "content-type": "application/json"}, timeout=60, **kwargs)


def test_save_writes_exactly_the_engines_format_and_refuses_what_the_engine_would(studio):
    saved = studio.project.segments_path
    answer = post(studio, "api/save", {"segments": [
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": "Première — ligne.", "voice": "de", "id": 3}]})
    assert answer.status_code == 200, answer.text
    assert json.loads(saved.read_bytes().decode("utf-8")) == [
        {"start": "00:00:01.000", "end": "00:00:04.160", "voiceover": "Première — ligne."}]
    assert not saved.read_bytes().startswith(b"\xef\xbb\xbf")
    before = saved.read_bytes()
    for bad in ([{"start": "5", "end": "4", "voiceover": "x"}],  # ends before it starts
                [{"start": 1, "end": "4", "voiceover": "x"}],  # a number, not text
                [{"start": "1", "end": "4", "voiceover": " "}],  # nothing to say
                [], "not a list"):
        answer = post(studio, "api/save", {"segments": bad})
        assert answer.status_code == 400, bad
        assert saved.read_bytes() == before  # the saved file is left whole
    assert post(studio, "api/save", {"segments": [{"start": "5", "end": "4", "voiceover": "x"}]}).json()["problems"]
    assert requests.get(studio.base + "api/segments", timeout=10).content == before


def test_only_kept_recaps_are_served_and_with_ranges(studio, tmp_path):
    recaps = studio.project.recaps
    recaps.mkdir()
    (recaps / "recap-1.mp4").write_bytes(bytes(range(256)) * 4)
    outside = tmp_path / "secret.mp4"
    outside.write_bytes(b"secret")
    os.symlink(outside, recaps / "link.mp4")
    (studio.project.root / "movie.mp4").write_bytes(b"the user's own")
    ranged = requests.get(studio.base + "results/recap-1.mp4", headers={"range": "bytes=10-19"}, timeout=10)
    assert ranged.status_code == 206 and ranged.content == bytes(range(10, 20))
    download = requests.get(studio.base + "results/recap-1.mp4?download=1", timeout=10)
    assert download.headers["content-disposition"].startswith("attachment") and len(download.content) == 1024
    for name in ("link.mp4", "..%2Fmovie.mp4", "%2E%2E/movie.mp4", "../movie.mp4", "recap-1.mp4%00", "recap-2.mp4",
                 ".vantor-studio"):
        answer = requests.get(studio.base + "results/" + name, timeout=10)
        assert answer.status_code == 404, name
        assert b"secret" not in answer.content and b"own" not in answer.content


def test_a_kept_recap_never_replaces_a_file(tmp_path):
    project = Project(tmp_path)
    names = []
    for content in (b"first", b"second", b"third"):  # within one second: the same time stamp
        made = tmp_path / "made.mp4"
        made.write_bytes(content)
        names.append(project.keep_result(made))
        assert not made.exists()
    assert len(set(names)) == 3
    assert [p.read_bytes() for p in names] == [b"first", b"second", b"third"]


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
                 {"url": "http://127.0.0.1:1/v", "segments": good, "voice": "nobody"}):
        assert post(studio, "api/make", body).status_code == 400, body
    assert not studio.project.work.exists()


# ---- fit words --------------------------------------------------------------
@pytest.mark.parametrize("range_seconds, narration, verdict", [
    (1.0, 1.0, "fits"), (1.0, 1.25, "fits"), (1.25, 1.0, "fits"),  # the tolerance itself still fits
    (1.0, 1.3, "long"), (1.3, 1.0, "short"), (6.0, 8.2, "long"), (10.0, 0.9, "short"),
])
def test_fit_words(range_seconds, narration, verdict):
    assert bridge.FIT_TOLERANCE == 0.25
    fit = bridge.fit_words(range_seconds, narration)
    assert fit.verdict == verdict
    if verdict == "long":
        assert "longer than its range" in fit.words and "last words will be cut" in fit.words
    if (range_seconds, narration) == (6.0, 8.2):
        assert fit.words.startswith("the narration (8.2 s) is 2.2 s longer than its range (6.0 s)")
    if (range_seconds, narration) == (10.0, 0.9):
        assert fit.words == "the range (10.0 s) will be cut to the narration (0.9 s)"


# ---- a recap run ------------------------------------------------------------
def test_cancel_ends_the_run_and_every_process_it_started(tmp_path):
    marker = f"vantor-studio-test-{os.getpid()}-{time.monotonic_ns()}"
    sleeper = f"import time; time.sleep(300)  # {marker}"
    child = f"import subprocess, sys, time; subprocess.Popen([sys.executable, '-c', {sleeper!r}]); time.sleep(300)"
    script = (f"import subprocess, sys, time; subprocess.Popen([sys.executable, '-c', {child!r}]);"
              "print('started', file=sys.stderr, flush=True); time.sleep(300)")
    lines: list[str] = []
    run = bridge.MakeRun([sys.executable, "-c", script], tmp_path, lines.append)
    for _ in range(200):
        if lines:
            break
        time.sleep(0.05)
    assert lines == ["started"]
    for _ in range(200):  # the child, its child and the run itself
        if len(processes_mentioning(marker)) == 3:
            break
        time.sleep(0.05)
    assert len(processes_mentioning(marker)) == 3
    started = time.monotonic()
    run.cancel()
    assert time.monotonic() - started < bridge.CANCEL_GRACE + 6
    assert processes_mentioning(marker) == []
    with pytest.raises(bridge.BridgeError, match="cancelled"):
        run.wait()


def test_success_is_believed_only_with_the_file(tmp_path):
    missing = tmp_path / "FINAL_RECAP.mp4"
    claim = json.dumps({"outputs": {"final": str(missing)}, "durations": {"final": 3.0}})
    run = bridge.MakeRun([sys.executable, "-c", f"print({claim!r})"], tmp_path, lambda line: None)
    with pytest.raises(bridge.BridgeError, match="file is missing"):
        run.wait()
    failing = bridge.MakeRun([sys.executable, "-c", "import sys; print('vantor: the video is private', "
                                                    "file=sys.stderr); sys.exit(1)"], tmp_path, lambda line: None)
    with pytest.raises(bridge.BridgeError, match="^the video is private$"):
        failing.wait()


# ---- the command line -------------------------------------------------------
def test_command_line_refusals(tmp_path, capsys):
    assert main(["studio", "--no-browser", "--port", "0", "--project", str(tmp_path / "missing")]) == 1
    assert "does not exist" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exited:
        main(["studio", "--no-browser", "--host", "0.0.0.0", "--project", str(tmp_path)])
    assert exited.value.code == 2 and "--allow" in capsys.readouterr().err


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
