"""Where the download service may connect for a job, and how a running
fetch is cut short.

Every connection yt-dlp opens for a job (the page, each redirect, an
embedded <video src>, every HLS/DASH segment) goes through one request
handler inside yt-dlp's networking whose connection step resolves the host
itself, refuses the whole name when any of its addresses is not public, and
connects to the checked address: the address judged is the one connected, so
a name that resolves differently a second time (DNS rebinding) cannot pass.

A `Guard` also holds the job's open sockets, so a deadline, a stall or the
service shutting down ends a blocked read at once by shutting them down.
"""

from __future__ import annotations

import functools
import ipaddress
import os
import socket
import threading
import time
from collections.abc import Iterable
from typing import Any
from urllib.parse import urlsplit

import urllib3
import yt_dlp
from yt_dlp.networking._requests import RequestsHTTPAdapter, RequestsRH
from yt_dlp.networking.exceptions import TransportError

__all__ = ["FetchCut", "Guard", "GuardedYoutubeDL", "PRIVATE_SOURCES", "SourceRefused", "is_public",
           "names_private_host"]

# "refuse": public addresses only. "direct": a job whose own address is
# private may reach private addresses (a user asking for a page on their own
# network); a public address never leads to a private one. "allow": any.
PRIVATE_SOURCES = ("refuse", "direct", "allow")


class SourceRefused(TransportError):
    """A connection the service does not make. A network error to yt-dlp,
    so its downloaders take their ordinary failure path (closing files)."""


class FetchCut(TransportError):
    """The fetch was ended from outside: deadline, stall or shutdown."""


def is_public(address: str) -> bool:
    """False for loopback, private, link-local, multicast, unspecified,
    reserved and shared addresses (IPv4-mapped IPv6 judged as IPv4)."""
    try:
        ip = ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return False
    if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return ip.is_global and not ip.is_multicast


def _resolve(host: str, port: int) -> list[tuple[Any, ...]]:
    return socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)


def names_private_host(url: str) -> bool:
    """True when `url`'s host resolves to any non-public address (or is one)."""
    try:
        parts = urlsplit(url)
        host = parts.hostname
        infos = _resolve(host, parts.port or 80) if host else []
    except (OSError, ValueError, UnicodeError):
        return False  # the fetch itself reports an address that does not resolve
    return any(not is_public(info[4][0]) for info in infos)


class Guard:
    """The connection rule and the open sockets of one fetch."""

    def __init__(self, allow_private: bool, read_timeout: float) -> None:
        self.allow_private: bool = allow_private
        self.read_timeout: float = read_timeout
        self._lock = threading.Lock()
        self._sockets: set[socket.socket] = set()
        self.cut_reason: str | None = None
        # yt-dlp reports a handler's exception only as "unexpected error":
        # the refusal is kept here for the job's answer.
        self.refused: str | None = None
        self.last_activity: float = time.monotonic()

    def touch(self) -> None:
        self.last_activity = time.monotonic()

    def connect(self, host: str, port: int, timeout: object, options: Iterable[tuple[int, int, int | bytes]] | None) -> socket.socket:
        if self.cut_reason is not None:
            raise FetchCut(self.cut_reason)
        infos = _resolve(host, port)
        if not infos:
            raise OSError(f"cannot resolve {host}")
        if not self.allow_private and any(not is_public(info[4][0]) for info in infos):
            self.refuse(f"the address {host} is private (loopback, local network or reserved); "
                        "the service fetches public addresses only")
        error: OSError | None = None
        for family, kind, proto, _, sockaddr in infos:
            sock = socket.socket(family, kind, proto)
            try:
                for option in options or ():
                    sock.setsockopt(*option)
                sock.settimeout(timeout if isinstance(timeout, (int, float)) else self.read_timeout)
                with self._lock:
                    if self.cut_reason is not None:
                        raise FetchCut(self.cut_reason)
                    self._sockets.add(sock)
                sock.connect(sockaddr)  # the address checked above, not a second lookup
                if not self.allow_private and not is_public(sock.getpeername()[0]):
                    self.refuse(f"the address {host} is private; the service fetches public addresses only")
                self.touch()
                return sock
            except OSError as failed:
                self.forget(sock)
                sock.close()
                error = failed
            except BaseException:
                self.forget(sock)
                sock.close()
                raise
        assert error is not None
        raise error

    def refuse(self, reason: str) -> None:
        if self.refused is None:
            self.refused = reason
        raise SourceRefused(reason)

    def forget(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.discard(sock)

    def close(self) -> None:
        """Closes what the fetch left open: pooled connections, and those an
        unread error response still refers to (whose close() would wait for
        that response)."""
        with self._lock:
            sockets, self._sockets = list(self._sockets), set()
        for sock in sockets:
            fd = sock.detach()
            if fd >= 0:
                os.close(fd)

    def cut(self, reason: str) -> None:
        """Ends every blocked read of this fetch; no new connection opens."""
        with self._lock:
            if self.cut_reason is None:
                self.cut_reason = reason
            sockets = list(self._sockets)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _GuardedHTTPConnection(urllib3.connection.HTTPConnection):
    guard: Guard

    def _new_conn(self) -> socket.socket:
        try:
            return self.guard.connect(self._dns_host, self.port, self.timeout, self.socket_options)
        except OSError as error:
            raise urllib3.exceptions.NewConnectionError(self, f"Failed to establish a new connection: {error}") from error


class _GuardedHTTPSConnection(_GuardedHTTPConnection, urllib3.connection.HTTPSConnection):
    pass


class _GuardedAdapter(RequestsHTTPAdapter):
    def __init__(self, guard: Guard, **kwargs: Any) -> None:
        self._guard = guard
        super().__init__(**kwargs)

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        plain = type("GuardedHTTPConnection", (_GuardedHTTPConnection,), {"guard": self._guard})
        secure = type("GuardedHTTPSConnection", (_GuardedHTTPSConnection,), {"guard": self._guard})
        self.poolmanager.pool_classes_by_scheme = {
            "http": type("GuardedHTTPPool", (urllib3.HTTPConnectionPool,), {"ConnectionCls": plain}),
            "https": type("GuardedHTTPSPool", (urllib3.HTTPSConnectionPool,), {"ConnectionCls": secure}),
        }

    def proxy_manager_for(self, proxy: Any, **kwargs: Any) -> Any:
        # A proxy would connect on our behalf, past the address check.
        self._guard.refuse("the download service does not fetch through a proxy")


class _GuardedRH(RequestsRH):
    """yt-dlp's requests handler with the guarded connection step."""

    RH_NAME = "guarded"
    guard: Guard

    def _create_instance(self, cookiejar: Any, legacy_ssl_support: Any = None) -> Any:
        session = super()._create_instance(cookiejar, legacy_ssl_support)
        adapter = _GuardedAdapter(self.guard, ssl_context=self._make_sslcontext(legacy_ssl_support=legacy_ssl_support),
                                  source_address=self.source_address,
                                  max_retries=urllib3.util.retry.Retry(False))
        session.adapters.clear()
        session.mount("https://", adapter)
        session.mount("http://", adapter)
        return session


class GuardedYoutubeDL(yt_dlp.YoutubeDL):
    """A YoutubeDL whose only request handler is `_GuardedRH` with `guard`
    (per instance: nothing registered process-wide)."""

    def __init__(self, params: dict[str, Any], guard: Guard) -> None:
        self._guard = guard
        super().__init__(params)

    @functools.cached_property
    def _request_director(self) -> Any:
        director = self.build_request_director([_GuardedRH])
        for handler in director.handlers.values():
            handler.guard = self._guard
        return director
