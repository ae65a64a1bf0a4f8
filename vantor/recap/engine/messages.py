"""One line for a person about a failure that nothing explained yet: what
went wrong, in the user's terms, and what to do about it."""

from __future__ import annotations

import re
import subprocess
import sys
from urllib.parse import urlsplit

from .failures import Failure, classify, download_detail
from .services_choice import without_paths

__all__ = ["explain"]

# The download service's two reasons that are about what the page holds, not the network.
_NO_VIDEO = re.compile(r"has no video that yt-dlp can download")
_CANNOT_READ = re.compile(r"yt-dlp cannot read this site")
# The download service's refusal of a private address (vantor.services.source_guard).
_PRIVATE = re.compile(r"\bis private\b.*\bpublic addresses only\b")
_ALLOW_PRIVATE = "if the address is on your own network, start vantor serve with --allow-private-sources"
_TTS_FAILED = re.compile(r"^TTS failed for voice (.*): HTTP (\d+)$")
# What the download service said happened on the network, and what to do.
_NETWORK_ADVICE = (
    (re.compile(r"does not resolve"), "check the address for a typo, and that this computer is online"),
    (re.compile(r"refused the connection"), "check the address and its port; if the site is down, try again later"),
    (re.compile(r"connection timed out"), "check the network, then try again later"),
    (re.compile(r"HTTP 403\b"), "the site refuses the download; check that the video is public"),
    (re.compile(r"HTTP 404\b"), "check the address: the site has no page there"),
    (re.compile(r"HTTP 410\b"), "the site removed the video; look for another copy"),
    (re.compile(r"HTTP 429\b"), "the site limits how often it answers; try again later"),
    (re.compile(r"TLS certificate"), "check the address's host, and this computer's clock and certificates"),
)


def _update_ytdlp() -> str:
    """The command that updates yt-dlp where this vantor runs (its own environment's pip)."""
    return f"update yt-dlp: {sys.executable} -m pip install -U 'yt-dlp[default]' deno"


def _what_to_do(failure: Failure) -> str:
    """For a download failure: what the network answer calls for, allow
    private addresses, wait and retry, the video's own page, a newer yt-dlp
    (only for a site it no longer reads), or check the address."""
    if _PRIVATE.search(failure.reason):
        return _ALLOW_PRIVATE
    for said, advice in _NETWORK_ADVICE:
        if said.search(failure.reason):
            return advice
    if failure.transient:
        return "try again later"
    if _NO_VIDEO.search(failure.reason):
        return "give the address of the video's own page (open the video, then copy the address)"
    if _CANNOT_READ.search(failure.reason):
        return f"the site may have changed: {_update_ytdlp()}"
    return "check the address"


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


def _own_words(detail: object, verbose: bool) -> str:
    return f" (yt-dlp said: {detail})" if verbose and detail else ""


def explain(error: BaseException, *, verbose: bool = False) -> str:
    """`verbose`: a download failure adds yt-dlp's own message."""
    from ...services import DownloadError

    name = type(error).__name__
    text = str(error)
    if isinstance(error, DownloadError):
        failure = classify(error)
        return (f"the video could not be downloaded: {text}; {_what_to_do(failure)}"
                f"{_own_words(error.detail, verbose)}")
    if isinstance(error, subprocess.CalledProcessError):
        tool = error.cmd[0] if isinstance(error.cmd, (list, tuple)) and error.cmd else "a tool"
        return f"{tool} failed (exit status {error.returncode}); its own message is above, --debug shows the command"
    if name in ("ConnectionError", "Timeout", "ConnectTimeout", "ReadTimeout") and hasattr(error, "request"):
        return _unreachable(error)
    if type(error) is Exception and text.startswith("Download API error: "):
        failure = classify(error)
        detail = _own_words(download_detail(text.removeprefix("Download API error: ")), verbose)
        network = any(said.search(failure.reason) for said, _ in _NETWORK_ADVICE)
        if failure.transient and failure.known and not network:
            return f"the download service could not take the video now: {failure.reason}; try again later{detail}"
        # An unrecognised refusal counts as transient (batch retries it), but a person checks the address.
        advice = _what_to_do(failure) if network or not failure.transient else "check the address"
        return f"the download service refused the video: {failure.reason}; {advice}{detail}"
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
