"""Which services a `vantor recap` uses, and the local ones' part of it: the
voice check, the download with yt-dlp's progress, the engine's binding."""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

from .services import DownloadError, Progress, bind, placeholder_hosts, start_local_services
from .services.voices import check_voice

__all__ = ["add_services_option", "recap_services"]


def add_services_option(parser: Any) -> None:
    parser.add_argument("--services", choices=("local", "configured"), default=None,
                        help="local: run the download and speech services on this machine (yt-dlp, espeak-ng); "
                             "configured: the hosts the build names (default: local when those are placeholders)")


def _size(count: float | None) -> str:
    if count is None:
        return "?"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.1f} {unit}" if unit != "B" else f"{int(count)} B"
        count /= 1024
    return "?"


class _ProgressLine:
    """yt-dlp's progress on one terminal line (a line every 10 s elsewhere)."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.tty = stream.isatty()
        self.last = 0.0

    def __call__(self, p: Progress) -> None:
        now = time.monotonic()
        if not self.tty and now - self.last < 10 and p.per_mille < 1000:
            return
        self.last = now
        text = f"  downloading: {p.per_mille / 10:.0f}% {_size(p.downloaded_bytes)} of {_size(p.total_bytes)}"
        if p.speed:
            text += f", {_size(p.speed)}/s"
        if p.eta is not None and p.per_mille < 1000:
            text += f", {int(p.eta) // 60}:{int(p.eta) % 60:02d} left"
        print(("\r" + text.ljust(72)) if self.tty else text, end="" if self.tty else "\n", file=self.stream,
              flush=True)

    def done(self) -> None:
        if self.tty and self.last:
            print(file=self.stream, flush=True)


@contextmanager
def recap_services(choice: str | None, url: str, voice: str) -> Iterator[None]:
    """Binds the services the recap should use for the block. With the local
    ones, checks the voice and downloads the video first. Raises ValueError
    or DownloadError with a message for the user."""
    if (choice or ("local" if placeholder_hosts() else "configured")) == "configured":
        yield
        return
    check_voice(voice)
    address = os.environ.get("VANTOR_SERVICES_URL") or None
    where = f"at {address}" if address else "on this machine"
    print(f"vantor: using the local download and speech services ({where})", file=sys.stderr, flush=True)
    with start_local_services(address) as services:
        line = _ProgressLine(sys.stderr)
        try:
            services.prefetch(url, on_progress=line)
        finally:
            line.done()
        with bind(services):
            yield
