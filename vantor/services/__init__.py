"""The local download and speech services: yt-dlp and espeak-ng behind the
exchanges the engine's clients speak, served by uvicorn on loopback."""

from __future__ import annotations

from .local import DownloadError, LocalServices, Progress, bind, local_services, start_local_services

__all__ = [
    "DownloadError", "LocalServices", "Progress", "bind", "local_services", "placeholder_hosts",
    "start_local_services",
]


def placeholder_hosts() -> bool:
    """True when the build's service hosts are the `.invalid` placeholders,
    so the local services are the only ones a recap can reach."""
    from vantor import _service_settings as settings

    return any(host.split(":")[0].endswith(".invalid")
               for host in (settings.DOWNLOAD_API_HOST, settings.TTS_HOST))
