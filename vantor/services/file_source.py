"""A video file on this machine as a source: published for one run on a
loopback address that only this process knows, so the download service
fetches it as it fetches any other video (the same checks and rewrite), and
nothing but that one file is served."""

from __future__ import annotations

import mimetypes
import os
import secrets
import shutil
import threading
import urllib.parse
from collections.abc import Iterator
from contextlib import contextmanager
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

__all__ = ["is_video_file", "published_file", "source_address"]


def is_video_file(source: str) -> bool:
    """True when `source` names a file here rather than a web address."""
    return "://" not in source and os.path.isfile(os.path.expanduser(source))


class _OneFile(BaseHTTPRequestHandler):
    server: _FileServer

    def log_message(self, format: str, *args: object) -> None:
        pass

    def do_HEAD(self) -> None:
        self._answer(body=False)

    def do_GET(self) -> None:
        self._answer(body=True)

    def _answer(self, body: bool) -> None:
        # Any other path, a wrong secret of the right length included, is the same bare 404.
        if not secrets.compare_digest(self.path.encode(), self.server.path.encode()):
            self.send_error(404)
            return
        try:
            source = open(self.server.file, "rb")
        except OSError:
            self.send_error(404)
            return
        with source:
            self.send_response(200)
            self.send_header("Content-Type", self.server.kind)
            self.send_header("Content-Length", str(os.fstat(source.fileno()).st_size))
            self.end_headers()
            if body:
                try:
                    shutil.copyfileobj(source, self.wfile, 1 << 20)
                except (ConnectionError, TimeoutError):
                    pass  # yt-dlp reads the start of a file while probing, then hangs up


class _FileServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, file: str, path: str, kind: str) -> None:
        self.file, self.path, self.kind = file, path, kind
        super().__init__(("127.0.0.1", 0), _OneFile)

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that went away; nothing of ours to report


@contextmanager
def published_file(file: str) -> Iterator[str]:
    """The address of `file` for the duration of the block: 127.0.0.1, a
    random port and a random path of 256 bits, so another local user can
    neither guess it nor list anything else."""
    file = os.path.abspath(os.path.expanduser(file))
    name = urllib.parse.quote(os.path.basename(file))
    kind = mimetypes.guess_type(file)[0] or "video/mp4"
    server = _FileServer(file, f"/{secrets.token_urlsafe(32)}/{name}", kind)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True,
                              name="vantor-file-source")
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}{server.path}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@contextmanager
def source_address(source: str) -> Iterator[str]:
    """The address a run fetches `source` from: a file's published address
    while the block lasts, else `source` itself."""
    if not is_video_file(source):
        yield source
        return
    with published_file(source) as address:
        yield address
