"""The one reading of a failed run: was it a bad moment of the network or a
service (transient: worth another attempt), or would the same run fail the
same way again (permanent)?

Transient: a 5xx or 429 answer from the video site or from a service, the
download service being busy ("... downloads are running ...; try again
later"), a stalled download, refused, reset or timed-out connections, wget
failing on the network. Permanent: the download service's "unavailable",
"private" and "unsupported" reasons, a name that does not resolve, a refused
TLS certificate, any other 4xx, bad segments, ffmpeg
rejecting its input, a missing program. A refusal of the engine's download
service that gives no recognised reason counts as transient; anything else
unrecognised (the local services' own reasons included) as permanent, so a bug is reported at once instead of being run
three times. `vantor.recap.engine.messages` words failures and `vantor.batch` retries
them by this reading.
"""

from __future__ import annotations

import ast
import re
import subprocess
from dataclasses import dataclass

__all__ = ["Failure", "classify", "download_detail", "download_reason", "is_transient"]

TRANSIENT, PERMANENT = "transient", "permanent"

# wget's exit status 4: network failure (connection refused, reset, time-out).
_WGET_NETWORK_FAILURE = 4
_DOWNLOAD_REFUSED = "Download API error: "
_DOWNLOAD_STALLED = "Download timed out"
_TTS_FAILED = re.compile(r"^TTS failed for voice (.*): HTTP (\d+)$", re.DOTALL)
_HTTP_STATUS = re.compile(r"\bHTTP(?: Error)? (\d{3})\b")
_BUSY_OR_STALLED = re.compile(r"try again later|downloads are running|\bbusy\b|stall|timed out|time-out|"
                              r"connection (?:was )?reset|reset by peer|refused the connection|temporarily",
                              re.IGNORECASE)
_GONE_FOR_GOOD = re.compile(r"unavailable|private|unsupported|does not resolve|certificate", re.IGNORECASE)


@dataclass(frozen=True)
class Failure:
    kind: str  # TRANSIENT or PERMANENT
    source: str  # "download", "speech", "network", "tool", "other"
    reason: str  # in the failing party's words
    status: int | None = None  # the HTTP status, where one was answered
    known: bool = True  # False: no rule matched, `kind` is the default for the source

    @property
    def transient(self) -> bool:
        return self.kind == TRANSIENT


def _by_status(status: int) -> str:
    return TRANSIENT if status >= 500 or status == 429 else PERMANENT


def download_reason(detail: str) -> str:
    """The engine's "Download API error: {answer}" carries the service's
    answer as a Python literal; its "error" member is the reason."""
    try:
        answer = ast.literal_eval(detail)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        answer = None
    reason = answer.get("error") if isinstance(answer, dict) else None
    return str(reason) if reason else detail


def download_detail(detail: str) -> str | None:
    """yt-dlp's own message in the same answer ("detail"), where given."""
    try:
        answer = ast.literal_eval(detail)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return None
    said = answer.get("detail") if isinstance(answer, dict) else None
    return str(said) if said else None


def _download_failure(reason: str, *, unknown: str = TRANSIENT) -> Failure:
    """The download service's or the site's reason, read in this order: an
    HTTP status in it, then busy or stalled, then gone for good."""
    if status := _HTTP_STATUS.search(reason):
        code = int(status.group(1))
        return Failure(_by_status(code), "download", reason, code)
    if _BUSY_OR_STALLED.search(reason):
        return Failure(TRANSIENT, "download", reason)
    if _GONE_FOR_GOOD.search(reason):
        return Failure(PERMANENT, "download", reason)
    return Failure(unknown, "download", reason, known=False)


def _http_status(error: BaseException) -> int | None:
    status = getattr(getattr(error, "response", None), "status_code", None)
    return status if isinstance(status, int) else None


def classify(error: BaseException) -> Failure:
    import requests

    from ...services import DownloadError

    text = str(error)
    if isinstance(error, DownloadError):  # the local services' own reason (yt-dlp's)
        return _download_failure(text, unknown=PERMANENT)
    if isinstance(error, requests.RequestException):
        if isinstance(error, (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError)):
            return Failure(TRANSIENT, "network", text)
        status = _http_status(error)
        return Failure(_by_status(status) if status is not None else PERMANENT, "network", text, status)
    if isinstance(error, (ConnectionError, TimeoutError)):
        return Failure(TRANSIENT, "network", text)
    if isinstance(error, subprocess.CalledProcessError):
        program = error.cmd[0] if isinstance(error.cmd, (list, tuple)) and error.cmd else error.cmd
        network = program == "wget" and error.returncode == _WGET_NETWORK_FAILURE
        return Failure(TRANSIENT if network else PERMANENT, "tool", text)
    if type(error) is Exception and error.args and isinstance(error.args[0], str):
        if text.startswith(_DOWNLOAD_REFUSED):
            return _download_failure(download_reason(text.removeprefix(_DOWNLOAD_REFUSED)))
        if text.startswith(_DOWNLOAD_STALLED):
            return Failure(TRANSIENT, "download", text)
        if tts := _TTS_FAILED.match(text):
            code = int(tts.group(2))
            return Failure(_by_status(code), "speech", text, code)
    return Failure(PERMANENT, "other", text, known=False)


def is_transient(error: BaseException) -> bool:
    return classify(error).transient
