"""A loopback site that serves one file slowly, so that a test can act
while a download is still running (the real video site answers at once)."""

from __future__ import annotations

import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Self

CHUNK = 64 * 1024


class SlowSite:
    """Serves `video` at `address`, taking about `seconds` for the whole file."""

    def __init__(self, video: str | Path, seconds: float) -> None:
        body = Path(video).read_bytes()
        pause = seconds / max(1, len(body) // CHUNK)
        self.served = threading.Event()  # a whole body went out

        class Handler(BaseHTTPRequestHandler):
            def do_HEAD(self) -> None:
                self._head()

            def do_GET(self) -> None:
                self._head()
                try:
                    for start in range(0, len(body), CHUNK):
                        self.wfile.write(body[start:start + CHUNK])
                        time.sleep(pause)
                except (ConnectionError, TimeoutError):  # the client went away
                    return
                site.served.set()

            def _head(self) -> None:
                self.send_response(200)
                self.send_header("Content-Type", "video/mp4")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()

            def log_message(self, *args: object) -> None:
                pass

        site = self
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.address = f"http://127.0.0.1:{self._server.server_address[1]}/film.mp4"

    def __enter__(self) -> Self:
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._server.shutdown()
        self._server.server_close()
