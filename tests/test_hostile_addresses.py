"""Hostile file addresses from the download service: none may become a wget
option. Anything but an http(s) address with something after the scheme is
refused before wget starts; what is accepted reaches wget as its last
argument, whole, beginning with the scheme. wget is replaced by `true` given
the same argument vector, so nothing leaves the machine while the process
layer still judges every argument."""

from __future__ import annotations

import subprocess
from types import SimpleNamespace

import pytest

from test_download_client import dl  # noqa: F401  (fixture)

REFUSED = ["-e robots=off", "--execute=robots=off", "-O/tmp/elsewhere", " http://h/f", "\nhttp://h/f",
           "ftp://h/f", "file:///etc/passwd", "http://", "https://", "HTTPS://", "javascript:alert(1)",
           "data:text/plain,x", "//h/f", "h/f", "", "http:/h/f", "-", "\u2212e x"]
ACCEPTED = ["http://h/f.mp4 -e robots=off", "https://h/x\n-e x", "HTTP://h/f", "hTTpS://h/f", "http://-e/x",
            "http://h/--execute=x", "https://h/f;rm -rf /", "http://h/$(id)`id`", "http://h/\u00e9\U0001F3AC"]
NOT_TEXT = [12, None, ["-e", "x"], {"url": "http://h/f"}]


@pytest.mark.parametrize("address", REFUSED + ACCEPTED + NOT_TEXT, ids=repr)
def test_no_address_becomes_a_wget_option(dl, address):  # noqa: F811
    runs = []

    def run(argv, **options):
        runs.append(list(argv))
        return subprocess.run(["true", *argv[1:]], **options)

    dl.engine.subprocess = SimpleNamespace(run=run)
    dl.service.script_polls([{"body": {"success": True, "progress": 1000, "download_url": address}}])
    try:
        dl.download()
        error = None
    except Exception as exc:  # noqa: BLE001 - judged below
        error = exc
    if address in ACCEPTED:
        assert error is None and runs == [dl.wget_argv(address)]
    elif address in REFUSED:
        assert type(error) is Exception and str(error).startswith("Download API error: ") and runs == []
    else:  # the process layer refuses what is not text before anything starts
        assert type(error) is TypeError and runs in ([], [dl.wget_argv(address)])
