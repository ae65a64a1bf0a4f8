"""Settings of the local services that bound what a caller can make them do."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Limits", "default_cache_dir"]

GiB = 1024**3


@dataclass(frozen=True)
class Limits:
    # Downloads running at once; further job requests are refused until one ends.
    max_jobs: int = 4
    # A source larger than this is refused (yt-dlp's max_filesize) or aborted.
    max_file_bytes: int = 8 * GiB
    # Bodies of requests (the speech service's JSON) larger than this get 413.
    max_request_bytes: int = 64 * 1024
    # Narration texts longer than this get 413.
    max_text_chars: int = 5000
    # Finished downloads kept in the cache; least recently used go first.
    cache_bytes: int = 20 * GiB
    # Narrations spoken at once (espeak-ng and ffmpeg each take a core).
    max_speech: int = 2
    # Narrations of one client queued or being spoken; more are refused (503).
    max_speech_per_client: int = 8
    # Narrations queued or being spoken in all; more are refused (503).
    max_speech_queued: int = 32
    # How long a job request waits for yt-dlp to get past the address, so that
    # an unsupported or unavailable one is answered as a failed job request.
    # The wait holds no thread.
    job_answer_wait: float = 20.0
    # Downloads of one site (host) at once, so a few slow addresses of one
    # site cannot take every slot.
    max_jobs_per_host: int = 2
    # Job requests of one client waiting for their first answer at once.
    max_waiting_per_client: int = 16
    # A download (page reading included) that takes longer fails.
    job_deadline: float = 3600.0
    # A download that receives no byte for this long fails as stalled.
    stall_seconds: float = 60.0
    # A finished job's file is kept (not evicted) until its client fetched it
    # or this long has passed.
    fetch_grace: float = 600.0


def default_cache_dir() -> Path:
    if explicit := os.environ.get("VANTOR_CACHE_DIR"):
        return Path(explicit)
    if xdg := os.environ.get("XDG_CACHE_HOME"):
        return Path(xdg) / "vantor"
    return Path.home() / ".cache" / "vantor"
