"""The small threaded HTTP server on 127.0.0.1 that both stand-ins build on.

A service subclass answers each recorded request with an `Answer`; the
answer may stall first, which `close()` cuts short so no thread outlives the
service for long.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Self

__all__ = ["Answer", "LoopbackService", "Request"]

# Statuses that carry no body.
_NO_BODY = {204, 304}


@dataclass(frozen=True)
class Request:
    """One request as the service received it."""

    method: str
    path: str  # path and query, exactly as sent
    headers: dict[str, str]  # names as sent on the wire
    body: bytes


@dataclass
class Answer:
    """What to send back. `body` as bytes or str goes out as is; any other
    value is sent as JSON. `file` names a file to send instead of a body.
    `delay` stalls that many seconds before anything is sent."""

    status: int = 200
    body: object = None
    delay: float | None = None
    file: str | None = None

    def payload(self) -> tuple[bytes, str]:
        if isinstance(self.body, bytes):
            return self.body, "application/octet-stream"
        if isinstance(self.body, str):
            return self.body.encode(), "text/plain; charset=utf-8"
        return json.dumps(self.body).encode(), "application/json"


class _Handler(BaseHTTPRequestHandler):
    service: LoopbackService  # set on the per-service subclass
    server_version = "standin/1"

    def do_GET(self) -> None:
        self._serve()

    def do_POST(self) -> None:
        self._serve()

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        request = Request(self.command, self.path, dict(self.headers.items()), body)
        answer = self.service._answer(request)
        if answer.delay and self.service._closing.wait(answer.delay):
            return  # closed while stalling: drop the connection
        if answer.file is not None:
            self._send_file(answer.status, answer.file)
            return
        payload, content_type = answer.payload()
        if answer.status in _NO_BODY:
            payload = b""
        self.send_response(answer.status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def _send_file(self, status: int, path: str) -> None:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(status)
            self.send_header("Content-Type", "video/mp4")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            shutil.copyfileobj(f, self.wfile)

    def log_message(self, format: str, *args: object) -> None:
        pass  # requests are recorded on the service instead


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, handler: type[_Handler]) -> None:
        super().__init__(("127.0.0.1", 0), handler)
        self.handlers: list[threading.Thread] = []

    def process_request(self, request: Any, client_address: Any) -> None:
        thread = threading.Thread(
            target=self.process_request_thread, args=(request, client_address), daemon=True
        )
        self.handlers = [t for t in self.handlers if t.is_alive()]
        self.handlers.append(thread)
        thread.start()

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that gave up (its time-out) closes its end; that is expected.
        if isinstance(sys.exception(), (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


class LoopbackService:
    """Base of the stand-ins: start()/close(), or use as a context manager.

    A closed service keeps its port number, so requests routed to it after
    close() meet a refused connection.
    """

    def __init__(self) -> None:
        self.requests: list[Request] = []
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self._port: int | None = None

    # Subclasses answer here; called on a handler thread with the lock held.
    def handle(self, request: Request) -> Answer:
        raise NotImplementedError

    @property
    def port(self) -> int:
        if self._port is None:
            raise RuntimeError(f"{type(self).__name__} was never started")
        return self._port

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def start(self) -> Self:
        if self._server is None:
            self._closing.clear()
            handler = type("Handler", (_Handler,), {"service": self})
            self._server = _Server(handler)
            self._port = self._server.server_address[1]
            self._thread = threading.Thread(
                target=self._server.serve_forever,
                kwargs={"poll_interval": 0.05},
                name=f"{type(self).__name__}:{self.port}",
                daemon=True,
            )
            self._thread.start()
        return self

    def close(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        self._closing.set()  # wakes any stalled answer
        server.shutdown()
        server.server_close()
        assert self._thread is not None
        self._thread.join()
        for handler in server.handlers:
            handler.join(timeout=5)

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _answer(self, request: Request) -> Answer:
        with self._lock:
            self.requests.append(request)
            return self.handle(request)
