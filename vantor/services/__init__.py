"""The local download and speech services: yt-dlp, and the neural voice
(piper) or espeak-ng, behind the exchanges the engine's clients speak, served
by uvicorn on loopback."""

from __future__ import annotations

from .client import DownloadError, Progress, ServicesClient, SpeechError
from .local import LocalServices, bind, local_services, speak_with_timing, start_local_services
from .narration_timing import NarrationTiming, WordTiming

__all__ = [
    "DownloadError", "LocalServices", "NarrationTiming", "Progress", "ServicesClient", "SpeechError", "WordTiming", "bind",
    "local_services", "placeholder_hosts", "speak_with_timing", "start_local_services",
]


def placeholder_hosts() -> bool:
    """True when the build's service hosts are the `.invalid` placeholders,
    so the local services are the only ones a recap can reach."""
    from vantor import _service_settings as settings

    return any(host.split(":")[0].endswith(".invalid")
               for host in (settings.DOWNLOAD_API_HOST, settings.TTS_HOST))
