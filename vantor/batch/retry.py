"""Which failures are worth another attempt.

Transient: the network or a service had a bad moment (refused or dropped
connections, time-outs, HTTP 5xx, the download service saying it could not
take the job, wget failing on the network). Deterministic: the same job
would fail the same way again (a bad segments file, ffmpeg rejecting the
input, an HTTP 4xx, a missing program). Anything unrecognised is taken as
deterministic, so a bug is reported at once instead of being run three times.
"""

from __future__ import annotations

import re
import subprocess

import requests

__all__ = ["is_transient", "retry_pause"]

# wget's exit status 4: network failure (connection refused, reset, time-out).
_WGET_NETWORK_FAILURE = 4
_TTS_STATUS = re.compile(r"^TTS failed for voice .*: HTTP (\d+)$", re.DOTALL)
_ENGINE_TRANSIENT_PREFIXES = ("Download API error: ", "Download timed out after")


def _http_status(error: BaseException) -> int | None:
    response = getattr(error, "response", None)
    status = getattr(response, "status_code", None)
    return status if isinstance(status, int) else None


def is_transient(error: BaseException) -> bool:
    if isinstance(error, requests.RequestException):
        if isinstance(error, (requests.ConnectionError, requests.Timeout, requests.exceptions.ChunkedEncodingError)):
            return True
        status = _http_status(error)
        return status is not None and status >= 500
    if isinstance(error, (ConnectionError, TimeoutError)):
        return True
    if isinstance(error, subprocess.CalledProcessError):
        program = error.cmd[0] if isinstance(error.cmd, (list, tuple)) and error.cmd else error.cmd
        return program == "wget" and error.returncode == _WGET_NETWORK_FAILURE
    if type(error) is Exception and error.args and isinstance(error.args[0], str):
        message = error.args[0]
        if message.startswith(_ENGINE_TRANSIENT_PREFIXES):
            return True
        tts = _TTS_STATUS.match(message)
        return tts is not None and int(tts.group(1)) >= 500
    return False


def retry_pause(attempt: int, base: float) -> float:
    """Seconds to wait before attempt `attempt + 1`: doubling from `base`."""
    return base * 2.0 ** (attempt - 1)
