"""The services as a client program uses them: started in this process or
reached at a running `vantor serve`, with the router that sends the engine's
requests there."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING

from .client import DownloadError, Progress, ServicesClient, SpeechError
from .limits import default_cache_dir
from .narration_timing import NarrationTiming
from .router import ServiceRouter

if TYPE_CHECKING:
    from .server import InProcessServer

__all__ = ["DownloadError", "LocalServices", "Progress", "SpeechError", "bind", "local_services", "speak_with_timing",
           "start_local_services"]

POLL_SECONDS = 0.5


class LocalServices:
    """A running pair of services. `close()` stops them if this handle started
    them; a handle to a `vantor serve` leaves that process running."""

    def __init__(self, base_url: str, server: InProcessServer | None = None) -> None:
        self.base_url: str = base_url.rstrip("/")
        self.router: ServiceRouter = ServiceRouter(self.base_url)
        self.client: ServicesClient = ServicesClient(self.base_url)
        self._server = server

    def prefetch(self, url: str, *, on_progress: Callable[[Progress], None] | None = None,
                 stopped: Callable[[], bool] | None = None) -> bool:
        """Asks the download service for `url` and waits, with no time limit,
        until its file is finished, so the engine's own job finds it at once.
        False when `stopped()` said so first (asked between polls)."""
        return self.client.download(url, on_progress=on_progress, poll_seconds=POLL_SECONDS,
                                    stopped=stopped or (lambda: False)) is not None

    def narration_timing(self, text: str, voice: str) -> NarrationTiming:
        """How long the narration `text` in `voice` lasts and when each word is
        spoken. The service keeps the audio too, so the engine's own request
        for it is then answered from the cache."""
        return self.client.narration_timing(text, voice)

    def local_file(self, address: str) -> Path | None:
        """The cached file a file address of services in this process names,
        read in place (see Services.local_file); None for a `vantor serve`."""
        from .server import in_process

        services = self._server.services if self._server is not None else in_process(self.base_url)
        return services.local_file(address) if services is not None else None

    def close(self) -> None:
        server, self._server = self._server, None
        if server is not None:
            server.close()

    def __enter__(self) -> LocalServices:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def start_local_services(address: str | None = None, *,
                         cache_dir: str | os.PathLike[str] | None = None,
                         private_sources: str = "direct") -> LocalServices:
    """Starts both services in this process on 127.0.0.1 (address None), or
    returns a handle to the `vantor serve` at `address` (its token included).

    The services started here answer only requests that carry their random
    token (in `base_url`). `private_sources`: "direct" (a video address on
    the user's own network may be fetched, but no public page leads to a
    private address), "refuse" or "allow"."""
    if address is not None:
        return LocalServices(address)
    from .server import InProcessServer, Services, new_token

    services = Services(cache_dir if cache_dir is not None else default_cache_dir(), token=new_token(),
                        private_sources=private_sources)
    try:
        server = InProcessServer(services)
    except BaseException:
        services.close()
        raise
    return LocalServices(server.base_url, server)


@contextmanager
def bind(services: LocalServices) -> Iterator[LocalServices]:
    """Binds `services.router` as the engine's `requests` for the engine
    calls made in this context during the block (a per-run binding: the
    module's own `requests` and other threads are left alone)."""
    from ..bindings import engine_run

    with engine_run(requests=services.router):
        yield services


@contextmanager
def local_services(address: str | None = None, *,
                   cache_dir: str | os.PathLike[str] | None = None,
                   private_sources: str = "direct") -> Iterator[LocalServices]:
    """`with vantor.local_services(): vantor.run_recap(...)`"""
    with start_local_services(address, cache_dir=cache_dir, private_sources=private_sources) as services, \
            bind(services):
        yield services


def speak_with_timing(text: str, voice: str, services: LocalServices | None = None) -> NarrationTiming:
    """`services.narration_timing(text, voice)`; without `services`, from
    local services started for the call (their cache is the shared one)."""
    if services is not None:
        return services.narration_timing(text, voice)
    with start_local_services() as started:
        return started.narration_timing(text, voice)
