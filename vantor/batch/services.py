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
import importlib.util
import os
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Protocol

__all__ = ["ServicesProvider", "ConfiguredServices", "LocalServicesProvider", "provider_for", "ensure_open"]


class ServicesProvider(Protocol):
    """Hashable and picklable; `open()` binds the engine's `requests` in
    this process for as long as the context is open."""

    def open(self) -> contextlib.AbstractContextManager[object]: ...


@dataclass(frozen=True)
class ConfiguredServices:
    def open(self) -> contextlib.AbstractContextManager[object]:
        return contextlib.nullcontext()


@dataclass(frozen=True)
class LocalServicesProvider:
    """`address` None: start the local services in this process; else reuse
    the `vantor serve` at that address. `cache_dir` None: the default."""

    address: str | None = None
    cache_dir: str | None = None

    @contextlib.contextmanager
    def open(self) -> Iterator[object]:
        from vantor.services import bind, start_local_services  # the local services package

        services = start_local_services(self.address, cache_dir=self.cache_dir)
        try:
            with bind(services):
                yield services
        finally:
            services.close()


def _placeholder_hosts() -> bool:
    try:
        from vantor.services import placeholder_hosts
    except ImportError:
        from vantor import _service_settings as settings

        return ".invalid" in settings.DOWNLOAD_API_BASE or settings.TTS_HOST.endswith(".invalid")
    return placeholder_hosts()


def provider_for(choice: str | None, cache_dir: str | os.PathLike[str] | None = None) -> ServicesProvider:
    """The provider for `--services`: "local", "configured", an http(s)
    address of a `vantor serve`, or None for the default (local when the
    build's service hosts are placeholders, else configured)."""
    cache = os.fspath(cache_dir) if cache_dir is not None else None
    if choice is None:
        choice = "local" if _placeholder_hosts() else "configured"
    if choice == "configured":
        return ConfiguredServices()
    if choice != "local" and not choice.startswith(("http://", "https://")):
        raise ValueError(f"--services must be local, configured or the http:// address of a `vantor serve`, "
                         f"not {choice!r}")
    if importlib.util.find_spec("vantor.services") is None:
        raise ValueError("this installation has no local services (vantor.services); "
                         "use --services configured")
    return LocalServicesProvider(None if choice == "local" else choice.rstrip("/"), cache)


# -- worker side ---------------------------------------------------------
_lock = threading.Lock()
_current: tuple[object, contextlib.ExitStack] | None = None


def _close_current() -> None:
    global _current
    if _current is not None:
        _current[1].close()
        _current = None


atexit.register(_close_current)


def ensure_open(provider: ServicesProvider) -> None:
    """Opens `provider` in this process unless it is already open. The
    binding is process-wide, so another provider replaces the previous one
    (a shared cluster that serves batches with different services)."""
    global _current
    with _lock:
        if _current is not None and _current[0] == provider:
            return
        _close_current()
        stack = contextlib.ExitStack()
        stack.enter_context(provider.open())
        _current = (provider, stack)
