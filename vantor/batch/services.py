"""Where a worker's recaps reach the download and speech services.

This is the one seam between the batch and the services. A provider is a
small picklable value that travels to every worker with each job; the worker
opens it once per process (`ensure_open`) and keeps it open, so the local
services start once per worker process and not once per job.

    local         the machine's own local services, started in the worker
                  process, sharing the default cache directory of the machine
    configured    the service hosts the build was made with; nothing bound
    http://H:P    a running `vantor serve` (its address as given)
"""

from __future__ import annotations

import atexit
import contextlib
import os
import threading
from dataclasses import dataclass
from typing import Protocol

from ..recap.engine.services_choice import ServicesChoice, resolve_services

__all__ = ["ServicesProvider", "ConfiguredServices", "LocalServicesProvider", "provider_for", "ensure_open"]


class ServicesProvider(Protocol):
    """Hashable and picklable; `open()` yields what a run in this process
    talks to while the context is open: `LocalServices`, a router to bind as
    the run's `requests`, or None for the hosts the engine was built with."""

    def open(self) -> contextlib.AbstractContextManager[object]: ...


@dataclass(frozen=True)
class ConfiguredServices:
    def open(self) -> contextlib.AbstractContextManager[object]:
        return contextlib.nullcontext()


@dataclass(frozen=True)
class LocalServicesProvider:
    """`address` None: start the local services in this process (every
    worker process of a machine shares `cache_dir`, default the user's
    cache, whose file locks let one process fetch a video while the others
    wait for it); else use the `vantor serve` at that address, which
    closing the handle leaves running."""

    address: str | None = None
    cache_dir: str | None = None

    def open(self) -> contextlib.AbstractContextManager[object]:
        from ..services import start_local_services

        return start_local_services(self.address, cache_dir=self.cache_dir)


def provider_for(choice: str | ServicesChoice = "auto", cache_dir: str | os.PathLike[str] | None = None) -> ServicesProvider:
    """The provider for `--services`, chosen as `vantor recap` chooses:
    "auto", "local", "configured" or the http(s) address of a `vantor serve`
    (see `vantor.recap.engine.services_choice`)."""
    resolved = resolve_services(choice)
    if resolved == "configured":
        return ConfiguredServices()
    cache = os.fspath(cache_dir) if cache_dir is not None else None
    return LocalServicesProvider(None if resolved == "local" else resolved.rstrip("/"), cache)


# -- worker side ---------------------------------------------------------
_lock = threading.Lock()
_current: tuple[object, contextlib.ExitStack, object] | None = None


def _close_current() -> None:
    global _current
    if _current is not None:
        _current[1].close()
        _current = None


atexit.register(_close_current)


def ensure_open(provider: ServicesProvider) -> object:
    """Opens `provider` in this process unless it is already open; returns
    what its `open()` yielded. One provider is open per process, so another
    replaces the previous one (a shared cluster that serves batches with
    different services)."""
    global _current
    with _lock:
        if _current is not None and _current[0] == provider:
            return _current[2]
        _close_current()
        stack = contextlib.ExitStack()
        handle = stack.enter_context(provider.open())
        _current = (provider, stack, handle)
        return handle
