"""The errors every layer may raise, kept below all of them so that a lower
layer (the tool check) need not import a higher one (the recap's checks) to
refuse a run."""

from __future__ import annotations

__all__ = ["PreflightError"]


class PreflightError(Exception):
    """A run refused before it started (or right after the download)."""
