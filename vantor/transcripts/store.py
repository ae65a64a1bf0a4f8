"""Transcripts kept in the user's cache, so a video is transcribed once.

An entry is filed under the address it was asked for (found again with no
network at all) and, when the site names the video, under that name too
(the same video at another address is not recognised again; the name holds
the address's host unless a fixed site's own extractor read it, see
services.captions.video_key). Entries are
read back as untrusted: one that does not read is ignored and made anew.
The video's loudness and shot changes, once read, are kept in its entry.
"""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass
from pathlib import Path

from ..services.cache import FileCache, private_dir
from ..services.limits import default_cache_dir
from .model import Transcript
from .signals import VideoSignals

__all__ = ["StoredTranscript", "TranscriptStore"]

STORE_BYTES = 256 * 1024**2
# Changes when an entry's meaning does, so older ones are not read (2: a
# video's key holds the host unless its extractor is of a fixed site).
STORE_FORMAT = 2


@dataclass(frozen=True)
class StoredTranscript:
    transcript: Transcript
    duration: float | None  # the video's length, when the site said it
    video_key: str | None
    signals: VideoSignals | None = None  # when the video itself was read


def _key(kind: str, name: str, language: str | None) -> str:
    # One letter and hex digits: the cache names partial files "<key>-...".
    return kind + hashlib.sha256(f"{name}\n{language or ''}".encode()).hexdigest()[:32]


class TranscriptStore:
    def __init__(self, root: str | os.PathLike[str] | None = None) -> None:
        if root is None:
            root = private_dir(default_cache_dir()) / "transcripts"
        self.cache: FileCache = FileCache(root, ".json", STORE_BYTES)

    def by_address(self, url: str, language: str | None) -> StoredTranscript | None:
        return self._read(_key("a", url, language))

    def by_video(self, video_key: str | None, language: str | None) -> StoredTranscript | None:
        return self._read(_key("v", video_key, language)) if video_key else None

    def put(self, url: str, language: str | None, stored: StoredTranscript) -> None:
        data = json.dumps({"format": STORE_FORMAT, "transcript": stored.transcript.to_json(),
                           "duration": stored.duration, "video_key": stored.video_key,
                           "signals": stored.signals.to_json() if stored.signals is not None else None}).encode()
        self.cache.put_bytes(_key("a", url, language), data)
        if stored.video_key:
            self.cache.put_bytes(_key("v", stored.video_key, language), data)

    def _read(self, key: str) -> StoredTranscript | None:
        path = self.cache.get(key)
        if path is None:
            return None
        try:
            data = json.loads(path.read_bytes())
            if data.get("format") != STORE_FORMAT:
                return None
            duration = data.get("duration")
            return StoredTranscript(Transcript.from_json(data["transcript"]),
                                    float(duration) if isinstance(duration, (int, float)) else None,
                                    data.get("video_key") if isinstance(data.get("video_key"), str) else None,
                                    _signals(data.get("signals")))
        except (OSError, ValueError, TypeError, KeyError, AttributeError, RecursionError):
            return None


def _signals(data: object) -> VideoSignals | None:
    """An entry's signals; ones that do not read are read again, the words are kept."""
    try:
        return VideoSignals.from_json(data) if isinstance(data, dict) else None
    except (ValueError, TypeError, KeyError):
        return None
