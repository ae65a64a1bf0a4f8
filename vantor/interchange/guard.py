"""What an edited timeline may hold before anything in it is believed: a
file of bounded size with a bounded number of clips, XML without entity
declarations, media only inside the timeline's own folder, and times a
recap can have. Each refusal is one line saying what is wrong."""

from __future__ import annotations

import math
import os
from typing import Any
from urllib.parse import unquote, urlsplit

__all__ = ["MAX_BYTES", "MAX_CLIPS", "MAX_SECONDS", "TimelineRefused", "check_clip_count", "check_media",
           "check_span", "parse_xml", "read_limited"]

MAX_BYTES = 32 * 1024 * 1024  # a timeline of thousands of clips is a few megabytes
MAX_CLIPS = 5000  # clips (XML elements for the XML formats: 40 a clip) in one timeline
MAX_ELEMENTS = MAX_CLIPS * 40
MAX_SECONDS = 48 * 3600.0  # no source film is longer


class TimelineRefused(ValueError):
    """The timeline cannot be read back; the message is one line."""


def read_limited(path: str) -> bytes:
    try:
        if not os.path.isfile(path):
            raise TimelineRefused(f"{path} is not a timeline file")
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except OSError as error:
        raise TimelineRefused(f"{path} cannot be read: {error.strerror}") from None
    if len(data) > MAX_BYTES:
        raise TimelineRefused(f"{path} is larger than {MAX_BYTES // (1024 * 1024)} MiB; no recap's timeline is")
    return data


def check_clip_count(count: int, path: str) -> None:
    if count > MAX_CLIPS:
        raise TimelineRefused(f"{path} holds {count} clips, more than the {MAX_CLIPS} a recap can have")


def parse_xml(data: bytes, path: str) -> Any:
    """The XML's root, parsed with entity declarations and external
    references refused (a billion laughs, a file read through an entity)."""
    import defusedxml
    import defusedxml.ElementTree as SafeTree

    try:
        root = SafeTree.fromstring(data, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    except defusedxml.DefusedXmlException:
        raise TimelineRefused(f"{path} declares XML entities, which a timeline does not need; refused") from None
    except SafeTree.ParseError as error:
        raise TimelineRefused(f"{path} is not well-formed XML ({error})") from None
    count = sum(1 for _ in root.iter())
    if count > MAX_ELEMENTS:
        raise TimelineRefused(f"{path} holds {count} XML elements, more than a recap's timeline of "
                              f"{MAX_CLIPS} clips could")
    return root


def check_media(reference: str, folder: str, path: str) -> str:
    """The file `reference` names, which must lie inside `folder` (the
    timeline's own): no other scheme, no absolute path, nothing above it."""
    parts = urlsplit(reference)
    if parts.scheme not in ("", "file") or parts.netloc:
        raise TimelineRefused(f"{path} names media {reference!r} that is not a file in its folder; refused")
    name = unquote(parts.path) if parts.scheme == "file" else reference
    if os.path.isabs(name):
        raise TimelineRefused(f"{path} names media outside its folder ({reference!r}); keep the media in "
                              f"{os.path.basename(folder)}/ beside it")
    root = os.path.realpath(folder)
    full = os.path.realpath(os.path.join(root, name))
    if os.path.commonpath([root, full]) != root:
        raise TimelineRefused(f"{path} names media outside its folder ({reference!r}); keep the media beside it")
    return full


def check_span(name: str, start: float, end: float, path: str) -> None:
    if not all(math.isfinite(value) for value in (start, end)) or not 0 <= start < end <= MAX_SECONDS:
        raise TimelineRefused(f"{path}: {name} runs from {start!r} to {end!r} s on the film, which no recap can "
                              f"have (0 to {MAX_SECONDS:.0f} s, end after start)")
