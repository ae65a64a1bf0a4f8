"""Where a video's transcript comes from: the site's captions through the
download service when it has them, else recognition on this machine; cached
per video. The video is downloaded only when needed: for recognition, or
when its loudness and shot changes are asked for (`read_video`); once it is
here, both are read from the same file before it goes."""

from __future__ import annotations

import os
import tempfile
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import replace
from pathlib import Path

from ..services.client import CaptionWords, DownloadError, ServicesClient, fetch_file
from . import recognition, signals
from .model import Transcript, Word
from .store import StoredTranscript, TranscriptStore

__all__ = ["TranscriptCancelled", "TranscriptUnavailable", "transcript_for", "video_words"]

Progress = Callable[[str, float], None]
READING = "reading the video"  # the progress stage of reading loudness and shot changes


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
                cache_dir: str | os.PathLike[str] | None = None, read_video: bool = False) -> StoredTranscript:
    """`transcript_for`, with the video's length where the site said it, and
    its loudness and shot changes when they were read: always after
    recognition, and for captions when `read_video` (the video is then
    downloaded; stage READING)."""
    say: Progress = progress or (lambda stage, fraction: None)
    stopped = cancel or threading.Event()
    store = TranscriptStore(cache_dir)
    say("captions", 0.0)
    if (found := store.by_address(url, language)) is not None:
        say("captions", 1.0)
        return _with_signals(found, ServicesClient(services_url), url, language, store, say, stopped, read_video)
    client = ServicesClient(services_url)
    captions = client.captions(url, language)
    if captions.words:
        made = StoredTranscript(_from_captions(captions), captions.duration, captions.video_key)
        store.put(url, language, made)
        say("captions", 1.0)
        return _with_signals(made, client, url, language, store, say, stopped, read_video)
    if (found := store.by_video(captions.video_key, language)) is not None:
        store.put(url, language, found)  # found at once by this address next time
        return _with_signals(found, client, url, language, store, say, stopped, read_video)
    missing = recognition.available()
    if missing is not None:
        raise TranscriptUnavailable(f"{captions.reason or 'the video has no captions'}, and {missing}")
    transcript, read = _recognised(client, url, language, say, stopped)
    signals_read = None if isinstance(read, str) else read
    made = StoredTranscript(transcript, _length(captions.duration, signals_read), captions.video_key, signals_read)
    store.put(url, language, made)  # the words are kept even when the signals could not be read
    if read_video and isinstance(read, str):
        raise TranscriptUnavailable(read)
    return made


def _with_signals(found: StoredTranscript, client: ServicesClient, url: str, language: str | None,
                  store: TranscriptStore, say: Progress, stopped: threading.Event, read_video: bool
                  ) -> StoredTranscript:
    """`found`, with the video's signals read now when asked for and not kept yet."""
    if not read_video or found.signals is not None:
        return found
    with _downloaded(client, url, say, stopped) as media:
        signals_read = _read(media, say, stopped)
        made = replace(found, signals=signals_read, duration=_length(found.duration, signals_read))
    store.put(url, language, made)
    return made


def _length(said: float | None, read: signals.VideoSignals | None) -> float | None:
    """The video's length: the site's, else the seconds its reading found
    (so no range is drafted past the video, whatever its captions say)."""
    return said if said is not None or read is None or not read.loudness else float(len(read.loudness))


def _from_captions(captions: CaptionWords) -> Transcript:
    words = tuple(Word(start, end, text) for start, end, text in captions.words or ())
    return Transcript(words, "captions", captions.language)


@contextmanager
def _downloaded(client: ServicesClient, url: str, say: Progress, stopped: threading.Event) -> Iterator[Path]:
    """The video downloaded through the services as a recap's is, in a
    private folder that goes when the block ends."""
    address = client.download(url, on_progress=lambda p: say("downloading", p.per_mille / 1000),
                              stopped=stopped.is_set)
    if address is None:
        raise TranscriptCancelled("the transcript was cancelled")
    with tempfile.TemporaryDirectory(prefix="vantor-transcript-") as folder:
        media = Path(folder) / "video.mp4"
        _fetch(address, media, stopped)
        say("downloading", 1.0)
        yield media


def _read(media: Path, say: Progress, stopped: threading.Event) -> signals.VideoSignals:
    try:
        return signals.read_signals(media, progress=lambda fraction: say(READING, fraction), cancel=stopped)
    except signals.SignalsCancelled:
        raise TranscriptCancelled("the transcript was cancelled") from None
    except signals.SignalsFailed as error:
        raise TranscriptUnavailable(str(error)) from None


def _recognised(client: ServicesClient, url: str, language: str | None, say: Progress,
                stopped: threading.Event) -> tuple[Transcript, signals.VideoSignals | str]:
    """The video downloaded and recognised, and its signals read while it is
    here (or the one line saying why they could not be)."""
    with _downloaded(client, url, say, stopped) as media:
        try:
            transcript = recognition.recognise(media, language=language,
                                               progress=lambda fraction: say("transcribing", fraction),
                                               cancel=stopped)
        except recognition.RecognitionCancelled:
            raise TranscriptCancelled("the transcript was cancelled") from None
        except (recognition.RecognitionUnavailable, recognition.RecognitionFailed) as error:
            raise TranscriptUnavailable(str(error)) from None
        say("transcribing", 1.0)
        try:
            read: signals.VideoSignals | str = _read(media, say, stopped)
        except TranscriptCancelled:
            raise
        except TranscriptUnavailable as error:
            read = str(error)
    if stopped.is_set():
        raise TranscriptCancelled("the transcript was cancelled")
    return transcript, read


def _fetch(address: str, target: Path, stopped: threading.Event) -> None:
    """The service's finished file, whole: its size is checked against what was announced."""
    try:
        fetched = fetch_file(address, target, stopped.is_set)
    except DownloadError as error:
        raise TranscriptUnavailable(str(error)) from None
    if not fetched:
        raise TranscriptCancelled("the transcript was cancelled")
