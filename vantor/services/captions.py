"""A video's caption words, for the download service's captions request.

yt-dlp reads the page (no media is fetched) and lists the site's
`subtitles` (written by a person) and `automatic_captions`. One track is
chosen: the language asked for, else the video's, else English, else the
first listed; a person's captions over automatic ones in the same language;
the form with word times over cue-level ones (caption_forms.CAPTION_FORMS).
The file is fetched through the same guard as every download (addresses
judged per connection, so a redirect is judged again; a deadline and a
stall limit) and bounded in size, then read as hostile input within the
same deadline (and a CPU bound); the words keep within the video's length
where the site says it.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from .caption_forms import CAPTION_FORMS, MAX_CAPTION_BYTES, CaptionsMalformed, CaptionWord, parse_captions, \
    within_video
from .ytdlp_backend import WATCH_SECONDS, DownloadFailed, _js_runtimes, _Logger, _own_words, _public_error

__all__ = ["FIXED_SITES", "CaptionFetcher", "CaptionTrack", "CaptionsAnswer", "choose_track", "video_key"]

READ_CHUNK = 64 * 1024
# A page names its languages and its video: such names are cut to these lengths.
MAX_NAME = 35
MAX_KEY = 200
# Listed tracks that are no captions (YouTube lists its live chat among them).
_NOT_CAPTIONS = ("live_chat",)
# Extractors that read any page: their ids are made up from the address.
_GENERIC = ("Generic", "HTML5MediaEmbed")
# Extractors of one fixed site each: an id there names one video, whichever
# of the site's addresses was given. Any other extractor (a platform anyone
# may host, a player embedded in another page) keys its id with the host of
# the address asked for, so a page elsewhere cannot speak for a real video.
FIXED_SITES = ("Youtube", "YoutubeClip", "Vimeo", "Dailymotion", "TwitchVod", "BiliBili", "TikTok", "Twitter",
               "Instagram", "Facebook", "Reddit", "SoundCloud", "TED", "Rumble", "Odysee", "Niconico", "VK")


@dataclass(frozen=True)
class CaptionTrack:
    language: str
    kind: str  # "subtitles" (a person's) or "automatic"
    form: str
    url: str


@dataclass(frozen=True)
class CaptionsAnswer:
    """What the captions request answers: the video's key (the extractor's
    id, None where the generic extractor made one up from the address), its
    length when known, and the words of the chosen track; `words` is None
    when the video has no usable captions, and `reason` says why."""

    video_key: str | None
    duration: float | None
    track: CaptionTrack | None = None
    words: list[CaptionWord] | None = None
    reason: str | None = None
    languages: list[str] = field(default_factory=list)

    def to_json(self) -> dict[str, Any]:
        track = self.track
        return {"success": True, "video_key": self.video_key, "duration": self.duration,
                "language": track.language if track else None, "kind": track.kind if track else None,
                "form": track.form if track else None, "reason": self.reason, "languages": self.languages,
                "words": None if self.words is None else [[w.start, w.end, w.text] for w in self.words]}


def _matches(language: str, wanted: str) -> bool:
    language, wanted = language.lower(), wanted.lower()
    return language == wanted or language.split("-")[0] == wanted.split("-")[0] and "-" not in wanted


def _best_form(entries: object) -> tuple[str, str] | None:
    """(form, url) of the best form an entry list offers over plain HTTP."""
    if not isinstance(entries, list):
        return None
    offered: dict[str, str] = {}
    for entry in entries:
        if not isinstance(entry, dict) or not isinstance(entry.get("url"), str):
            continue
        form = str(entry.get("ext") or "")
        # One plain file: a streamed form (HLS, DASH) would be a playlist, not captions.
        plain = entry.get("protocol") in (None, "http", "https")
        if form in CAPTION_FORMS and plain and entry["url"].lower().startswith(("http://", "https://")):
            offered.setdefault(form, entry["url"])
    return next(((form, offered[form]) for form in CAPTION_FORMS if form in offered), None)


def choose_track(subtitles: object, automatic: object, *, wanted: str | None,
                 video_language: str | None) -> CaptionTrack | None:
    """The track to read (see the module doc), None when no listed one is readable."""
    kinds: list[tuple[str, Mapping[str, object]]] = [
        (kind, listed) for kind, listed in (("subtitles", subtitles), ("automatic", automatic))
        if isinstance(listed, Mapping)]
    order = [w for w in (wanted, video_language, "en") if w]
    for language in order:
        for kind, listed in kinds:
            for name in listed:
                if isinstance(name, str) and name not in _NOT_CAPTIONS and _matches(name, language):
                    if (best := _best_form(listed[name])) is not None:
                        return CaptionTrack(name[:MAX_NAME], kind, *best)
    for kind, listed in kinds:
        for name in listed:
            if isinstance(name, str) and name not in _NOT_CAPTIONS and (best := _best_form(listed[name])):
                return CaptionTrack(name[:MAX_NAME], kind, *best)
    return None


def video_key(info: dict[str, Any], url: str) -> str | None:
    """What names the video across addresses (the transcript store's key):
    the extractor and its id, with the host of `url` unless the extractor
    is of a fixed site and reads `url` itself; None for the generic
    extractor, which makes its id up from the address."""
    from urllib.parse import urlsplit

    extractor, video_id = info.get("extractor_key"), info.get("id")
    if not isinstance(extractor, str) or extractor in _GENERIC or not video_id:
        return None
    if extractor in FIXED_SITES and _claims(extractor, url):
        return f"{extractor}:{video_id}"[:MAX_KEY]
    try:
        host = (urlsplit(url).hostname or "").lower()
    except ValueError:
        return None
    return f"{extractor}@{host}:{video_id}"[:MAX_KEY]


def _claims(extractor: str, url: str) -> bool:
    from yt_dlp.extractor import get_info_extractor

    try:
        return bool(get_info_extractor(extractor).suitable(url))
    except Exception:  # an unknown name: no claim
        return False


class CaptionFetcher:
    """Caption words of one address per call, under the service's address
    rule (`private_sources`), deadline and stall limit."""

    def __init__(self, *, private_sources: str = "refuse", stall_seconds: float = 60.0,
                 deadline: float = 120.0, max_bytes: int = MAX_CAPTION_BYTES) -> None:
        self.private_sources: str = private_sources
        self.stall_seconds: float = stall_seconds
        self.deadline: float = deadline
        self.max_bytes: int = max_bytes

    def captions(self, url: str, language: str | None, cancelled: threading.Event) -> CaptionsAnswer:
        """The answer for `url`; DownloadFailed when the page itself cannot be read."""
        from .source_guard import FetchCut, Guard, SourceRefused

        guard = Guard.for_job(self.private_sources, url, self.stall_seconds)
        ends = time.monotonic() + self.deadline
        done = threading.Event()

        def watch() -> None:
            while not done.wait(WATCH_SECONDS):
                if cancelled.is_set():
                    guard.cut("the service is shutting down")
                elif time.monotonic() > ends:
                    guard.cut(f"the captions took longer than the service's deadline of {self.deadline:g} s")
                elif time.monotonic() - guard.last_activity > self.stall_seconds:
                    guard.cut(f"the source stalled: no data for {self.stall_seconds:g} s")

        watchdog = threading.Thread(target=watch, name="vantor-captions-watch", daemon=True)
        watchdog.start()
        try:
            return self._captions(url, language, guard, ends)
        except DownloadFailed as failed:
            if guard.refused is not None or guard.cut_reason is not None:
                raise DownloadFailed(guard.refused or guard.cut_reason or "") from None
            if failed.detail is not None:
                raise DownloadFailed(_public_error(failed.detail, self.stall_seconds, guard),
                                     _own_words(failed.detail)) from None
            raise
        except (FetchCut, SourceRefused) as error:
            raise DownloadFailed(guard.refused or guard.cut_reason or str(error)) from None
        finally:
            done.set()
            watchdog.join()
            guard.close()

    def _captions(self, url: str, language: str | None, guard: Any, ends: float) -> CaptionsAnswer:
        import yt_dlp

        from .source_guard import GuardedYoutubeDL

        logger = _Logger()
        options = {"quiet": True, "no_warnings": True, "noprogress": True, "logger": logger,
                   "noplaylist": True, "playlist_items": "1",
                   # The watchdog ends a stall first, in the same words wherever it happens.
                   "socket_timeout": 2 * self.stall_seconds,
                   "js_runtimes": _js_runtimes(), "cachedir": False, "proxy": "", "skip_download": True,
                   "ignore_no_formats_error": True}
        try:
            with GuardedYoutubeDL(options, guard) as ydl:
                info = ydl.extract_info(url, download=False)
                if info is None:
                    raise DownloadFailed("", logger.last_error or "")
                if info.get("_type") == "playlist":
                    info = next((e for e in info.get("entries") or () if e), None)
                    if info is None:
                        raise DownloadFailed("unsupported: the address is a playlist with no video in it")
                return self._answer(ydl, info, language, guard, ends, url)
        except (DownloadFailed, yt_dlp.utils.DownloadError) as error:
            if isinstance(error, DownloadFailed):
                raise
            cause = (getattr(error, "exc_info", None) or (None, None))[1]
            if isinstance(cause, DownloadFailed):
                raise cause from None
            raise DownloadFailed("", logger.last_error or str(error)) from None

    def _answer(self, ydl: Any, info: dict[str, Any], language: str | None, guard: Any, ends: float,
                url: str) -> CaptionsAnswer:
        key = video_key(info, url)
        duration = info.get("duration")
        duration = float(duration) if isinstance(duration, (int, float)) and duration > 0 else None
        subtitles, automatic = info.get("subtitles"), info.get("automatic_captions")
        listed = [names for names in (subtitles, automatic) if isinstance(names, dict)]
        languages = sorted({str(n)[:MAX_NAME] for names in listed for n in names if n not in _NOT_CAPTIONS})[:200]
        video_language = info.get("language") if isinstance(info.get("language"), str) else None
        track = choose_track(subtitles, automatic, wanted=language, video_language=video_language)
        if track is None:
            reason = ("the video's captions are in no form the service reads" if languages
                      else "the video has no captions")
            return CaptionsAnswer(key, duration, reason=reason, languages=languages)
        try:
            words = within_video(parse_captions(self._fetch(ydl, track.url, guard), track.form, until=ends), duration)
        except CaptionsMalformed as error:
            return CaptionsAnswer(key, duration, track, reason=f"the site's captions could not be read: {error}",
                                  languages=languages)
        if not words:
            return CaptionsAnswer(key, duration, track, reason="the site's captions have no words", languages=languages)
        return CaptionsAnswer(key, duration, track, words, languages=languages)

    def _fetch(self, ydl: Any, url: str, guard: Any) -> bytes:
        """The caption file, through the guarded handler, at most `max_bytes`."""
        from yt_dlp.networking import Request
        from yt_dlp.networking.exceptions import HTTPError, RequestError

        try:
            response = ydl.urlopen(Request(url))
        except HTTPError as error:
            raise CaptionsMalformed(f"the caption file's address answered HTTP {error.status}") from None
        except RequestError as error:
            if guard.refused is not None or guard.cut_reason is not None:
                raise DownloadFailed(guard.refused or guard.cut_reason or "") from None
            raise CaptionsMalformed(f"the caption file could not be fetched ({type(error).__name__})") from None
        with response:
            declared = response.headers.get("Content-Length", "")
            if declared.isdigit() and int(declared) > self.max_bytes:
                raise CaptionsMalformed(f"the caption file is larger than {self.max_bytes} bytes")
            content = bytearray()
            try:
                while chunk := response.read(READ_CHUNK):
                    guard.touch()
                    content += chunk
                    if len(content) > self.max_bytes:
                        raise CaptionsMalformed(f"the caption file is larger than {self.max_bytes} bytes")
            except (OSError, RequestError):
                pass  # said below: cut short, or ended early
        # A read ended by the watchdog, or a short body, is no caption file.
        if guard.cut_reason is not None or guard.refused is not None:
            raise DownloadFailed(guard.refused or guard.cut_reason or "")
        # A compressed body's length is the compressed one: compared only for a plain body.
        plain = response.headers.get("Content-Encoding", "identity").strip().lower() in ("", "identity")
        if plain and declared.isdigit() and int(declared) != len(content):
            raise CaptionsMalformed(f"the caption file ended after {len(content)} of its {declared} bytes")
        return bytes(content)
