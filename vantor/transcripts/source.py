"""Where a video's transcript comes from: the site's captions through the
download service when it has them, else recognition on this machine; cached
per video."""

from __future__ import annotations

import threading
from collections.abc import Callable

from .model import Transcript

__all__ = ["TranscriptUnavailable", "transcript_for"]


class TranscriptUnavailable(Exception):
    """No captions and no recognition installed (one line saying what to do)."""


def transcript_for(url: str, *, services_url: str, progress: Callable[[str, float], None] | None = None,
                   cancel: threading.Event | None = None) -> Transcript:
    """The words of the video at `url`. `progress(stage, fraction)` with stage
    "captions", "downloading" or "transcribing"."""
    raise NotImplementedError
