"""`vantor.transcript` and `vantor.suggest`: a video's words, and draft
ranges from them, from Python, through the same services a recap uses."""

from __future__ import annotations

import math
import threading
from collections.abc import Callable, Sequence

from ..errors import PreflightError
from .model import Suggestion, Transcript
from .source import video_words
from .store import StoredTranscript
from .suggest import DEFAULT_LENGTH, suggest as suggest_ranges

__all__ = ["signal_arguments", "suggest", "transcript", "words_through_services"]

Progress = Callable[[str, float], None]


def _check(caller: str, name: str, value: object, fits: bool, expected: str) -> None:
    if not fits:
        raise TypeError(f"{caller}: {name} must be {expected}, not {type(value).__name__} ({value!r:.40})")


def _check_common(caller: str, url: object, services: object, language: object, progress: object,
                  cancel: object) -> None:
    _check(caller, "url", url, isinstance(url, str), "a str")
    _check(caller, "services", services, services is None or isinstance(services, str), "a str or None")
    _check(caller, "language", language, language is None or isinstance(language, str), "a str or None")
    _check(caller, "progress", progress, progress is None or callable(progress), "a callable or None")
    _check(caller, "cancel", cancel, cancel is None or isinstance(cancel, threading.Event),
           "a threading.Event or None")


def words_through_services(url: str, services: str | None, *, language: str | None = None,
                           progress: Progress | None = None, cancel: threading.Event | None = None,
                           read_video: bool = False) -> StoredTranscript:
    """The video's words from the services `services` names (None: "auto"),
    started here when local, as a recap finds them; `read_video`: its
    loudness and shot changes too."""
    from ..services import start_local_services
    from ..recap.engine.services_choice import resolve_services

    chosen = resolve_services(services or "auto")
    if chosen == "configured":
        raise PreflightError("transcripts need the local download service; pass --services local or the "
                             "address of a vantor serve")
    with start_local_services(None if chosen == "local" else chosen) as started:
        return video_words(url, services_url=started.base_url, progress=progress, cancel=cancel, language=language,
                           read_video=read_video)


def transcript(url: str, *, services: str | None = None, language: str | None = None,
               progress: Progress | None = None, cancel: threading.Event | None = None) -> Transcript:
    """The words of the video at `url` with their times: the site's captions
    when it has them (in `language` where offered), else recognition on this
    machine (the transcribe extra); cached per video. `services`: "auto",
    "local", "configured" or a `vantor serve` address, as for `make_recap`.
    `progress(stage, fraction)`. TypeError for an argument of the wrong type;
    `TranscriptUnavailable` in one line when no source can give the words."""
    _check_common("transcript", url, services, language, progress, cancel)
    return words_through_services(url, services, language=language, progress=progress, cancel=cancel).transcript


def suggest(url: str, *, count: int = 5, length: float = DEFAULT_LENGTH, keywords: Sequence[str] = (),
            services: str | None = None, language: str | None = None, progress: Progress | None = None,
            cancel: threading.Event | None = None, read_video: bool = False,
            include_ends: bool = False) -> list[Suggestion]:
    """Up to `count` ranges of about `length` seconds of the video at `url`,
    best first: whole sentences, each with the reasons it was chosen
    (`vantor.transcripts.suggest.draft_segments` makes a segments file of
    them). `keywords`: words to look for. `read_video`: download the video
    to weigh its loudness peaks and shot changes too (kept with the
    transcript; a recognised video has them already). `include_ends`: the
    video's first and last half-minute (greetings, sign-offs) may be
    chosen. Otherwise as `transcript`."""
    _check_common("suggest", url, services, language, progress, cancel)
    _check("suggest", "count", count, isinstance(count, int) and not isinstance(count, bool), "an int")
    _check("suggest", "length", length, isinstance(length, (int, float)) and not isinstance(length, bool),
           "a number (int or float)")
    _check("suggest", "keywords", keywords, not isinstance(keywords, (str, bytes)) and isinstance(keywords, Sequence)
           and all(isinstance(k, str) for k in keywords), "a sequence of str")
    _check("suggest", "read_video", read_video, isinstance(read_video, bool), "a bool")
    _check("suggest", "include_ends", include_ends, isinstance(include_ends, bool), "a bool")
    if count < 1 or not math.isfinite(length) or length <= 0:
        raise ValueError("suggest: count must be 1 or more and length a number of seconds above 0")
    found = words_through_services(url, services, language=language, progress=progress, cancel=cancel,
                                   read_video=read_video)
    return suggest_ranges(found.transcript, count=count, length=float(length), keywords=keywords,
                          duration=found.duration, include_ends=include_ends, **signal_arguments(found))


def signal_arguments(found: StoredTranscript) -> dict[str, tuple[float, ...]]:
    """`suggest`'s loudness and shots keywords from what was kept of the video."""
    if found.signals is None:
        return {}
    return {"loudness": found.signals.loudness, "shots": found.signals.shots}
