"""A video file as a recap's source: served for the run alone, at one secret
address, and refused where only a remote service would fetch it."""

from __future__ import annotations

import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from child_env import child_env
from vantor.services.file_source import is_video_file, published_file

ROOT = Path(__file__).resolve().parents[1]


def status(address: str, method: str = "GET") -> tuple[int, bytes]:
    try:
        with urllib.request.urlopen(urllib.request.Request(address, method=method), timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, b""


def test_only_the_published_address_serves_the_file_and_only_while_it_lasts(tmp_path):
    film, other = tmp_path / "my film.mp4", tmp_path / "other.mp4"
    film.write_bytes(b"\x00\x00\x00\x18ftypisom" + bytes(range(256)) * 64)
    other.write_bytes(b"not for anyone")
    with published_file(str(film)) as address:
        assert address.startswith("http://127.0.0.1:") and address.endswith("/my%20film.mp4")
        assert status(address) == (200, film.read_bytes()) and status(address, "HEAD") == (200, b"")
        root, secret, name = address.rsplit("/", 2)
        wrong = secret[:-1] + ("A" if secret[-1] != "A" else "B")  # the same length, one character off
        for elsewhere in (f"{root}/{wrong}/{name}", f"{root}/{secret}/other.mp4", f"{root}/", f"{address}?x",
                          f"{root}/{secret}/../other.mp4"):
            assert status(elsewhere) == (404, b""), elsewhere
    with pytest.raises(urllib.error.URLError):
        status(address)


def test_a_file_is_a_source_only_for_the_local_services(tmp_path):
    film = tmp_path / "film.mp4"
    film.write_bytes(b"x")
    assert is_video_file(str(film)) and not is_video_file(str(tmp_path)) and not is_video_file("https://a.b/c.mp4")
    (tmp_path / "s.json").write_text('[{"start": "0", "end": "1", "voiceover": "Hello."}]')
    done = subprocess.run([sys.executable, "-m", "vantor", "recap", str(film), str(tmp_path / "s.json"),
                           "--services", "configured", "--output-dir", str(tmp_path)], cwd=ROOT, env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == (f"vantor: {str(film)!r} is a file on this machine, which only the local services started "
                           "here can fetch; use --services local\n")
