"""`vantor serve` and `vantor voices` keep every command's conventions: exit
statuses 0/1/2/130, one line for a failure, stdout for what a caller reads
(and a reader that goes away ends nothing in a traceback)."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
from child_env import child_env
import requests

from vantor.services.piper_backend import bundled_voice, piper_version

ROOT = Path(__file__).resolve().parents[1]
ENV = child_env(PYTHONUNBUFFERED="1")


def vantor(*args: str) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, "-m", "vantor", *args], cwd=ROOT, env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_voices_into_a_closed_pipe_ends_quietly():
    listing = vantor("voices")
    assert listing.stdout is not None
    listing.stdout.close()  # the reader is gone before the list is written, as `| head -0` leaves it
    _, err = listing.communicate(timeout=60)
    assert (listing.returncode, err) == (1, "")

    whole = subprocess.run([sys.executable, "-m", "vantor", "voices"], cwd=ROOT, env=ENV, capture_output=True,
                           text=True, timeout=60)
    groups: dict[str, list[list[str]]] = {}
    for line in whole.stdout.splitlines():  # a title per engine, its voices indented under it
        if line.startswith("  "):
            groups[title].append(line.split(None, 1))
        else:
            title = line.split(":")[0]
            groups[title] = []
    assert whole.returncode == 0
    espeak = groups.pop("espeak-ng")
    assert ["en-GB-RyanNeural", "en-gb+m3: espeak-ng, not neural (only the name looks it)"] in espeak
    assert ["en-us", "en-us"] in espeak and espeak.index(["en-us", "en-us"]) < espeak.index(["en-US-JennyNeural",
        "en-us+f3: espeak-ng, not neural (only the name looks it)"])  # espeak-ng's own names first
    if bundled_voice() and piper_version():  # without piper: tests/test_neural_speech.py
        assert list(groups) == ["neural (piper)"]
        assert groups["neural (piper)"] == [["en-US-GuyNeural", "en_US-joe-medium (en_US) [default]"],
                                            ["en-US-ChristopherNeural", "the same voice as en-US-GuyNeural"],
                                            ["en-US-EricNeural", "the same voice as en-US-GuyNeural"]]


@pytest.mark.parametrize("stop, status", [(signal.SIGINT, 130), (signal.SIGTERM, 0)])
def test_serve_logs_on_stderr_and_stops_with_the_shared_statuses(tmp_path, stop, status):
    server = vantor("serve", "--port", "0", "--cache-dir", str(tmp_path / "cache"))
    try:
        assert server.stdout is not None
        first = server.stdout.readline()
        base = first.split(" on ", 1)[1].split(" ", 1)[0]
        assert first.startswith("vantor serve: download and speech services on http://127.0.0.1:"), first
        for _ in range(100):  # bounded wait for the socket
            try:
                answer = requests.post(f"{base}/api/generate-audio-frontend", json={"text": "", "voice": "en-us"},
                                       timeout=5)
                break
            except requests.ConnectionError:
                time.sleep(0.1)
        assert answer.status_code == 400
        server.send_signal(stop)
        out, err = server.communicate(timeout=30)
    finally:
        server.kill()
    assert server.returncode == status, err
    assert out == "vantor serve: stopped\n"  # the request log is not for stdout's reader
    assert '"POST /<token>/api/generate-audio-frontend HTTP/1.1" 400' in err  # the log does not show the token
    assert base.rsplit("/", 1)[1] not in err
    assert ("vantor: interrupted" in err) == (stop == signal.SIGINT) and "Traceback" not in err


def test_serve_on_a_port_in_use_is_one_line():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        done = subprocess.run([sys.executable, "-m", "vantor", "serve", "--port", str(port)], cwd=ROOT, env=ENV,
                              capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"vantor: cannot listen on 127.0.0.1 port {port}: Address already in use; "
                           "choose another with --port (or stop what uses it)\n")


def test_serve_refuses_a_bad_allow_network_as_a_usage_error():
    done = subprocess.run([sys.executable, "-m", "vantor", "serve", "--allow", "10.0.0.300/8"], cwd=ROOT, env=ENV,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stdout == "" and "not a network like 192.168.1.0/24" in done.stderr
