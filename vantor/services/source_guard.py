"""Where the download service may connect for a job, and how a running
fetch is cut short.

Every connection yt-dlp opens for a job (the page, each redirect, an
embedded <video src>, every HLS/DASH segment) goes through one request
handler inside yt-dlp's networking whose connection step resolves the host
itself, refuses the whole name when any of its addresses is not public, and
connects to the checked address: the address judged is the one connected, so
a name that resolves differently a second time (DNS rebinding) cannot pass.

A job whose own address is private (a user's page on their own network) may
reach private addresses when the service allows it ("direct"): only when
that name resolves to private addresses alone, connected to the addresses
judged at the start, and only until the job first reaches a public address;
a public page never leads to a private one. The guard notes which kinds of
address a fetch reached (`reach`), so a cached file is served only where its
fetch would be allowed again (`admits`).

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

__all__ = ["REACHES", "FetchCut", "Guard", "GuardedYoutubeDL", "PRIVATE_SOURCES", "SourceRefused", "admits",
           "embedded_ipv4", "is_public", "names_private_host"]

# "refuse": public addresses only. "direct": a job whose own address is
# private may reach private addresses (a user asking for a page on their own
# network); a public address never leads to a private one. "allow": any.
PRIVATE_SOURCES = ("refuse", "direct", "allow")
# What a fetch reached: public addresses only; private ones from a private
# start (never after a public one); private ones after a public one.
REACHES = ("public", "private", "any")

# NAT64 prefixes (well-known and local-use): the last 32 bits are the IPv4
# destination the translator connects to.
_NAT64 = (ipaddress.ip_network("64:ff9b::/96"), ipaddress.ip_network("64:ff9b:1::/48"))


class SourceRefused(TransportError):
    """A connection the service does not make. A network error to yt-dlp,
    so its downloaders take their ordinary failure path (closing files)."""


class FetchCut(TransportError):
    """The fetch was ended from outside: deadline, stall or shutdown."""


def embedded_ipv4(ip: ipaddress.IPv6Address) -> list[ipaddress.IPv4Address]:
    """The IPv4 addresses an IPv6 address carries, where a packet to it may
    end up: IPv4-mapped, IPv4-compatible (::a.b.c.d), NAT64, 6to4 and the
    Teredo client (Python undoes its XOR with 0xffffffff)."""
    found = []
    if ip.ipv4_mapped is not None:
        found.append(ip.ipv4_mapped)
    if int(ip) >> 32 == 0 or any(ip in prefix for prefix in _NAT64):
        found.append(ipaddress.IPv4Address(int(ip) & 0xFFFFFFFF))
    if ip.sixtofour is not None:
        found.append(ip.sixtofour)
    if ip.teredo is not None:
        found.append(ip.teredo[1])
    return found


def _global(ip: ipaddress.IPv4Address | ipaddress.IPv6Address) -> bool:
    return ip.is_global and not ip.is_multicast


def is_public(address: str) -> bool:
    """False for loopback, private, link-local, multicast, unspecified,
    reserved and shared addresses, and for IPv6 forms carrying such an IPv4
    address (Python calls 64:ff9b::127.0.0.1 and ::127.0.0.1 global)."""
    try:
        ip = ipaddress.ip_address(address.split("%", 1)[0])
    except ValueError:
        return False
    if isinstance(ip, ipaddress.IPv6Address) and not all(_global(inner) for inner in embedded_ipv4(ip)):
        return False
    return _global(ip)


def _resolve(host: str, port: int) -> list[tuple[Any, ...]]:
    return socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)


def _private_only(url: str) -> tuple[str, list[tuple[Any, ...]]] | None:
    """(host, its addresses) when `url`'s host resolves to private addresses
    only; None when any is public or it does not resolve (the fetch itself
    reports that)."""
    try:
        parts = urlsplit(url)
        host = parts.hostname
        infos = _resolve(host, parts.port or 80) if host else []
    except (OSError, ValueError, UnicodeError):
        return None
    if not infos or any(is_public(info[4][0]) for info in infos):
        return None
    return host or "", infos


def names_private_host(url: str) -> bool:
    """True when `url`'s host resolves to private addresses only."""
    return _private_only(url) is not None


def admits(private_sources: str, url: str, reach: str) -> bool:
    """Whether a file fetched from `url` that reached `reach` may be served
    under `private_sources`: as fetching it now would be allowed."""
    if reach == "public" or private_sources == "allow":
        return True
    return private_sources == "direct" and reach == "private" and names_private_host(url)


class Guard:
    """The connection rule and the open sockets of one fetch."""

    def __init__(self, allow_private: bool, read_timeout: float,
                 pinned: tuple[str, list[tuple[Any, ...]]] | None = None) -> None:
        # allow_private: every address. pinned: the job's own private host and
        # the addresses judged for it; private addresses are allowed until the
        # first public one.
        self.allow_private: bool = allow_private
        self.read_timeout: float = read_timeout
        self._pinned = pinned
        self._lock = threading.Lock()
        self._sockets: dict[socket.socket, bool] = {}  # socket -> its peer is public
        self.reach: str = "public"
        self._public_seen = False
        self.cut_reason: str | None = None
        # yt-dlp reports a handler's exception only as "unexpected error":
        # the refusal is kept here for the job's answer.
        self.refused: str | None = None
        # What went wrong on the network, in plain words, for the job's answer:
        # said only while the fetch touched public addresses alone (the
        # service tells nobody which private ports are open).
        self.network_failure: str | None = None
        self.private_tried: bool = False
        self.last_activity: float = time.monotonic()

    @classmethod
    def for_job(cls, private_sources: str, url: str, read_timeout: float) -> Guard:
        if private_sources == "allow":
            return cls(True, read_timeout)
        if private_sources == "direct":
            return cls(False, read_timeout, _private_only(url))
        return cls(False, read_timeout)

    def touch(self) -> None:
        self.last_activity = time.monotonic()

    def _addresses(self, host: str, port: int) -> list[tuple[Any, ...]]:
        if self._pinned is not None and host.lower() == self._pinned[0].lower():
            return [(*info[:4], (info[4][0], port, *info[4][2:])) for info in self._pinned[1]]
        return _resolve(host, port)

    def _judge(self, host: str, public: set[bool]) -> None:
        """Refuses a connection to a host whose addresses are `public`."""
        if self.allow_private or public == {True}:
            return
        if public == {True, False}:
            self.refuse(f"the address {host} resolves to both public and private addresses; "
                        "the service fetches public addresses only")
        if self._pinned is None:
            self.refuse(f"the address {host} is private (loopback, local network or reserved); "
                        "the service fetches public addresses only")
        if self._public_seen:
            self.refuse(f"the address {host} is private and was reached from a public page; "
                        "the service fetches public addresses only")

    def _connected(self, sock: socket.socket, public: bool) -> None:
        """Notes what the fetch reached; in a private job the first public
        address ends its private connections, so no pooled one is reused."""
        with self._lock:
            if public and not self._public_seen:
                self._public_seen = True
                if not self.allow_private:
                    for other, other_public in self._sockets.items():
                        if not other_public and other is not sock:
                            _shutdown(other)
            if not public:
                self.reach = "any" if self._public_seen else "private"
            self._sockets[sock] = public

    def connect(self, host: str, port: int, timeout: object, options: Iterable[tuple[int, int, int | bytes]] | None) -> socket.socket:
        if self.cut_reason is not None:
            raise FetchCut(self.cut_reason)
        try:
            infos = self._addresses(host, port)
        except socket.gaierror:
            self._note(f"the name {host} does not resolve")
            raise
        if not infos:
            self._note(f"the name {host} does not resolve")
            raise OSError(f"cannot resolve {host}")
        publics = {is_public(info[4][0]) for info in infos}
        self._judge(host, publics)
        self.private_tried = self.private_tried or False in publics
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
                    self._sockets[sock] = False
                sock.connect(sockaddr)  # the address checked above, not a second lookup
                public = is_public(sock.getpeername()[0])
                self._judge(host, {public})
                self._connected(sock, public)
                self._note(None)
                self.touch()
                return sock
            except OSError as failed:
                self.forget(sock)
                sock.close()
                error = failed
                if isinstance(failed, ConnectionRefusedError):
                    self._note(f"{host} refused the connection")
                elif isinstance(failed, TimeoutError):
                    self._note(f"{host} did not answer: the connection timed out")
            except BaseException:
                self.forget(sock)
                sock.close()
                raise
        assert error is not None
        raise error

    def _note(self, failure: str | None) -> None:
        self.network_failure = failure  # the latest: a later connection may succeed

    def refuse(self, reason: str) -> None:
        if self.refused is None:
            self.refused = reason
        raise SourceRefused(reason)

    def forget(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.pop(sock, None)

    def close(self) -> None:
        """Closes what the fetch left open: pooled connections, and those an
        unread error response still refers to (whose close() would wait for
        that response)."""
        with self._lock:
            sockets, self._sockets = list(self._sockets), {}
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
            _shutdown(sock)


def _shutdown(sock: socket.socket) -> None:
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
