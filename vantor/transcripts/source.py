"""Where a video's transcript comes from: the site's captions through the
download service when it has them, else recognition on this machine; cached
per video."""

from __future__ import annotations

import os
import tempfile
import threading
from collections.abc import Callable
from pathlib import Path

from ..services.client import CaptionWords, ServicesClient
from . import recognition
from .model import Transcript, Word
from .store import StoredTranscript, TranscriptStore

__all__ = ["TranscriptCancelled", "TranscriptUnavailable", "transcript_for", "video_words"]

Progress = Callable[[str, float], None]
FETCH_CHUNK = 1024 * 1024
FETCH_TIMEOUT = 60


class TranscriptUnavailable(Exception):
    """No captions and no recognition installed (one line saying what to do)."""


class TranscriptCancelled(TranscriptUnavailable):
    """`cancel` was set before the transcript was made."""


def transcript_for(url: str, *, services_url: str, progress: Callable[[str, float], None] | None = None,
                   cancel: threading.Event | None = None, language: str | None = None,
                   cache_dir: str | os.PathLike[str] | None = None) -> Transcript:
    """The words of the video at `url`. `progress(stage, fraction)` with stage
    "captions", "downloading" or "transcribing"."""
    return video_words(url, services_url=services_url, progress=progress, cancel=cancel, language=language,
                       cache_dir=cache_dir).transcript


def video_words(url: str, *, services_url: str, progress: Progress | None = None,
                cancel: threading.Event | None = None, language: str | None = None,
                cache_dir: str | os.PathLike[str] | None = None) -> StoredTranscript:
    """`transcript_for`, with the video's length where the site said it."""
    say: Progress = progress or (lambda stage, fraction: None)
    stopped = cancel or threading.Event()
    store = TranscriptStore(cache_dir)
    say("captions", 0.0)
    if (found := store.by_address(url, language)) is not None:
        say("captions", 1.0)
        return found
    client = ServicesClient(services_url)
    captions = client.captions(url, language)
    if captions.words:
        made = StoredTranscript(_from_captions(captions), captions.duration, captions.video_key)
        store.put(url, language, made)
        say("captions", 1.0)
        return made
    if (found := store.by_video(captions.video_key, language)) is not None:
        store.put(url, language, found)  # found at once by this address next time
        return found
    missing = recognition.available()
    if missing is not None:
        raise TranscriptUnavailable(f"{captions.reason or 'the video has no captions'}, and {missing}")
    transcript = _recognised(client, url, language, say, stopped)
    made = StoredTranscript(transcript, captions.duration, captions.video_key)
    store.put(url, language, made)
    return made


def _from_captions(captions: CaptionWords) -> Transcript:
    words = tuple(Word(start, end, text) for start, end, text in captions.words or ())
    return Transcript(words, "captions", captions.language)


def _recognised(client: ServicesClient, url: str, language: str | None, say: Progress,
                stopped: threading.Event) -> Transcript:
    """The video downloaded through the services as a recap's is, then recognised."""
    address = client.download(url, on_progress=lambda p: say("downloading", p.per_mille / 1000),
                              stopped=stopped.is_set)
    if address is None:
        raise TranscriptCancelled("the transcript was cancelled")
    with tempfile.TemporaryDirectory(prefix="vantor-transcript-") as folder:
        media = Path(folder) / "video.mp4"
        _fetch(address, media, stopped)
        say("downloading", 1.0)
        try:
            transcript = recognition.recognise(media, language=language,
                                               progress=lambda fraction: say("transcribing", fraction),
                                               cancel=stopped)
        except recognition.RecognitionCancelled:
            raise TranscriptCancelled("the transcript was cancelled") from None
        except (recognition.RecognitionUnavailable, recognition.RecognitionFailed) as error:
            raise TranscriptUnavailable(str(error)) from None
    if stopped.is_set():
        raise TranscriptCancelled("the transcript was cancelled")
    say("transcribing", 1.0)
    return transcript


def _fetch(address: str, target: Path, stopped: threading.Event) -> None:
    """The service's finished file, whole: its size is checked against what was announced."""
    import requests

    with requests.get(address, stream=True, timeout=FETCH_TIMEOUT) as answer:
        if answer.status_code != 200:
            raise TranscriptUnavailable(f"the download service answered HTTP {answer.status_code} for the video's file; "
                                        "try again")
        with open(target, "wb") as out:
            for chunk in answer.iter_content(FETCH_CHUNK):
                if stopped.is_set():
                    raise TranscriptCancelled("the transcript was cancelled")
                out.write(chunk)
        announced = answer.headers.get("Content-Length", "")
    size = target.stat().st_size
    if size == 0 or (announced.isdigit() and int(announced) != size):
        raise TranscriptUnavailable("the video's file came back incomplete from the download service; try again")
