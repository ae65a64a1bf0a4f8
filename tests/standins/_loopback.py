"""The loopback server both stand-ins build on: the same Starlette and
uvicorn stack as the real services (`vantor.services.server.InProcessServer`),
with one catch-all route that hands each request to the stand-in.

A service subclass answers each recorded request with an `Answer`; the
answer may stall first, which `close()` cuts short so no request outlives
the service for long.
"""

from __future__ import annotations

import json
import threading
from dataclasses import dataclass
from typing import Self

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request as HttpRequest
from starlette.responses import FileResponse, Response
from starlette.routing import Route

from vantor.services.server import InProcessServer

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


class _App:
    """What `InProcessServer` serves: the stand-in's catch-all app."""

    token: str | None = None  # stand-ins answer any path

    def __init__(self, service: LoopbackService) -> None:
        self._service = service
        route = Route("/{path:path}", self._serve, methods=["GET", "POST", "PUT", "DELETE", "HEAD"])
        self.app = Starlette(routes=[route])

    async def _serve(self, http: HttpRequest) -> Response:
        raw_path = http.scope.get("raw_path") or http.url.path.encode()
        query = http.scope.get("query_string", b"")
        path = raw_path.decode("latin-1") + ("?" + query.decode("latin-1") if query else "")
        headers = {name.decode("latin-1"): value.decode("latin-1") for name, value in http.scope["headers"]}
        request = Request(http.method, path, headers, await http.body())
        answer = await run_in_threadpool(self._service._answer, request)
        if answer.delay and await run_in_threadpool(self._service._closing.wait, answer.delay):
            return Response(status_code=503)  # closed while stalling: the client has given up
        if answer.file is not None:
            return FileResponse(answer.file, status_code=answer.status, media_type="video/mp4")
        payload, content_type = answer.payload()
        if answer.status in _NO_BODY:
            return Response(status_code=answer.status)
        return Response(payload, status_code=answer.status, media_type=content_type)

    def close(self) -> None:
        self._service._closing.set()  # wakes any stalled answer before the server stops


class LoopbackService:
    """Base of the stand-ins: start()/close(), or use as a context manager.

    A closed service keeps its port number, so requests routed to it after
    close() meet a refused connection.
    """

    def __init__(self) -> None:
        self.requests: list[Request] = []
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._server: InProcessServer | None = None
        self._port: int | None = None

    # Subclasses answer here; called on a worker thread with the lock held.
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
            self._server = InProcessServer(_App(self))  # type: ignore[arg-type]
            self._port = self._server.port
        return self

    def close(self) -> None:
        server, self._server = self._server, None
        if server is not None:
            server.close()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _answer(self, request: Request) -> Answer:
        with self._lock:
            self.requests.append(request)
            return self.handle(request)
