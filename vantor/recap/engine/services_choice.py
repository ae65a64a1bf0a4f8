"""Which services a run talks to: the one reading of `--services`.

"configured": the hosts the engine was built with. "local": the local
services, run in this process (or the `vantor serve` at
$VANTOR_SERVICES_URL). "auto": local on a build whose hosts are
placeholders, else configured. An http(s):// address: a running `vantor serve`.
"""

from __future__ import annotations

import functools
import os
import re
from dataclasses import dataclass
from urllib.parse import urlsplit

from ...errors import PreflightError

__all__ = ["SERVICES", "ServicesChoice", "ServicesChoiceError", "check_services_choice", "resolve_services",
           "shown_address", "without_paths"]

SERVICES = ("auto", "configured", "local")
_ADDRESS = re.compile(r"\b(https?://[^/\s'\"]+)/[^\s'\"]*")
_URL_PATH = re.compile(r"(with url: )/\S*")  # urllib3's words for the path it asked for


class ServicesChoiceError(PreflightError):
    """A `--services` value that names no services; the message says what to give."""


def _is_address(text: str) -> bool:
    try:
        parts = urlsplit(text)
    except ValueError:
        return False
    return parts.scheme in ("http", "https") and bool(parts.hostname)


def shown_address(address: str) -> str:
    """`address` as it may be printed: scheme, host and port only. A `vantor
    serve` carries its secret token in the address's path (and a user name
    or password would be as secret), so no message shows more."""
    try:
        parts = urlsplit(address)
        port = parts.port
    except ValueError:
        return "<an unreadable address>"
    if not parts.scheme or not parts.hostname:
        return address.split("/", 1)[0].rsplit("@", 1)[-1] or "<an empty address>"
    host = f"[{parts.hostname}]" if ":" in parts.hostname else parts.hostname
    return f"{parts.scheme}://{host}" + (f":{port}" if port is not None else "")


def without_paths(text: str) -> str:
    """Every address in `text` cut as `shown_address` cuts it, "/..." for its path."""
    text = _URL_PATH.sub(r"\1/...", text)
    return _ADDRESS.sub(lambda match: shown_address(match.group(1)) + "/...", text)


def check_services_choice(choice: str) -> str:
    """`choice` when it is one of `SERVICES` or the address of a server."""
    if choice in SERVICES or _is_address(choice):
        return choice
    raise ServicesChoiceError(f"unknown services {shown_address(choice)!r}; use {', '.join(SERVICES)} or the http(s):// address "
                              "of a vantor serve")


def _placeholder_build() -> bool:
    from ...services import placeholder_hosts

    try:
        return placeholder_hosts()
    except ImportError:  # no engine built: nothing configured to prefer
        return True


@dataclass(frozen=True)
class ServicesChoice:
    """A `--services` value, checked when the command line is read. `where`
    resolves it at first use and keeps the answer, so every step of one
    command (the checks, the fit report, the run) talks to the same services."""

    choice: str

    def __post_init__(self) -> None:
        check_services_choice(self.choice)

    @functools.cached_property
    def where(self) -> str:
        return _resolve(self.choice)


def resolve_services(choice: str | ServicesChoice) -> str:
    """"configured", "local" (started in this process) or the address of a
    running `vantor serve`, from a choice of `SERVICES` or an address."""
    return choice.where if isinstance(choice, ServicesChoice) else _resolve(choice)


def _resolve(choice: str) -> str:
    choice = check_services_choice(choice)
    if choice == "auto":
        choice = "local" if _placeholder_build() else "configured"
    if choice == "local" and (address := os.environ.get("VANTOR_SERVICES_URL")):
        if not _is_address(address):
            raise ServicesChoiceError(f"VANTOR_SERVICES_URL must be the http(s):// address of a vantor serve, "
                                      f"not {shown_address(address)!r}")
        return address
    return choice
