"""Running the services' application under uvicorn: in a background thread
of this process (`InProcessServer`), or as the whole process (`vantor serve`).
"""

from __future__ import annotations

import logging
import os
import threading
import weakref
from collections.abc import Iterable
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import uvicorn

from starlette.types import ASGIApp

from ..net import listen, url_host

from .app import FILE_ADDRESS_SECONDS, FILE_PATH, FILES_PREFIX, LOOPBACK, Network, SpeechBackend, build_app, \
    finished_file
from .cache import FileCache, private_dir
from .captions import CaptionFetcher
from .download_jobs import DownloadBackend, Job, Jobs
from .gate import TOKEN_PATTERN, Capabilities, new_secret
from .limits import Limits
from .narrator import Narrator
from .speech_queue import SpeechQueue
from .piper_backend import bundled_voice, piper_version
from .voices import VoiceCatalog
from .ytdlp_backend import YtDlpBackend

__all__ = ["HideToken", "InProcessServer", "Services", "TOKEN_PATTERN", "in_process", "new_token", "server_config",
           "stderr_logging"]

# The services this process serves, by their base address: a client here
# reads their cached files in place instead of fetching them.
_serving: weakref.WeakValueDictionary[str, Services] = weakref.WeakValueDictionary()


def in_process(base_url: str) -> Services | None:
    """The services this process serves at `base_url` (its token included), if any."""
    return _serving.get(base_url.rstrip("/"))


def new_token() -> str:
    return new_secret()


def stderr_logging() -> dict[str, Any]:
    """uvicorn's logging with every handler on stderr: its default sends the
    request log to stdout, which belongs to the command's result."""
    from uvicorn.config import LOGGING_CONFIG

    handlers = {name: {**handler, "stream": "ext://sys.stderr"} for name, handler in LOGGING_CONFIG["handlers"].items()}
    return {**LOGGING_CONFIG, "handlers": handlers}


def server_config(app: ASGIApp, **options: Any) -> uvicorn.Config:
    """uvicorn's settings for every server vantor runs. The client is the
    connection's peer: uvicorn by default takes X-Forwarded-For from
    127.0.0.1 and ::1 as the client's address, and any local process can
    send it, so per-client caps and the request log would count invented
    addresses."""
    return uvicorn.Config(app, proxy_headers=False, forwarded_allow_ips=[], **options)


class HideToken(logging.Filter):
    """Writes the token in request log lines as `<token>`: a log is read by
    more people than may use the service."""

    def __init__(self, token: str) -> None:
        super().__init__()
        self.token: str = token

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record.args, tuple):
            record.args = tuple(a.replace(self.token, "<token>") if isinstance(a, str) else a for a in record.args)
        return True


class Services:
    """The application with the job pool and caches behind it.

    `token`: the secret every request's path begins with; None serves
    without one. `private_sources`: "refuse", "direct" or "allow" (see
    source_guard.PRIVATE_SOURCES)."""

    def __init__(self, cache_dir: str | os.PathLike[str], *, limits: Limits | None = None,
                 download_backend: DownloadBackend | None = None, speech_backend: SpeechBackend | None = None,
                 allow: Iterable[Network] = LOOPBACK, voices_dir: str | os.PathLike[str] | None = None,
                 token: str | None = None, private_sources: str = "refuse") -> None:
        self.limits: Limits = limits or Limits()
        self.cache_dir: Path = private_dir(cache_dir)
        self.token: str | None = token
        backend = download_backend or YtDlpBackend(
            max_file_bytes=self.limits.max_file_bytes, stall_seconds=self.limits.stall_seconds,
            deadline=self.limits.job_deadline, private_sources=private_sources)
        self.jobs: Jobs = Jobs(backend, self.cache_dir, self.limits)
        self.speech_cache: FileCache = FileCache(self.cache_dir / "speech", ".mp3", self.limits.cache_bytes)
        if speech_backend is None:
            catalog = None if voices_dir is None else VoiceCatalog(bundled_voice(), voices_dir,
                                                                   neural_runtime=piper_version() is not None)
            speech_backend = Narrator(catalog)
        self.speech: SpeechBackend = speech_backend
        self.speech_queue: SpeechQueue = SpeechQueue(self.limits.max_speech, self.limits.max_speech_per_client,
                                                     self.limits.max_speech_queued)
        self.file_addresses: Capabilities[Job] = Capabilities(FILE_ADDRESS_SECONDS)
        self.app: ASGIApp = build_app(self.jobs, speech_backend, self.speech_cache, self.limits, allow, token,
                                      speech_queue=self.speech_queue,
                                      captions=CaptionFetcher(private_sources=private_sources,
                                                              stall_seconds=self.limits.stall_seconds),
                                      file_addresses=self.file_addresses)

    def local_file(self, address: str) -> Path | None:
        """The cached file that a file address these services handed out
        names, for a client in this process to read in place: nothing is
        fetched and no address goes on a command line. None for any other
        address, or once the address has lapsed."""
        try:
            path = urlsplit(address).path
        except (ValueError, AttributeError):
            return None
        if FILE_PATH.fullmatch(path) is None:
            return None
        return finished_file(self.file_addresses, path[len(FILES_PREFIX):].removesuffix(".mp4"))

    def close(self) -> None:
        self.jobs.close()
        self.speech_queue.close()
        close_speech = getattr(self.speech, "close", None)
        if close_speech is not None:
            close_speech()  # ends the neural voice's child processes


class InProcessServer:
    """uvicorn serving `services.app` in a daemon thread, on 127.0.0.1 unless `host` names another address."""

    def __init__(self, services: Services, host: str = "127.0.0.1", port: int = 0) -> None:
        self.services: Services = services
        self._socket = listen(host, port)
        address = self._socket.getsockname()
        self.host: str = address[0]
        self.port: int = address[1]
        config = server_config(services.app, log_level="warning", log_config=stderr_logging(), access_log=False,
                                lifespan="off",
                                timeout_graceful_shutdown=5)
        self._server = uvicorn.Server(config)
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [self._socket]},
                                        name=f"vantor-services:{self.port}", daemon=True)
        self._thread.start()
        for _ in range(200):  # bounded: 10 s
            if self._server.started or not self._thread.is_alive():
                break
            threading.Event().wait(0.05)
        if not self._server.started:
            self.close()
            raise RuntimeError("the local services did not start")
        _serving[self.base_url] = services

    @property
    def base_url(self) -> str:
        """The address to route to, its token included."""
        token = self.services.token
        return f"http://{url_host(self.host)}:{self.port}" + (f"/{token}" if token else "")

    def close(self) -> None:
        _serving.pop(self.base_url, None)
        self.services.close()  # ends downloads first (waiting requests answer at once), so no request waits on them
        self._server.should_exit = True
        self._thread.join(timeout=15)
        self._socket.close()
