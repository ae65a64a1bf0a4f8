"""Who may drive the studio. Loopback is no boundary: any page the browser
shows and any local process can send requests to it. So, in this order:

1. the Host header names this server by an address (or `localhost`) and its
   port: a DNS name that a foreign site points at 127.0.0.1 is refused;
2. an Origin header, where there is one, is this server's own;
3. a request that changes anything (not GET/HEAD) carries the Origin and a
   JSON body, which a foreign page cannot send without a preflight that
   this server never approves;
4. the path starts with the session's secret token, which is removed before
   routing;
5. the request carries the session cookie (HttpOnly, SameSite=Strict).

The browser gets both from a one-time address, `/open/<code>`: the address
`vantor studio` prints and hands the browser, whose command line every local
user can read. Its first use sets the cookie and redirects to `/<token>/`;
any later use is refused, unless it comes from the browser that already
holds the cookie (it is sent on to the page again).
"""

from __future__ import annotations

import ipaddress
import json

from starlette.types import ASGIApp, Receive, Scope, Send

from ..services.gate import OneTimeCodes, cookie, new_secret, path_after_secret, same_secret

__all__ = ["OPEN_PREFIX", "StudioGuard", "host_allowed"]

SAFE_METHODS = ("GET", "HEAD")
OPEN_PREFIX = "/open/"


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
        # Cookies are not kept apart by port: two studios on one host need two names.
        self.cookie_name: str = f"vantor-studio-{port}"
        self._session = new_secret()
        self._codes = OneTimeCodes()

    def one_time_path(self) -> str:
        """A new address path that opens the page once: `/open/<code>`."""
        return OPEN_PREFIX + self._codes.issue()

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}
        path: str = scope["path"]
        signed_in = same_secret(cookie(scope["headers"], self.cookie_name), self._session)
        if path.startswith(OPEN_PREFIX):
            await self._open(scope, send, headers, signed_in)
            return
        refusal = self.refusal(scope["method"], path, headers, signed_in)
        if refusal is not None:
            status, message = refusal
            await _send_error(send, status, message)
            return
        rest = path_after_secret(path, self._token) or ""
        if not rest:  # the page's own addresses are relative to "/<token>/"
            await _redirect(send, f"/{self._token}/")
            return
        await self.app({**scope, "path": rest, "raw_path": rest.encode()}, receive, send)

    async def _open(self, scope: Scope, send: Send, headers: dict[str, str], signed_in: bool) -> None:
        refusal = self._foreign(scope["method"], headers)
        if refusal is None and scope["method"] not in SAFE_METHODS:
            refusal = 405, "open this address in the browser"
        if refusal is not None:
            await _send_error(send, *refusal)
            return
        query = scope.get("query_string", b"").decode("latin-1")
        page = f"/{self._token}/" + (f"?{query}" if query else "")
        if self._codes.take(scope["path"][len(OPEN_PREFIX):]):
            await _redirect(send, page, (b"set-cookie", f"{self.cookie_name}={self._session}; HttpOnly; "
                                                        "SameSite=Strict; Path=/".encode()))
        elif signed_in:
            await _redirect(send, page)
        else:
            await _send_error(send, 403, "this address opens the studio once and was used already; "
                                         "start vantor studio again for a new one")

    def _foreign(self, method: str, headers: dict[str, str]) -> tuple[int, str] | None:
        host = headers.get("host", "")
        if not host_allowed(host, self.port):
            return 403, "this server answers only to its own address"
        origin = headers.get("origin")
        if origin is not None and origin != f"http://{host}":
            return 403, "requests from other sites are refused"
        return None

    def refusal(self, method: str, path: str, headers: dict[str, str], signed_in: bool) -> tuple[int, str] | None:
        refusal = self._foreign(method, headers)
        if refusal is not None:
            return refusal
        if method not in SAFE_METHODS:
            if headers.get("origin") is None:
                return 403, "changes are accepted only from the studio's own page"
            if headers.get("content-type", "").split(";")[0].strip() != "application/json":
                return 415, "send JSON"
        if path_after_secret(path, self._token) is None or not signed_in:
            return 404, "not found; open the address `vantor studio` printed"
        return None


async def _redirect(send: Send, location: str, *extra: tuple[bytes, bytes]) -> None:
    await send({"type": "http.response.start", "status": 303 if extra else 307,
                "headers": [(b"location", location.encode()), (b"content-length", b"0"),
                            (b"cache-control", b"no-store"), (b"referrer-policy", b"no-referrer"), *extra]})
    await send({"type": "http.response.body", "body": b""})


async def _send_error(send: Send, status: int, message: str) -> None:
    body = json.dumps({"error": message}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
