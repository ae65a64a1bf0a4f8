"""The download backend that fetches with yt-dlp, used as a library.

Formats are chosen so the file usually fits the engine as downloaded
(H.264/AAC in MP4, at most 1080 lines); anything else is converted once
afterwards (media_format.conform).

Each fetch runs under a `source_guard.Guard`: only allowed addresses are
connected, and a watchdog ends the fetch at its deadline, when no byte has
come for the stall limit, or when the service shuts down. yt-dlp runs ffmpeg
only to merge separate video and audio downloads, with the input format
whitelist; everything else ffmpeg does to a download is ours.
"""

from __future__ import annotations

import dataclasses
import os
import re
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .media_format import CONTAINERS, MAX_HEIGHT, NotAVideo, check_complete, conform

WATCH_SECONDS = 0.2

__all__ = ["Cancelled", "DownloadFailed", "Fetched", "TransferProgress", "YtDlpBackend", "format_selector"]


class DownloadFailed(Exception):
    """yt-dlp's own reason, for the job's error answer."""


class Cancelled(Exception):
    pass


@dataclass(frozen=True)
class TransferProgress:
    fraction: float  # 0..1 of the whole download (all parts)
    downloaded_bytes: int
    total_bytes: int | None
    speed: float | None  # bytes per second
    eta: float | None  # seconds


@dataclass(frozen=True)
class Fetched:
    path: Path
    title: str | None
    reach: str = "public"  # the kinds of address the fetch reached (source_guard.REACHES)


def format_selector(height: int) -> str:
    height = min(height, MAX_HEIGHT)
    fits_v = f"[height<={height}][vcodec^=avc1]"
    return "/".join((
        f"b{fits_v}[acodec^=mp4a][ext=mp4]",  # one file that already fits
        f"bv*{fits_v}[ext=mp4]+ba[acodec^=mp4a]",  # H.264 + AAC, merged into MP4
        f"b[height<={height}]",  # anything up to the height; converted afterwards
        f"bv*[height<={height}]+ba",
        "b/bv*+ba",  # no height known
    ))


class _Logger:
    """Keeps yt-dlp's last error for the job's answer instead of printing it."""

    def __init__(self) -> None:
        self.last_error: str | None = None

    def debug(self, message: str) -> None:
        pass

    def info(self, message: str) -> None:
        pass

    def warning(self, message: str) -> None:
        pass

    def error(self, message: str) -> None:
        self.last_error = message.removeprefix("ERROR: ").strip()


def _js_runtimes() -> dict[str, dict[str, str]]:
    # YouTube's challenges need a JavaScript runtime; the deno package ships one.
    try:
        import deno

        return {"deno": {"path": deno.find_deno_bin()}}
    except (ImportError, FileNotFoundError, RuntimeError):
        return {"deno": {}}  # yt-dlp looks on PATH itself


def _public_error(message: str, stall_seconds: float) -> str:
    """yt-dlp's reason as one of a few plain answers: it never names the
    service's files, and a closed port reads like a missing page."""
    text = message.removeprefix("ERROR: ")
    status = re.search(r"HTTP Error (\d{3})", text)
    if status and status.group(1).startswith("5"):
        return f"the video is unavailable for now: the site answered HTTP {status.group(1)}; try again later"
    if re.search(r"timed? ?out", text, re.IGNORECASE):
        return f"the source stalled: no data for {stall_seconds:g} s"
    if re.search(r"Unsupported URL|no video formats|Requested format is not available", text, re.IGNORECASE):
        return "unsupported: no video found at that address"
    if re.search(r"private video|sign in|login|members[- ]only", text, re.IGNORECASE):
        return "the video is private or needs a sign-in"
    if re.search(r"incomplete|IncompleteRead|Content-Length|ContentTooShort|bytes read|expected \d+ bytes", text, re.IGNORECASE):
        return "the source closed the connection early"
    return "the video is unavailable at that address"


class YtDlpBackend:
    def __init__(self, *, max_file_bytes: int | None = None, stall_seconds: float = 60.0,
                 deadline: float = 3600.0, private_sources: str = "refuse") -> None:
        self.max_file_bytes = max_file_bytes
        self.stall_seconds = stall_seconds
        self.deadline = deadline
        self.private_sources = private_sources

    def fetch(
        self,
        url: str,
        height: int,
        work_dir: str,
        on_progress: Callable[[TransferProgress], None],
        cancelled: threading.Event,
    ) -> Fetched:
        """Downloads `url` into `work_dir` and returns the fitting MP4 there."""
        from .source_guard import FetchCut, Guard, SourceRefused

        guard = Guard.for_job(self.private_sources, url, self.stall_seconds)
        watching = threading.Event()
        watchdog = threading.Thread(target=self._watch, args=(guard, cancelled, watching),
                                    name="vantor-download-watch", daemon=True)
        watchdog.start()
        try:
            fetched = self._fetch(url, height, work_dir, on_progress, cancelled, guard)
            return dataclasses.replace(fetched, reach=guard.reach)
        except DownloadFailed:
            if guard.refused is not None:  # whatever yt-dlp made of it
                raise DownloadFailed(guard.refused) from None
            raise
        except (FetchCut, Cancelled) as error:
            if cancelled.is_set():
                raise Cancelled("the service is shutting down") from None
            raise DownloadFailed(guard.cut_reason or str(error)) from None
        except SourceRefused as error:
            raise DownloadFailed(str(error)) from None
        finally:
            watching.set()
            watchdog.join()
            guard.close()

    def admits(self, url: str, reach: str) -> bool:
        """Whether a cached file of `url` that reached `reach` may be served."""
        from .source_guard import admits

        return admits(self.private_sources, url, reach)

    def _watch(self, guard: Any, cancelled: threading.Event, done: threading.Event) -> None:
        ends = time.monotonic() + self.deadline
        while not done.wait(WATCH_SECONDS):
            now = time.monotonic()
            if cancelled.is_set():
                guard.cut("the service is shutting down")
            elif now > ends:
                guard.cut(f"the download stalled: it took longer than the service's deadline of {self.deadline:g} s")
            elif now - guard.last_activity > self.stall_seconds:
                guard.cut(f"the source stalled: no data for {self.stall_seconds:g} s")

    def _fetch(self, url: str, height: int, work_dir: str, on_progress: Callable[[TransferProgress], None],
               cancelled: threading.Event, guard: Any) -> Fetched:
        import yt_dlp

        from .source_guard import FetchCut, GuardedYoutubeDL, SourceRefused

        logger = _Logger()
        parts: dict[str, tuple[int, int | None]] = {}  # file -> (downloaded, total)

        def hook(d: dict[str, Any]) -> None:
            guard.touch()
            if cancelled.is_set():
                raise Cancelled("the service is shutting down")
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason)
            info = d.get("info_dict") or {}
            count = len(info.get("requested_formats") or ()) or 1
            total = d.get("total_bytes") or d.get("total_bytes_estimate")
            done = d.get("downloaded_bytes") or 0
            if d.get("status") == "finished":
                total = total or done
                done = total
            if self.max_file_bytes and (total or done) > self.max_file_bytes:
                raise DownloadFailed(f"unsupported: the video is larger than the service's limit of {self.max_file_bytes} bytes")
            parts[d.get("filename") or "?"] = (done, total)
            fraction = sum(min(1.0, got / size) if size else 0.0 for got, size in parts.values()) / max(count, len(parts))
            sizes = [size for _, size in parts.values()]
            on_progress(TransferProgress(
                fraction=fraction,
                downloaded_bytes=sum(got for got, _ in parts.values()),
                total_bytes=sum(s for s in sizes if s) if all(sizes) else None,
                speed=d.get("speed"),
                eta=d.get("eta"),
            ))

        def no_live(info: dict[str, Any], *, incomplete: bool = False) -> str | None:
            # A live stream never ends, and yt-dlp would hand it to ffmpeg's own HTTP.
            return "unsupported: live streams are not fetched" if info.get("is_live") else None

        whitelist = ",".join(CONTAINERS)
        options = {
            "format": format_selector(height),
            "merge_output_format": "mp4",
            "outtmpl": {"default": os.path.join(work_dir, "video.%(ext)s")},
            "paths": {"home": work_dir, "temp": work_dir},
            "noplaylist": True,
            "playlist_items": "1",
            "quiet": True,
            "no_warnings": True,
            "noprogress": True,
            "logger": logger,
            "progress_hooks": [hook],
            "socket_timeout": self.stall_seconds,
            "js_runtimes": _js_runtimes(),
            "retries": 3,
            "cachedir": False,
            "overwrites": True,
            "proxy": "",  # direct connections only: each one is checked
            "external_downloader": {"default": "native"},  # every byte through the guarded handler
            "match_filter": no_live,
            "fixup": "never",  # the conversion afterwards makes the file fit
            "postprocessor_args": {"merger+ffmpeg_i": ["-format_whitelist", whitelist, "-protocol_whitelist", "file"]},
        }
        if self.max_file_bytes:
            options["max_filesize"] = self.max_file_bytes
        try:
            with GuardedYoutubeDL(options, guard) as ydl:
                info = ydl.extract_info(url, download=True)
        except (Cancelled, DownloadFailed, FetchCut, SourceRefused):
            raise
        except yt_dlp.utils.DownloadError as error:
            cause = getattr(error, "exc_info", None)
            cause = cause[1] if cause else None
            if isinstance(cause, (Cancelled, DownloadFailed, FetchCut, SourceRefused)):
                raise cause from None
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason) from None
            raise DownloadFailed(_public_error(logger.last_error or str(error), self.stall_seconds)) from None
        except Exception as error:  # yt-dlp's extractors raise many kinds
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason) from None
            raise DownloadFailed(_public_error(str(error), self.stall_seconds)) from None
        if info is None:
            raise DownloadFailed(_public_error(logger.last_error or "", self.stall_seconds))
        if info.get("_type") == "playlist":
            entries = [e for e in info.get("entries") or () if e]
            if not entries:
                raise DownloadFailed("unsupported: the address is a playlist with no video in it")
            info = entries[0]
        downloaded = _downloaded_file(info, work_dir)
        converted = os.path.join(work_dir, "conformed.mp4")
        try:
            check_complete(downloaded)
            made = conform(downloaded, converted, cancelled)
        except NotAVideo as error:
            raise DownloadFailed(str(error)) from None
        return Fetched(Path(converted if made else downloaded), info.get("title"))


def _downloaded_file(info: dict[str, Any], work_dir: str) -> str:
    for entry in info.get("requested_downloads") or ():
        path = entry.get("filepath")
        if path and os.path.exists(path):
            return str(path)
    candidates = [p for p in Path(work_dir).glob("video.*") if p.is_file() and not p.name.endswith(".part")]
    if not candidates:
        raise DownloadFailed("unavailable: the source sent no file")
    return str(max(candidates, key=lambda p: p.stat().st_size))

