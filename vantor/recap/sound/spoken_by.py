"""Which engine spoke each narration of a recap.

The local speech service keeps, with each narration's word timings, the
engine that spoke it ("piper" for the neural voice, "espeak-ng" otherwise):
a recap lists it per segment, and says once when a neural-looking voice
name was spoken by espeak-ng (the neural voice missing, or not one it
speaks), so nobody takes the robotic voice for the one they named.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ...services import NarrationTiming

__all__ = ["spoken_notes", "voices_spoken"]


def voices_spoken(voice: str, timings: Sequence[NarrationTiming]) -> tuple[dict[str, object], ...]:
    return tuple({"segment": index, "voice": voice, "engine": timing.backend}
                 for index, timing in enumerate(timings))


def spoken_notes(spoken: Sequence[dict[str, object]]) -> list[str]:
    """One line for the recap's progress when a neural-looking name was spoken by espeak-ng."""
    for entry in spoken:
        if str(entry["voice"]).endswith("Neural") and entry["engine"] == "espeak-ng":
            count = sum(1 for e in spoken if e["engine"] == "espeak-ng")
            return [f"note: {entry['voice']} was spoken by espeak-ng, not the neural voice, in {count} of "
                    f"{len(spoken)} segments; see vantor voices for the voices piper speaks here"]
    return []
