"""Speech recognition on this machine, for videos without captions: an
optional extra (`vantor[transcribe]`) whose model the set-up installs."""

from __future__ import annotations

import threading
from collections.abc import Callable
from pathlib import Path

from .model import Transcript

__all__ = ["RecognitionUnavailable", "available", "recognise"]


class RecognitionUnavailable(Exception):
    """Recognition cannot run here (one line saying what to install)."""


def available() -> str | None:
    """None when recognition can run, else the one-line reason it cannot."""
    return "speech recognition is not installed; install the transcribe extra: pip install 'vantor[transcribe]'"


def recognise(media: Path, *, language: str | None = None, progress: Callable[[float], None] | None = None,
              cancel: threading.Event | None = None) -> Transcript:
    """The words spoken in `media` (a file this product made), with their times."""
    reason = available()
    raise RecognitionUnavailable(reason or "speech recognition failed")
