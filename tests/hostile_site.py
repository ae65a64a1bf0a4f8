"""A loopback web server whose answers a test scripts path by path: an
attacker's site, or an internal service that must stay unreachable."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

Route = Callable[[BaseHTTPRequestHandler], None]


def body(data: bytes, kind: str = "video/mp4", length: bool = True) -> Route:
    """200 with `data`; without `length` no Content-Length is sent and the
    connection closes after the body (the only end the client sees)."""

    def answer(h: BaseHTTPRequestHandler) -> None:
        h.send_response(200)
        h.send_header("Content-Type", kind)
        if length:
            h.send_header("Content-Length", str(len(data)))
        else:
            h.send_header("Connection", "close")
            h.close_connection = True
        h.end_headers()
        h.wfile.write(data)

    return answer


def redirect(to: str) -> Route:
    def answer(h: BaseHTTPRequestHandler) -> None:
        h.send_response(302)
        h.send_header("Location", to)
        h.send_header("Content-Length", "0")
        h.end_headers()

    return answer


def drip(stop: threading.Event, every: float = 0.5, total: int = 10_000_000) -> Route:
    """A video that arrives one byte every `every` seconds until `stop`."""

    def answer(h: BaseHTTPRequestHandler) -> None:
        h.send_response(200)
        h.send_header("Content-Type", "video/mp4")
        h.send_header("Content-Length", str(total))
        h.end_headers()
        while not stop.wait(every):
            try:
                h.wfile.write(b"\0")
                h.wfile.flush()
            except OSError:
                return

    return answer


def silent(stop: threading.Event) -> Route:
    """A page that answers nothing at all, not even its headers, until `stop`."""

    def answer(h: BaseHTTPRequestHandler) -> None:
        stop.wait(60)

    return answer


class Site:
    """`routes`: path -> answer; anything else is 404. `hits` counts requests.
    `keep_alive`: HTTP/1.1, so a client may send several requests on one
    connection."""

    def __init__(self, routes: dict[str, Route], host: str = "127.0.0.1", port: int = 0,
                 keep_alive: bool = False) -> None:
        self.routes = routes
        self.hits: list[str] = []
        site = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1" if keep_alive else "HTTP/1.0"

            def log_message(self, *args: object) -> None:
                pass

            def do_GET(self) -> None:
                site.hits.append(self.path)
                route = site.routes.get(self.path.split("?", 1)[0])
                if route is None:
                    self.send_error(404)
                    return
                try:
                    route(self)
                except OSError:
                    pass

        self.server = ThreadingHTTPServer((host, port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    @property
    def base_url(self) -> str:
        host, port = self.server.server_address[:2]
        return f"http://{host}:{port}"

    def __enter__(self) -> Site:
        self.thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.server.shutdown()
        self.server.server_close()


def wait_for(condition: Callable[[], bool], seconds: float = 30.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.02)
