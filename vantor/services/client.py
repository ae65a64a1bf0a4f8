"""The one Python client of the download and speech services: a download
job and its polls up to the finished file's address, and a narration (its
audio, or its word timings). The engine keeps its own C++ client; this one
serves the product (the fit report, the studio, the local services' handle).

Every answer is read as untrusted: an answer that is not the exchange's
JSON is a DownloadError or SpeechError in one line, never a KeyError.
"""

from __future__ import annotations

import base64
import binascii
import os
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote

from .narration_timing import NarrationTiming

__all__ = ["CaptionWords", "DownloadError", "Progress", "ServicesClient", "SpeechError", "fetch_file"]

REQUEST_TIMEOUT = 60
FETCH_CHUNK = 1024 * 1024
# The service reads the page and the caption file within its own deadline (120 s).
CAPTIONS_TIMEOUT = 150


class DownloadError(RuntimeError):
    """The download service's reason why a video could not be fetched;
    `detail`: yt-dlp's own message where the service gave it."""

    def __init__(self, reason: str, detail: object = None) -> None:
        super().__init__(reason)
        self.detail: str | None = str(detail) if detail else None


class SpeechError(RuntimeError):
    """The speech service's reason why a narration could not be spoken.
    `refused`: the service gave its own reason (a service that answers
    without one may just not give word timings, while it still speaks)."""

    def __init__(self, reason: str, *, refused: bool = False) -> None:
        super().__init__(reason)
        self.refused: bool = refused


@dataclass(frozen=True)
class Progress:
    per_mille: int
    downloaded_bytes: int | None
    total_bytes: int | None
    speed: float | None  # bytes per second
    eta: float | None  # seconds
    converting: float | None = None  # the service's rewrite of the download to MP4: the fraction done


@dataclass(frozen=True)
class CaptionWords:
    """The download service's captions answer: `words` (start, end, text)
    is None when the video has none it can read, and `reason` says why."""

    video_key: str | None  # the site's id of the video; None where only the address names it
    duration: float | None
    language: str | None
    kind: str | None  # "subtitles" (a person's) or "automatic"
    words: list[tuple[float, float, str]] | None
    reason: str | None


def _caption_words(value: object) -> list[tuple[float, float, str]] | None:
    if value is None:
        return None
    if not isinstance(value, list):
        raise DownloadError("the download service's captions are not a list of words")
    words = []
    for item in value:
        if not (isinstance(item, list) and len(item) == 3 and isinstance(item[2], str)
                and all(_number(t, float) is not None for t in item[:2])):
            raise DownloadError("the download service's captions are not a list of words")
        words.append((float(item[0]), float(item[1]), item[2]))
    return words


def _text(value: object) -> str | None:
    return value if isinstance(value, str) else None


def _json(answer: Any, error: type[RuntimeError], service: str) -> dict[str, Any]:
    try:
        body = answer.json()
    except ValueError:
        body = None
    if not isinstance(body, dict):
        raise error(f"the {service} service answered HTTP {answer.status_code} without its JSON")
    return body


class ServicesClient:
    """The services at `base_url` (a `vantor serve`'s address, its token included)."""

    def __init__(self, base_url: str) -> None:
        self.base_url: str = base_url.rstrip("/")

    def download(self, url: str, *, on_progress: Callable[[Progress], None] | None = None,
                 stopped: Callable[[], bool] = lambda: False, poll_seconds: float = 0.5) -> str | None:
        """Asks for the video at `url` and polls its job, with no time limit,
        until the file is finished: returns the file's address (None once
        `stopped()` says so)."""
        import requests

        answer = _json(requests.get(f"{self.base_url}/ajax/download.php?format=1080&url={quote(url, safe='')}",
                                    timeout=REQUEST_TIMEOUT), DownloadError, "download")
        if not answer.get("success") or not isinstance(answer.get("progress_url"), str):
            raise DownloadError(str(answer.get("error") or "the download service refused the video"),
                                answer.get("detail"))
        while not stopped():
            status = _json(requests.get(answer["progress_url"], timeout=REQUEST_TIMEOUT), DownloadError, "download")
            if not status.get("success"):
                raise DownloadError(str(status.get("error") or "the download failed"), status.get("detail"))
            progress = Progress(_number(status.get("progress"), int) or 0, _number(status.get("downloaded_bytes"), int),
                                _number(status.get("total_bytes"), int), _number(status.get("speed"), float),
                                _number(status.get("eta"), float),
                                _number(status.get("converted"), float) if status.get("state") == "converting" else None)
            if on_progress is not None:
                on_progress(progress)
            if progress.per_mille >= 1000 and isinstance(status.get("download_url"), str):
                return str(status["download_url"])
            time.sleep(poll_seconds)
        return None

    def captions(self, url: str, language: str | None = None) -> CaptionWords:
        """The words of the site's captions for `url` (the page is read, no
        media fetched); DownloadError when the page cannot be read."""
        import requests

        query = f"url={quote(url, safe='')}" + (f"&lang={quote(language, safe='')}" if language else "")
        answer = _json(requests.get(f"{self.base_url}/api/captions?{query}", timeout=CAPTIONS_TIMEOUT),
                       DownloadError, "download")
        if not answer.get("success"):
            raise DownloadError(str(answer.get("error") or "the download service could not read the page"),
                                answer.get("detail"))
        return CaptionWords(_text(answer.get("video_key")), _number(answer.get("duration"), float),
                            _text(answer.get("language")), _text(answer.get("kind")),
                            _caption_words(answer.get("words")), _text(answer.get("reason")))

    def _speak(self, text: str, voice: str, *, timing: bool = False) -> tuple[int, dict[str, Any]]:
        import requests

        asked: dict[str, Any] = {"text": text, "voice": voice, **({"timing": True} if timing else {})}
        answer = requests.post(f"{self.base_url}/api/generate-audio-frontend", json=asked, timeout=REQUEST_TIMEOUT)
        try:
            body = answer.json()
        except ValueError:
            body = None
        return answer.status_code, body if isinstance(body, dict) else {}

    def narration_audio(self, text: str, voice: str) -> bytes:
        """The narration's MP3."""
        status, body = self._speak(text, voice)
        data = body.get("audio_data")
        if status != 200 or not isinstance(data, str) or "," not in data:
            raise SpeechError(str(body.get("error") or f"the speech service answered HTTP {status} "
                                  "without the narration's audio"))
        try:
            return base64.b64decode(data.partition(",")[2], validate=True)
        except binascii.Error:
            raise SpeechError("the speech service's audio is not base64") from None

    def narration_timing(self, text: str, voice: str) -> NarrationTiming:
        """How long the narration lasts and when each word is spoken. The
        service keeps the audio too, so a later request for it (the engine's,
        the page's) is answered from its cache."""
        status, body = self._speak(text, voice, timing=True)
        if status != 200 or not isinstance(body.get("timing"), dict):
            reason = body.get("error")
            raise SpeechError(str(reason or f"the speech service answered HTTP {status} without the narration's "
                                  "timing"), refused=isinstance(reason, str) and bool(reason))
        return NarrationTiming.from_json(body["timing"])


def fetch_file(address: str, target: str | os.PathLike[str], stopped: Callable[[], bool] = lambda: False) -> bool:
    """The services' finished file at `address` written whole to `target`
    (0600), read in this process: the address is a capability, so no command
    line carries it. False once `stopped()` says so; DownloadError when the
    service refuses it or the file comes short of its announced size."""
    import requests

    with requests.get(address, stream=True, timeout=REQUEST_TIMEOUT) as answer:
        if answer.status_code != 200:
            raise DownloadError(f"the download service answered HTTP {answer.status_code} for the video's file; "
                                "try again")
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        with os.fdopen(fd, "wb") as out:
            for chunk in answer.iter_content(FETCH_CHUNK):
                if stopped():
                    return False
                out.write(chunk)
        announced = answer.headers.get("Content-Length", "")
    size = os.path.getsize(target)
    if size == 0 or (announced.isdigit() and int(announced) != size):
        raise DownloadError("the video's file came back incomplete from the download service; try again")
    return True


def _number(value: object, kind: type[int] | type[float]) -> Any:
    # A count in JSON may come as a float; a bool or text is no number.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return kind(value)
