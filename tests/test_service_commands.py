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
    header, *rows = [line.split(None, 2) for line in whole.stdout.splitlines()]
    assert whole.returncode == 0 and header == ["NAME", "ENGINE", "VOICE"]
    rows = [row for row in rows if len(row) == 3]
    assert ["en-GB-RyanNeural", "espeak-ng", "en-gb+m3: not neural, only the name looks it"] in rows
    assert ["en-us", "espeak-ng", "en-us"] in rows
    if bundled_voice() and piper_version():
        assert ["en-US-GuyNeural", "neural", "en_US-joe-medium (en_US)"] in rows
        assert ["en-US-EricNeural", "neural", "en_US-joe-medium (en_US): the same voice as en-US-GuyNeural"] in rows
    else:  # three espeak-ng variants: three voices
        assert ["en-US-GuyNeural", "espeak-ng", "en-us+m3"] in rows and "same voice" not in whole.stdout


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
