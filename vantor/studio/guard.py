"""Who may drive the studio. Loopback is no boundary: any page the browser
shows and any local process can send requests to it. So, in this order:

1. the Host header names this server by an address (or `localhost`) and its
   port: a DNS name that a foreign site points at 127.0.0.1 is refused;
2. an Origin header, where there is one, is this server's own;
3. a request that changes anything (not GET/HEAD) carries the Origin and a
   JSON body, which a foreign page cannot send without a preflight that
   this server never approves;
4. the path starts with the session's secret token, which only the address
   the command printed holds; it is removed before routing.
"""

from __future__ import annotations

import hmac
import ipaddress
import json

from starlette.types import ASGIApp, Receive, Scope, Send

__all__ = ["StudioGuard", "host_allowed"]

SAFE_METHODS = ("GET", "HEAD")


def host_allowed(host: str, port: int) -> bool:
    name, sep, port_text = host.rpartition(":")
    if not sep or port_text != str(port):
        return False
    if name == "localhost":
        return True
    if name.startswith("[") and name.endswith("]"):
        name = name[1:-1]
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


class StudioGuard:
    def __init__(self, app: ASGIApp, token: str, port: int) -> None:
        self.app: ASGIApp = app
        self._token = token
        self.port: int = port

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}
        refusal = self.refusal(scope["method"], scope["path"], headers)
        if refusal is not None:
            status, message = refusal
            await _send_error(send, status, message)
            return
        rest = scope["path"][len(self._token) + 1:]
        if not rest:  # the page's own addresses are relative to "/<token>/"
            await send({"type": "http.response.start", "status": 307,
                        "headers": [(b"location", f"/{self._token}/".encode()), (b"content-length", b"0")]})
            await send({"type": "http.response.body", "body": b""})
            return
        await self.app({**scope, "path": rest, "raw_path": rest.encode()}, receive, send)

    def refusal(self, method: str, path: str, headers: dict[str, str]) -> tuple[int, str] | None:
        host = headers.get("host", "")
        if not host_allowed(host, self.port):
            return 403, "this server answers only to its own address"
        origin = headers.get("origin")
        if origin is not None and origin != f"http://{host}":
            return 403, "requests from other sites are refused"
        if method not in SAFE_METHODS:
            if origin is None:
                return 403, "changes are accepted only from the studio's own page"
            if headers.get("content-type", "").split(";")[0].strip() != "application/json":
                return 415, "send JSON"
        first = path[1:].partition("/")[0] if path.startswith("/") else ""
        if not hmac.compare_digest(first.encode(), self._token.encode()):
            return 404, "not found; open the address `vantor studio` printed"
        return None


async def _send_error(send: Send, status: int, message: str) -> None:
    body = json.dumps({"error": message}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
