"""When to try a failed job again: the failure's reading is
`vantor.recap.engine.failures` (one home for both the messages and the retries);
the pause between attempts is here."""

from __future__ import annotations

from ..recap.engine.failures import is_transient

__all__ = ["is_transient", "retry_pause"]


def retry_pause(attempt: int, base: float) -> float:
    """Seconds to wait before attempt `attempt + 1`: doubling from `base`."""
    return base * 2.0 ** (attempt - 1)
