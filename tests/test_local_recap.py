"""Whole recaps with the local services and no stand-ins: `vantor recap` as a
user runs it, and `vantor.local_services()` from Python."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
import requests

import vantor
from child_env import child_env
from service_helpers import streams
from vantor.demo.video_site import VideoSite

ROOT = Path(__file__).resolve().parents[1]
SEGMENTS = [{"start": "1", "end": "3.5", "voiceover": "The story starts here."},
            {"start": "6", "end": "8.5", "voiceover": "And here it ends."}]


@pytest.fixture
def page(tmp_path, source_video):
    with VideoSite(tmp_path / "www") as site:
        yield site.publish(source_video, "film")[0]


@pytest.fixture
def segments(tmp_path):
    path = tmp_path / "segments.json"
    path.write_text(json.dumps(SEGMENTS))
    return str(path)


def recap(*args, cache, keep_services_url=False):
    env = child_env(VANTOR_CACHE_DIR=str(cache))
    if not keep_services_url:
        env.pop("VANTOR_SERVICES_URL", None)
    return subprocess.run([sys.executable, "-m", "vantor", "recap", *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=400)


@pytest.mark.slow
def test_vantor_recap_of_a_video_page_with_the_local_services(page, segments, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    done = recap(page, segments, "--voice", "en-US-GuyNeural", "--output-dir", str(out), cache=tmp_path / "cache")
    assert done.returncode == 0, done.stderr
    # stdout is the result alone: the services' and the engine's lines are all on stderr.
    assert done.stdout == f"{out / 'FINAL_RECAP.mp4'}\n"
    progress = done.stderr.splitlines()
    assert progress[0] == "vantor: using the local download and speech services (on this machine)"
    engine_starts = next(n for n, line in enumerate(progress) if "Requesting download from server" in line)
    # The download ahead of the engine's, up to its last figure.
    assert re.fullmatch(r"  downloading: 100% \S+ \S+ of \S+ \S+.*", progress[engine_starts - 1]), done.stderr
    final = streams(out / "FINAL_RECAP.mp4")
    assert final["video"] == "h264" and final["audio"] == "aac" and final["duration"] > 2
    assert len(list((tmp_path / "cache" / "speech").glob("*.mp3"))) == 2

    again = recap(page, segments, "--voice", "en-US-GuyNeural", "--output-dir", str(out), "--json", "-q", "--force",
                  cache=tmp_path / "cache")
    assert (again.returncode, again.stderr) == (0, "")
    result = json.loads(again.stdout)
    assert result["outputs"]["final"] == str(out / "FINAL_RECAP.mp4") and result["segments"] == 2
    assert result["durations"]["final"] == pytest.approx(final["duration"], abs=0.1)


def test_an_unknown_voice_stops_recap_before_the_download(page, segments, tmp_path):
    done = recap(page, segments, "--voice", "en-US-Nobody", "--output-dir", str(tmp_path), cache=tmp_path / "cache")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == "vantor: unknown voice 'en-US-Nobody'; see vantor voices\n"
    assert not (tmp_path / "cache").exists()


class _Recorder(BaseHTTPRequestHandler):
    """Stands for a `vantor serve` that has no video: records each request."""

    seen: list[str] = []

    def do_GET(self) -> None:
        self.seen.append(self.path)
        body = json.dumps({"success": False, "error": "no video at that address"}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args: object) -> None:
        pass


@pytest.mark.parametrize("services", [["--services", "local"], []])  # explicit, and the placeholder build's default
def test_the_voice_of_a_running_serve_is_checked_before_any_request(segments, tmp_path, services, monkeypatch):
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Recorder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    _Recorder.seen = []
    monkeypatch.setenv("VANTOR_SERVICES_URL", f"http://127.0.0.1:{server.server_port}")
    try:
        args = ("https://videos.example/watch?v=1", segments, "--output-dir", str(tmp_path), *services)
        refused = recap(*args, "--voice", "en-US-Nobody", cache=tmp_path / "cache", keep_services_url=True)
        assert (refused.returncode, refused.stdout, _Recorder.seen) == (1, "", [])
        assert refused.stderr == "vantor: unknown voice 'en-US-Nobody'; see vantor voices\n"

        asked = recap(*args, "--voice", "en-GB-SoniaNeural", cache=tmp_path / "cache", keep_services_url=True)
        assert len(_Recorder.seen) == 1 and _Recorder.seen[0].startswith("/ajax/download.php?format=1080&url=https")
        assert asked.returncode == 1 and asked.stdout == ""
        lines = asked.stderr.splitlines()
        assert [lines[0], lines[-1]] == [
            f"vantor: using the local download and speech services (at http://127.0.0.1:{server.server_port})",
            "vantor: the video could not be downloaded: no video at that address; check the address"]
        # The narrations are spoken beside the download, whose failure ends the run before the fit report
        # (which this stand-in cannot give) is shown.
        assert lines[1:-1] == []
    finally:
        server.shutdown()
        server.server_close()


def test_an_unavailable_video_is_one_line_with_the_reason(page, segments, tmp_path):
    missing = page.replace("/watch/film.html", "/media/gone.mp4")
    done = recap(missing, segments, "--voice", "en-us", "--output-dir", str(tmp_path), cache=tmp_path / "cache")
    # A missing page reads like a closed port: the service is no port scanner.
    assert done.returncode == 1 and "the video is unavailable at that address" in done.stderr.splitlines()[-1], \
        done.stderr


@pytest.mark.slow
def test_local_services_from_python_restores_the_binding(engine, page, tmp_path):
    from vantor.bindings import current_bindings

    before = engine.requests
    with vantor.local_services(cache_dir=tmp_path / "cache") as services:
        # Bound for this context's engine calls; the module's own name is left alone.
        assert current_bindings()["requests"] is services.router and engine.requests is before
        services.prefetch(page)  # as vantor recap does: the engine's job then finds the file finished
        engine.time = type("ShortSleep", (), {"sleep": staticmethod(lambda s: time.sleep(0.05))})
        engine._download_video(page, str(tmp_path / "movie.mp4"))
    assert engine.requests is before and "requests" not in current_bindings()
    assert streams(tmp_path / "movie.mp4")["video"] == "h264"
    with pytest.raises(requests.ConnectionError), vantor.local_services(services.base_url):  # a stopped address
        engine._download_video(page, str(tmp_path / "again.mp4"))
    assert engine.requests is before


def test_doctor_needs_espeak_on_a_placeholder_build(tmp_path):
    for tool in ("ffmpeg", "ffprobe", "wget"):
        (tmp_path / tool).symlink_to(subprocess.run(["which", tool], capture_output=True, text=True).stdout.strip())
    env = child_env(PATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-m", "vantor", "doctor"], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 1 and done.stdout.splitlines()[-1] == "not ready", done.stdout
    assert "✗ espeak-ng: not found on PATH" in done.stdout and "✓ yt-dlp: " in done.stdout


def test_serve_runs_until_sigterm_and_logs_each_request(tmp_path):
    import signal
    import socket

    import requests as http

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    env = child_env(PYTHONUNBUFFERED="1")
    server = subprocess.Popen([sys.executable, "-m", "vantor", "serve", "--port", str(port), "--cache-dir",
                               str(tmp_path / "cache")], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    try:
        first = server.stdout.readline()
        assert first.startswith(f"vantor serve: download and speech services on http://127.0.0.1:{port}/")
        base = first.split(" on ", 1)[1].split(" ", 1)[0]  # its token included
        for _ in range(100):  # bounded wait for the socket
            try:
                answer = http.post(f"{base}/api/generate-audio-frontend",
                                   json={"text": "", "voice": "en-us"}, timeout=5)
                break
            except http.ConnectionError:
                time.sleep(0.1)
        assert answer.status_code == 400
        server.send_signal(signal.SIGTERM)
        out, _ = server.communicate(timeout=30)
    finally:
        server.kill()
    assert server.returncode == 0, out
    assert '"POST /<token>/api/generate-audio-frontend HTTP/1.1" 400' in out
    assert out.splitlines()[-1] == "vantor serve: stopped"


def test_serve_refuses_a_public_bind_without_an_allow_list():
    env = child_env()
    done = subprocess.run([sys.executable, "-m", "vantor", "serve", "--host", "0.0.0.0"], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "--allow CIDR" in done.stderr and done.stdout == ""
