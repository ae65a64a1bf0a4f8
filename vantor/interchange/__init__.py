"""Timelines for video editors: the recap's timeline written as OTIO,
FCPXML, CMX 3600 EDL or a Kdenlive project with its media beside it, and
segments read back from an edited one."""

from __future__ import annotations

__all__ = ["FORMATS", "parse_formats"]

# Each format and its file's extension.
FORMATS = {"otio": ".otio", "fcpxml": ".fcpxml", "edl": ".edl", "kdenlive": ".kdenlive"}


def parse_formats(value: str | list[str] | tuple[str, ...] | None) -> tuple[str, ...]:
    """The formats asked for ("otio,edl", or a list), each once, in order;
    ValueError naming an unknown one."""
    if value is None:
        return ()
    items = value.split(",") if isinstance(value, str) else list(value)
    chosen: list[str] = []
    for item in (str(item).strip().lower() for item in items):
        if item not in FORMATS:
            raise ValueError(f"no timeline format {item!r}; choose from {', '.join(FORMATS)} (comma-separated)")
        if item not in chosen:
            chosen.append(item)
    if not chosen:
        raise ValueError(f"name a timeline format: {', '.join(FORMATS)}")
    return tuple(chosen)
