"""The one place a presented secret is compared with the real one, for the
services (their token, the file addresses they hand out) and the studio
(its path token, its one-time address, its session cookie).

Every comparison is over the whole value in constant time: a guess that
shares a prefix with the secret learns nothing, and a value of the right
length that differs anywhere is refused like any other.
"""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from typing import Generic, TypeVar

__all__ = ["Capabilities", "OneTimeCodes", "TOKEN_HEADER", "TOKEN_PATTERN", "cookie", "header", "new_secret", "path_after_secret",
           "same_secret"]

# The header a services client may send the token in instead of the path.
TOKEN_HEADER = "x-vantor-token"
# A token goes into addresses as their first path segment.
TOKEN_PATTERN = re.compile(r"[A-Za-z0-9_-]{16,128}")

T = TypeVar("T")


def new_secret() -> str:
    return secrets.token_urlsafe(24)


def same_secret(given: str | bytes | None, secret: str) -> bool:
    """Whether `given` is exactly `secret`, compared in constant time."""
    if given is None:
        return False
    if isinstance(given, str):
        given = given.encode("utf-8", "surrogateescape")
    return hmac.compare_digest(given, secret.encode("utf-8"))


def path_after_secret(path: str, secret: str) -> str | None:
    """The rest of `path` ("" or "/...") when its first segment is exactly
    `secret`; None otherwise."""
    if not path.startswith("/"):
        return None
    first, slash, rest = path[1:].partition("/")
    return slash + rest if same_secret(first, secret) else None


def header(headers: list[tuple[bytes, bytes]] | None, name: bytes) -> bytes | None:
    """An ASGI scope's header by lower-case name (the first one given)."""
    for key, value in headers or ():
        if key.lower() == name:
            return value
    return None


def cookie(headers: list[tuple[bytes, bytes]] | None, name: str) -> str | None:
    """The value of the cookie `name` in the request's Cookie headers."""
    for key, value in headers or ():
        if key.lower() != b"cookie":
            continue
        for part in value.decode("latin-1").split(";"):
            key_text, eq, found = part.strip().partition("=")
            if eq and key_text == name:
                return found
    return None


def _digest(value: str) -> bytes:
    # Stored and looked up by digest: a dictionary lookup then reveals
    # nothing about how close a guess came to a real value.
    return hashlib.sha256(value.encode("utf-8", "surrogateescape")).digest()


def now() -> float:
    """The clock capabilities expire by (looked up at each use)."""
    return time.monotonic()


class Capabilities(Generic[T]):
    """Random addresses for one thing each (a finished job's file). A
    capability expires `seconds` after it was handed out, whatever its use:
    an address read from a process list or a log is not kept alive by
    using it. At most `keep` are held, the oldest going first."""

    def __init__(self, seconds: float = 600.0, keep: int = 10_000,
                 clock: Callable[[], float] | None = None) -> None:
        self.seconds: float = seconds
        self._keep = keep
        self._clock = clock  # None: `now`, looked up at each use
        self._lock = threading.Lock()
        self._held: OrderedDict[bytes, tuple[T, float]] = OrderedDict()  # digest -> (thing, expiry)

    def _now(self) -> float:
        return self._clock() if self._clock is not None else now()

    def issue(self, thing: T) -> str:
        capability = new_secret()
        at = self._now()
        with self._lock:
            # Kept in the order handed out, which is the order of expiry: the lapsed ones are at the front.
            while self._held and next(iter(self._held.values()))[1] <= at:
                self._held.popitem(last=False)
            self._held[_digest(capability)] = (thing, at + self.seconds)
            while len(self._held) > self._keep:
                self._held.popitem(last=False)
        return capability

    def redeem(self, capability: str) -> T | None:
        """The thing `capability` names, or None (unknown or expired)."""
        key, at = _digest(capability), self._now()
        with self._lock:
            held = self._held.get(key)
            if held is None or held[1] <= at:
                self._held.pop(key, None)
                return None
            return held[0]


class OneTimeCodes:
    """Codes that are good for one exchange each. They do not lapse: the
    one printed by `vantor studio --no-browser` waits for its user. A code
    once taken is remembered as used (`take` answers "used"), so its second
    use can be told from a guess."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._open: set[bytes] = set()  # digests
        self._used: set[bytes] = set()

    def issue(self) -> str:
        code = new_secret()
        with self._lock:
            self._open.add(_digest(code))
        return code

    def take(self, code: str) -> str:
        """"fresh" once for a code issued here, "used" after that, else "unknown"."""
        key = _digest(code)
        with self._lock:
            if key in self._open:
                self._open.discard(key)
                self._used.add(key)
                return "fresh"
            return "used" if key in self._used else "unknown"
