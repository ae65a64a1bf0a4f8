"""What ffprobe says about a video: its container duration."""

from __future__ import annotations

import subprocess

__all__ = ["UnreadableVideo", "probe_duration"]


class UnreadableVideo(ValueError):
    """ffprobe could not read a duration; the message says why."""


def probe_duration(video: str) -> float:
    """The container duration of `video` in seconds."""
    done = subprocess.run(
        # The video may be a fetched one: it is read from the file alone.
        ["ffprobe", "-v", "error", "-protocol_whitelist", "file,pipe", "-show_entries", "format=duration", "-of",
         "csv=p=0", video],
        capture_output=True, text=True,
    )
    try:
        return float(done.stdout.strip())
    except ValueError:
        reason = done.stderr.strip().splitlines()[-1:] or [f"ffprobe exit status {done.returncode}"]
        raise UnreadableVideo(reason[0]) from None
