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

The browser gets both from one exchange of a one-time code, and the session
is made by that first exchange: every other code is void from then on. A
browser's command line is read by every local user, so the code never goes
there: `vantor studio` hands the browser a file of its own (0600, in a 0700
folder, removed once used) whose form posts the code to `/open`; the answer
sets the cookie and leads the page on to `/<token>/`. With `--no-browser`
the user opens the printed `/open/<code>` address. A second use of a code is
refused, unless it comes from the browser that holds the cookie (it is sent
on to the page again), and said on the terminal: someone else got in first.
"""

from __future__ import annotations

import html
import ipaddress
import json
import os
import shutil
import sys
import tempfile
from collections.abc import Callable
from urllib.parse import parse_qs, quote

from starlette.types import ASGIApp, Receive, Scope, Send

from ..services.gate import OneTimeCodes, cookie, new_secret, path_after_secret, same_secret

__all__ = ["OPEN_PATH", "OPEN_PREFIX", "SOMEONE_ELSE", "StudioGuard", "host_allowed"]

SAFE_METHODS = ("GET", "HEAD")
OPEN_PREFIX = "/open/"
OPEN_PATH = "/open"  # the open file's form posts its code here
MAX_OPEN_BODY = 4096
SOMEONE_ELSE = "vantor studio: someone else used the studio's open address: restart it"
FORM = "application/x-www-form-urlencoded"


def _stderr(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


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
    """`say`: a line for the terminal (a second use of a code)."""

    def __init__(self, app: ASGIApp, token: str, port: int, say: Callable[[str], None] = _stderr) -> None:
        self.app: ASGIApp = app
        self._token = token
        self.port: int = port
        self._say = say
        # Cookies are not kept apart by port: two studios on one host need two names.
        self.cookie_name: str = f"vantor-studio-{port}"
        self._session: str | None = None  # made by the first exchange of a code
        self._codes = OneTimeCodes()
        self._open_dirs: list[str] = []

    def one_time_path(self) -> str:
        """A new address path that opens the page once: `/open/<code>`."""
        return OPEN_PREFIX + self._codes.issue()

    def open_file(self, origin: str, url: str | None = None) -> str:
        """A new file (0600, in a private folder) that opens the page once
        from a browser: its form posts a fresh code to `origin`'s /open,
        with the video address to load at once. Removed when used, or by
        `close()`. Its path is what the browser's command line carries."""
        folder = tempfile.mkdtemp(prefix="vantor-studio-open-")
        self._open_dirs.append(folder)
        fields = [("code", self._codes.issue())] + ([("url", url)] if url else [])
        inputs = "".join(f'<input type="hidden" name="{name}" value="{html.escape(value)}">' for name, value in fields)
        page = ('<!doctype html><html><head><meta charset="utf-8"><meta name="referrer" content="no-referrer">'
                "<title>vantor studio</title></head><body>"
                f'<form method="post" action="{html.escape(origin)}{OPEN_PATH}">{inputs}'
                "<button>Open the studio</button></form><script>document.forms[0].submit()</script></body></html>")
        path = os.path.join(folder, "open.html")
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(page)
        return path

    def close(self) -> None:
        """Removes the open files not used yet."""
        while self._open_dirs:
            shutil.rmtree(self._open_dirs.pop(), ignore_errors=True)

    def _signed_in(self, headers: list[tuple[bytes, bytes]]) -> bool:
        return self._session is not None and same_secret(cookie(headers, self.cookie_name), self._session)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {key.decode("latin-1").lower(): value.decode("latin-1") for key, value in scope["headers"]}
        path: str = scope["path"]
        signed_in = self._signed_in(scope["headers"])
        if path.startswith(OPEN_PREFIX) or path == OPEN_PATH:
            await self._open(scope, receive, send, headers, signed_in)
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

    async def _open(self, scope: Scope, receive: Receive, send: Send, headers: dict[str, str],
                    signed_in: bool) -> None:
        posted = scope["path"] == OPEN_PATH
        refusal = self._foreign(scope["method"], headers, file_page=posted)
        if refusal is None and scope["method"] not in (("POST",) if posted else SAFE_METHODS):
            refusal = 405, "open this address in the browser"
        if refusal is None and posted and headers.get("content-type", "").split(";")[0].strip() != FORM:
            refusal = 415, "post the open file's form"
        if refusal is not None:
            await _send_error(send, *refusal)
            return
        if posted:
            form = parse_qs((await _body(receive, MAX_OPEN_BODY)).decode("latin-1"))
            code, url = (form.get("code") or [""])[0], (form.get("url") or [""])[0]
            query = f"url={quote(url, safe='')}" if url else ""
        else:
            code, query = scope["path"][len(OPEN_PREFIX):], scope.get("query_string", b"").decode("latin-1")
        page = f"/{self._token}/" + (f"?{query}" if query else "")
        taken = self._codes.take(code)
        if taken == "fresh" and self._session is None:
            # The session is made here, once: every other code is void from now on.
            self._session = new_secret()
            if posted:
                self.close()  # the open file did its work
            setting = (b"set-cookie", f"{self.cookie_name}={self._session}; HttpOnly; SameSite=Strict; Path=/".encode())
            # After the file's post the page is reached from this origin (a meta refresh): a
            # redirect would carry on the file's origin, and a SameSite=Strict cookie would stay home.
            await (_lead_on(send, page, setting) if posted else _redirect(send, page, setting))
        elif signed_in:
            await (_lead_on(send, page) if posted else _redirect(send, page))
        else:
            if taken != "unknown":
                self._say(SOMEONE_ELSE)
            await _send_error(send, 403, "this address opens the studio once and was used already; "
                                         "start vantor studio again for a new one")

    def _foreign(self, method: str, headers: dict[str, str], file_page: bool = False) -> tuple[int, str] | None:
        host = headers.get("host", "")
        if not host_allowed(host, self.port):
            return 403, "this server answers only to its own address"
        origin = headers.get("origin")
        # The open file's form comes from a local file: its origin is "null". Any page could post
        # there, but only with a code, and a code is only in that private file or on the terminal.
        if origin is not None and origin != f"http://{host}" and not (file_page and origin == "null"):
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


async def _lead_on(send: Send, location: str, *extra: tuple[bytes, bytes]) -> None:
    """A page of this origin that goes on to `location` at once."""
    target = html.escape(location)
    body = (f'<!doctype html><meta http-equiv="refresh" content="0;url={target}">'
            f'<a href="{target}">Open the studio</a>').encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/html; charset=utf-8"), (b"content-length", str(len(body)).encode()),
                            (b"cache-control", b"no-store"), (b"referrer-policy", b"no-referrer"), *extra]})
    await send({"type": "http.response.body", "body": body})


async def _body(receive: Receive, limit: int) -> bytes:
    body = b""
    while True:
        message = await receive()
        body += bytes(message.get("body", b""))
        if len(body) > limit or not message.get("more_body"):
            return body[:limit]


async def _send_error(send: Send, status: int, message: str) -> None:
    body = json.dumps({"error": message}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
