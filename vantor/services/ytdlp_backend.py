"""The download backend that fetches with yt-dlp, used as a library.

Formats are chosen so the file usually fits the engine as downloaded
(H.264/AAC in MP4, at most 1080 lines); anything else is converted once
afterwards (media_format.conform).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .media_format import MAX_HEIGHT, conform

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


class YtDlpBackend:
    def __init__(self, *, max_file_bytes: int | None = None, socket_timeout: float = 30.0) -> None:
        self.max_file_bytes = max_file_bytes
        self.socket_timeout = socket_timeout

    def fetch(
        self,
        url: str,
        height: int,
        work_dir: str,
        on_progress: Callable[[TransferProgress], None],
        cancelled: threading.Event,
    ) -> Fetched:
        """Downloads `url` into `work_dir` and returns the fitting MP4 there."""
        import yt_dlp

        logger = _Logger()
        parts: dict[str, tuple[int, int | None]] = {}  # file -> (downloaded, total)

        def hook(d: dict[str, Any]) -> None:
            if cancelled.is_set():
                raise Cancelled("the service is shutting down")
            info = d.get("info_dict") or {}
            count = len(info.get("requested_formats") or ()) or 1
            total = d.get("total_bytes") or d.get("total_bytes_estimate")
            done = d.get("downloaded_bytes") or 0
            if d.get("status") == "finished":
                total = total or done
                done = total
            if self.max_file_bytes and (total or done) > self.max_file_bytes:
                raise DownloadFailed(f"the video is larger than the service's limit of {self.max_file_bytes} bytes")
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
            "socket_timeout": self.socket_timeout,
            "js_runtimes": _js_runtimes(),
            "retries": 3,
            "cachedir": False,
            "overwrites": True,
        }
        if self.max_file_bytes:
            options["max_filesize"] = self.max_file_bytes
        try:
            with yt_dlp.YoutubeDL(options) as ydl:
                info = ydl.extract_info(url, download=True)
        except (Cancelled, DownloadFailed):
            raise
        except yt_dlp.utils.DownloadError as error:
            if isinstance(error.exc_info[1] if error.exc_info else None, (Cancelled, DownloadFailed)):
                raise error.exc_info[1] from None
            raise DownloadFailed(logger.last_error or str(error).removeprefix("ERROR: ")) from None
        except Exception as error:  # yt-dlp's extractors raise many kinds
            raise DownloadFailed(f"{type(error).__name__}: {error}") from None
        if info is None:
            raise DownloadFailed(logger.last_error or "yt-dlp found no video at that address")
        if info.get("_type") == "playlist":
            entries = [e for e in info.get("entries") or () if e]
            if not entries:
                raise DownloadFailed("the address is a playlist with no video in it")
            info = entries[0]
        downloaded = _downloaded_file(info, work_dir)
        converted = os.path.join(work_dir, "conformed.mp4")
        return Fetched(Path(converted if conform(downloaded, converted) else downloaded), info.get("title"))


def _downloaded_file(info: dict[str, Any], work_dir: str) -> str:
    for entry in info.get("requested_downloads") or ():
        path = entry.get("filepath")
        if path and os.path.exists(path):
            return str(path)
    candidates = [p for p in Path(work_dir).glob("video.*") if p.is_file() and not p.name.endswith(".part")]
    if not candidates:
        raise DownloadFailed("yt-dlp finished without leaving a file")
    return str(max(candidates, key=lambda p: p.stat().st_size))

