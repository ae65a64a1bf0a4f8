"""A transcript written out: plain text (a sentence a line with its start
time), SubRip or WebVTT (a cue a sentence)."""

from __future__ import annotations

from ..services.caption_forms import visible_text
from .model import Transcript

__all__ = ["FORMATS", "as_plain", "as_srt", "as_vtt", "clock"]

FORMATS = ("text", "srt", "vtt")


def clock(seconds: float, separator: str = ".") -> str:
    """HH:MM:SS.mmm (SubRip: a comma before the milliseconds)."""
    millis = max(0, round(seconds * 1000))
    hours, rest = divmod(millis, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return f"{hours:02d}:{minutes:02d}:{rest // 1000:02d}{separator}{rest % 1000:03d}"


def short_clock(seconds: float) -> str:
    """MM:SS, or H:MM:SS past an hour."""
    whole = int(max(0.0, seconds))
    hours, rest = divmod(whole, 3600)
    shown = f"{rest // 60:02d}:{rest % 60:02d}"
    return f"{hours}:{shown}" if hours else shown


def as_plain(transcript: Transcript) -> str:
    return "".join(f"[{short_clock(s.start)}] {s.text}\n" for s in transcript.sentences())


def as_srt(transcript: Transcript) -> str:
    return "\n".join(f"{n}\n{clock(s.start, ',')} --> {clock(s.end, ',')}\n{visible_text(s.text)}\n"
                     for n, s in enumerate(transcript.sentences(), 1))


def _vtt_text(text: str) -> str:
    # A cue's text is markup: "&" and "<" are escaped, and "-->" would end it.
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def as_vtt(transcript: Transcript) -> str:
    cues = "".join(f"\n{clock(s.start)} --> {clock(s.end)}\n{_vtt_text(s.text)}\n" for s in transcript.sentences())
    return "WEBVTT\n" + cues
