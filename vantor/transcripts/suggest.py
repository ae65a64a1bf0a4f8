"""Draft segments from a transcript: ranges of whole sentences chosen by
signals a user can read."""

from __future__ import annotations

from .model import Suggestion, Transcript

__all__ = ["suggest"]


def suggest(transcript: Transcript, *, count: int = 5, length: float = 30.0) -> list[Suggestion]:
    """Up to `count` ranges of about `length` seconds, best first."""
    raise NotImplementedError
