"""Stand-ins reached by address, for other processes (batch workers).

`StandinAddresses` is a small picklable services provider: a process that
opens it gets a `ServiceRouter` for its runs to stand-ins running elsewhere on loopback
(usually the test's own process), by port.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import dataclass

from .download_service import DownloadService
from .router import ServiceRouter
from .speech_service import SpeechService

__all__ = ["StandinAddresses"]


@dataclass(frozen=True)
class _Port:
    port: int


@dataclass(frozen=True)
class StandinAddresses:
    download_port: int
    speech_port: int

    @classmethod
    def of(cls, download: DownloadService, speech: SpeechService) -> StandinAddresses:
        return cls(download.port, speech.port)

    @contextlib.contextmanager
    def open(self) -> Iterator[ServiceRouter]:
        """The router a run in this process binds as its `requests`."""
        yield ServiceRouter(_Port(self.download_port), _Port(self.speech_port))
