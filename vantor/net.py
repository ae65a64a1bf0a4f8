"""Listening addresses, IPv4 and IPv6 alike, for every server this package
starts (`vantor serve`, `vantor studio`, the in-process services)."""

from __future__ import annotations

import ipaddress
import socket

__all__ = ["is_loopback", "listen", "url_host"]


def is_loopback(host: str) -> bool:
    """Whether `host` is a loopback address (or `localhost`)."""
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def listen(host: str, port: int) -> socket.socket:
    """A listening socket on `host` (an IPv4 or IPv6 address, or a name) and
    `port` (0: a free one); OSError when it cannot be bound."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    return socket.create_server((host, port), family=family)


def url_host(host: str) -> str:
    """`host` as it stands in a URL: an IPv6 address in brackets."""
    return f"[{host}]" if ":" in host else host
