"""The product's `ServiceRouter`, aimed at the loopback stand-ins, recording
each call.

`ServiceRouter(download, speech)` sends the engine's download API requests
to the download stand-in and its speech requests to the speech stand-in, by
the product's own routing rule; every other address (such as the stand-in's
absolute progress address) goes to the real `requests` unchanged.
"""

from __future__ import annotations

from dataclasses import dataclass
from types import ModuleType
from typing import Any, Protocol

from vantor.services.router import ServiceRouter as ProductRouter

__all__ = ["Call", "ServiceRouter"]


class _Reachable(Protocol):
    port: int


@dataclass(frozen=True)
class Call:
    """One call the engine made: the address it asked for, where it went,
    and its keyword arguments as given (before any time-out cap)."""

    method: str
    url: str
    routed_url: str
    kwargs: dict[str, Any]


def _address(service: _Reachable | None) -> str | None:
    return None if service is None else f"http://127.0.0.1:{service.port}"


class ServiceRouter(ProductRouter):
    """`timeout_cap`: when given, any time-out passed on is lowered to it, so
    a stall surfaces the HTTP layer's time-out error quickly; `calls` still
    records the values the engine asked for."""

    def __init__(self, download: _Reachable | None = None, speech: _Reachable | None = None,
                 requests_module: ModuleType | None = None, *, timeout_cap: float | None = None) -> None:
        super().__init__(_address(download), requests_module, speech_url=_address(speech))
        self.download = download
        self.speech = speech
        self.timeout_cap = timeout_cap
        self.calls: list[Call] = []

    def send(self, method: str, url: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        self.calls.append(Call(method, url, self.route(url), dict(kwargs)))
        timeout = kwargs.get("timeout")
        if self.timeout_cap is not None and isinstance(timeout, (int, float)):
            kwargs = {**kwargs, "timeout": min(timeout, self.timeout_cap)}
        return super().send(method, url, args, kwargs)
