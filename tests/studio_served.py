"""A studio application behind its guard on a loopback port, signed in as
its page is (the one-time address exchanged for the cookie), for the tests
that drive the studio's server without a browser."""

from __future__ import annotations

import contextlib
import socket
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass

import requests
import uvicorn

from vantor.studio.app import Studio
from vantor.studio.guard import StudioGuard


@dataclass(frozen=True)
class SignedIn:
    session: requests.Session  # holds the studio's cookie
    origin: str  # http://127.0.0.1:PORT
    base: str  # the page's own address, ORIGIN/TOKEN/
    guard: StudioGuard  # its one_time_path() opens the page in a browser


@contextlib.contextmanager
def served_studio(studio: Studio, token: str, sign_in: bool = True) -> Iterator[SignedIn]:
    """`sign_in`: the session makes the one exchange (else a browser may:
    the session is bound to the first)."""
    sock = socket.create_server(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    guard = StudioGuard(studio.app, token, port)
    server = uvicorn.Server(uvicorn.Config(guard, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    try:
        for _ in range(200):  # bounded: 10 s
            if server.started:
                break
            time.sleep(0.05)
        origin = f"http://127.0.0.1:{port}"
        session = requests.Session()
        # The one-time address leads to the page, setting the cookie.
        if sign_in:
            assert session.get(origin + guard.one_time_path(), timeout=10).url == f"{origin}/{token}/"
        yield SignedIn(session, origin, f"{origin}/{token}/", guard)
    finally:
        server.should_exit = True
        thread.join(timeout=10)
        sock.close()
