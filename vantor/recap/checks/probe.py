"""What ffprobe says about a video: its container duration."""

from __future__ import annotations

from ...runner import ChildStopped, Runner, run

__all__ = ["PROBE_LIMIT_S", "UnreadableVideo", "probe_duration"]

PROBE_LIMIT_S = 120  # a probe reads headers (or counts packets): a stuck one is ended


class UnreadableVideo(ValueError):
    """ffprobe could not read a duration; the message says why."""


def probe_duration(video: str, runner: Runner | None = None) -> float:
    """The container duration of `video` in seconds (ffprobe run by `runner`)."""
    try:
        done = (runner.run if runner is not None else run)(
            # The video may be a fetched one: it is read from the file alone.
            ["ffprobe", "-v", "error", "-protocol_whitelist", "file,pipe", "-show_entries", "format=duration", "-of",
             "csv=p=0", video],
            text=True, time_limit=PROBE_LIMIT_S,
        )
    except ChildStopped as stopped:
        if stopped.why == "cancelled":
            raise
        raise UnreadableVideo(str(stopped)) from None
    try:
        return float(done.stdout.strip())
    except ValueError:
        reason = done.stderr.strip().splitlines()[-1:] or [f"ffprobe exit status {done.returncode}"]
        raise UnreadableVideo(reason[0]) from None
