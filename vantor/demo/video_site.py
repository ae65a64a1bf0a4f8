"""A small web site on 127.0.0.1 that publishes videos the way a video page
does: `/watch/<name>.html` holds a <video> tag for `/media/<file>`, which is
also reachable directly. yt-dlp's generic extractor reads both."""

from __future__ import annotations

import html
import os
import shutil
import threading
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Self

__all__ = ["VideoSite"]


class _Handler(SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: Any, client_address: Any) -> None:
        # yt-dlp reads only the start of a file while probing, then hangs up.
        import sys

        if not isinstance(sys.exception(), (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class VideoSite:
    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root: Path = Path(root)
        (self.root / "media").mkdir(parents=True, exist_ok=True)
        (self.root / "watch").mkdir(exist_ok=True)
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    def publish(self, video: str | os.PathLike[str], name: str | None = None) -> tuple[str, str]:
        """Copies `video` into the site; returns (page address, file address)."""
        video = Path(video)
        name = name or video.stem
        target = self.root / "media" / f"{name}{video.suffix}"
        shutil.copyfile(video, target)
        kind = "video/webm" if video.suffix == ".webm" else "video/mp4"
        page = (
            f"<!DOCTYPE html><html><head><title>{html.escape(name)}</title></head><body>"
            f"<h1>{html.escape(name)}</h1><video controls width=\"640\">"
            f"<source src=\"/media/{target.name}\" type=\"{kind}\"></video></body></html>"
        )
        (self.root / "watch" / f"{name}.html").write_text(page, encoding="utf-8")
        return f"{self.base_url}/watch/{name}.html", f"{self.base_url}/media/{target.name}"

    @property
    def base_url(self) -> str:
        assert self._server is not None, "start() the site first"
        return f"http://127.0.0.1:{self._server.server_address[1]}"

    def start(self) -> Self:
        self._server = _Server(("127.0.0.1", 0), partial(_Handler, directory=str(self.root)))
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def close(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()
