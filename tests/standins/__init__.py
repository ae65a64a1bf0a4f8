"""Scripted stand-ins for the two web services, served on loopback, plus
synthetic media and a loopback video site. The stand-ins answer whatever a
test scripts (any status, any body, a stall), so the engine's clients can be
tried against faults no working service produces; real recaps use
`vantor.services`."""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from .download_service import DownloadService
from .router import ServiceRouter
from .speech_service import SpeechService

__all__ = ["DownloadService", "ServiceRouter", "SpeechService", "serve"]


@contextmanager
def serve(
    video_path: str | os.PathLike[str], **router_options: Any
) -> Iterator[tuple[DownloadService, SpeechService, ServiceRouter]]:
    """Starts both stand-ins and yields them with a router to bind as the
    engine's `requests`; both are closed on leaving."""
    with DownloadService(video_path) as download, SpeechService() as speech:
        yield download, speech, ServiceRouter(download, speech, **router_options)
