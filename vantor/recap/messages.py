"""One line for a person about a failure that nothing explained yet: what
went wrong, in the user's terms, and what to do about it."""

from __future__ import annotations

import re
import subprocess
from urllib.parse import urlsplit

from .failures import Failure, classify
from .services_choice import without_paths

__all__ = ["explain"]

_UPDATE_YTDLP = "if it plays in a browser, update yt-dlp: pip install -U 'yt-dlp[default]'"
# The download service's refusal of a private address (vantor.services.source_guard).
_PRIVATE = re.compile(r"\bis private\b.*\bpublic addresses only\b")
_ALLOW_PRIVATE = "if the address is on your own network, start vantor serve with --allow-private-sources"
_TTS_FAILED = re.compile(r"^TTS failed for voice (.*): HTTP (\d+)$")


def _what_to_do(failure: Failure) -> str:
    """For a download failure: wait and retry, allow private addresses, or
    check the address."""
    if _PRIVATE.search(failure.reason):
        return _ALLOW_PRIVATE
    if failure.transient:
        return "try again later"
    return f"check the address ({_UPDATE_YTDLP})"


def _unreachable(error: BaseException) -> str:
    request = getattr(error, "request", None)
    url = str(getattr(request, "url", "") or "")
    try:
        parts = urlsplit(url)
        host, port = parts.hostname or "a service", parts.port
    except ValueError:
        host, port = "a service", None
    if host.endswith(".invalid"):
        return (f"{host} is a placeholder host of this build; use the local services (--services local) "
                "or build with real service hosts")
    waited = "did not answer in time" if type(error).__name__.endswith("Timeout") else "cannot be reached"
    where = f"{host}:{port}" if port is not None else host
    return f"{where} {waited}; check the network, or that the service (vantor serve) is running there"


def explain(error: BaseException) -> str:
    from ..services import DownloadError

    name = type(error).__name__
    text = str(error)
    if isinstance(error, DownloadError):
        failure = classify(error)
        return f"the video could not be downloaded: {text}; {_what_to_do(failure)}"
    if isinstance(error, subprocess.CalledProcessError):
        tool = error.cmd[0] if isinstance(error.cmd, (list, tuple)) and error.cmd else "a tool"
        return f"{tool} failed (exit status {error.returncode}); its own message is above, --debug shows the command"
    if name in ("ConnectionError", "Timeout", "ConnectTimeout", "ReadTimeout") and hasattr(error, "request"):
        return _unreachable(error)
    if type(error) is Exception and text.startswith("Download API error: "):
        failure = classify(error)
        if failure.transient and failure.known:
            return f"the download service could not take the video now: {failure.reason}; try again later"
        advice = _ALLOW_PRIVATE if _PRIVATE.search(failure.reason) else f"check the address ({_UPDATE_YTDLP})"
        return f"the download service refused the video: {failure.reason}; {advice}"
    if type(error) is Exception and text.startswith("Download timed out"):
        return ("the download service did not finish the video within 3 minutes; try again (a finished "
                "download is kept), or use the local services (--services local), which wait for it")
    if type(error) is Exception and (tts := _TTS_FAILED.match(text)):
        voice, status = tts.groups()
        if status == "400":
            return f"the speech service refused the voice {voice}; choose another --voice (vantor voices)"
        return f"the speech service failed for the voice {voice} (HTTP {status}); try again later"
    if isinstance(error, OSError) and error.strerror and error.filename:
        return f"{error.filename}: {error.strerror.lower()}"
    if type(error).__module__.startswith(("requests", "urllib3")):
        text = without_paths(text)
    return f"{name}: {text} (--debug shows where)"
