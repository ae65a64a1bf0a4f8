"""The download backend that fetches with yt-dlp, used as a library.

Formats are chosen at the tallest picture the site offers within the asked
height (at most 1080 lines), H.264 with AAC first, then VP9 or AV1; every
download is then rewritten by media_format.rewrite into a fresh MP4, the only
file handed on, which copies those pictures and converts only the rest.

Each fetch runs under a `source_guard.Guard`: only allowed addresses are
connected, and a watchdog ends the fetch at its deadline, when no byte has
come for the stall limit, or when the service shuts down. Only yt-dlp's own
downloaders run (plain HTTP, native HLS, DASH segments), all through the
guarded handler: yt-dlp gets no ffmpeg at all, and a format it would hand to
ffmpeg or another program (SAMPLE-AES and other key methods, live streams,
RTMP, ...) is refused as unsupported before its first request. Separate
video and audio downloads are merged by our own rewrite, not by yt-dlp.
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

from .children import Bounds, ChildStopped
from .media_format import MAX_HEIGHT, NotAVideo, check_declared, rewrite

WATCH_SECONDS = 0.2
# What yt-dlp's own downloaders fetch; any other protocol goes to a program.
NATIVE_PROTOCOLS = ("http", "https", "m3u8", "m3u8_native", "http_dash_segments")
FRAGMENTED = ("m3u8", "m3u8_native", "http_dash_segments")
# HLS key methods yt-dlp decrypts itself; any other is handed to ffmpeg.
NATIVE_KEY_METHODS = ("NONE", "AES-128")
MAX_PLAYLIST_BYTES = 4 * 1024 * 1024
# Pictures the rewrite copies, as sites name their codecs (RFC 6381): H.264,
# VP9 profile 0 and AV1 main profile at 8 bits (4:2:0 both); a 10-bit HDR
# picture, which yt-dlp would rank first, is converted whole.
COPIED_CODECS = r"^(avc1|vp0?9($|\.00\.)|av0?1($|\.0\.\d+[MH]\.08))"
_KEY_TAG = re.compile(r"^#EXT-X-(?:SESSION-)?KEY:(.*)$", re.MULTILINE)
_EXTINF = re.compile(r"^#EXTINF:\s*([^,\s]*)", re.MULTILINE)

__all__ = ["Cancelled", "DownloadFailed", "FormatChoice", "Fetched", "TransferProgress", "YtDlpBackend",
           "format_selector"]


class DownloadFailed(Exception):
    """The job's error answer; `detail`: yt-dlp's own message (for -v)."""

    def __init__(self, reason: str, detail: str | None = None) -> None:
        super().__init__(reason)
        self.detail: str | None = detail


class Cancelled(Exception):
    pass


@dataclass(frozen=True)
class TransferProgress:
    fraction: float  # 0..1 of the whole download (all parts)
    downloaded_bytes: int
    total_bytes: int | None
    speed: float | None  # bytes per second
    eta: float | None  # seconds
    stage: str = "downloading"  # then "converting": the rewrite to MP4, `fraction` of it done


@dataclass(frozen=True)
class Fetched:
    path: Path
    title: str | None
    reach: str = "public"  # the kinds of address the fetch reached (source_guard.REACHES)


def format_selector(height: int, tallest: int | None = None) -> str:
    """yt-dlp's format choice for a picture of at most `height` lines (and
    at most MAX_HEIGHT), `tallest` being the tallest the site offers within
    that: at that height, H.264 with AAC where it is offered (one file, or
    the two merged by our rewrite), else a picture our rewrite copies, else
    anything (converted); then any height below; without heights, the best."""
    height = min(height, MAX_HEIGHT)
    at = f"[height={tallest}]" if tallest else f"[height<={height}]"
    h264, copied = f"{at}[vcodec^=avc1]", f"{at}[vcodec~='{COPIED_CODECS}']"
    return "/".join((
        f"b{h264}[acodec^=mp4a]", f"bv*{h264}+ba[acodec^=mp4a]",
        f"b{copied}", f"bv*{copied}+ba",
        f"b{at}", f"bv*{at}+ba",
        f"b[height<={height}]", f"bv*[height<={height}]+ba",
        "b/bv*+ba",  # no height known
    ))


class FormatChoice:
    """yt-dlp's `format` option as a function of the formats a page offers:
    format_selector at the tallest picture within `height`."""

    def __init__(self, height: int) -> None:
        self.height: int = min(height, MAX_HEIGHT)
        self.ydl: Any = None  # the YoutubeDL this choice is an option of, whose selectors it builds

    def __call__(self, ctx: dict[str, Any]) -> Any:
        heights = [f["height"] for f in ctx["formats"]
                   if f.get("vcodec") != "none" and isinstance(f.get("height"), int) and 0 < f["height"] <= self.height]
        return self.ydl.build_format_selector(format_selector(self.height, max(heights, default=None)))(ctx)


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


_STATUS_NAMES = {403: "forbidden", 404: "not found", 410: "gone", 429: "too many requests"}
# A page yt-dlp read whole but found no video in, and a site whose own reader in yt-dlp no longer
# understands its pages (sites change; a newer yt-dlp reads them again).
NO_VIDEO = "unsupported: the page has no video that yt-dlp can download"
CANNOT_READ = "unsupported: yt-dlp cannot read this site's pages any more"
_SITE_CHANGED = re.compile(r"Unable to extract|please report this issue|No video formats found|"
                           r"Requested format is not available|Failed to extract|nsig extraction failed", re.IGNORECASE)


def _public_error(message: str, stall_seconds: float, guard: Any = None) -> str:
    """yt-dlp's reason as one of a few plain answers that never name the
    service's files. What happened on the network (no such name, a refused
    connection, a time-out, the page's HTTP status, a refused certificate) is
    said only for a fetch that touched public addresses alone; for a private
    one a closed port reads like a missing page."""
    text = message.removeprefix("ERROR: ")
    status = re.search(r"HTTP Error (\d{3})", text)
    if status and status.group(1).startswith("5"):
        return f"the video is unavailable for now: the site answered HTTP {status.group(1)}; try again later"
    public = guard is not None and not guard.private_tried
    if public and guard.network_failure is not None:
        return str(guard.network_failure)
    if public and status and int(status.group(1)) in _STATUS_NAMES:
        code = int(status.group(1))
        return f"the page answered HTTP {code} ({_STATUS_NAMES[code]})"
    if public and re.search(r"CERTIFICATE_VERIFY_FAILED|certificate verify failed", text):
        return "the site's TLS certificate was refused"
    if re.search(r"timed? ?out", text, re.IGNORECASE):
        return f"the source stalled: no data for {stall_seconds:g} s"
    if re.search(r"private video|sign in|login|members[- ]only", text, re.IGNORECASE):
        return "the video is private or needs a sign-in"
    if re.search(r"Unsupported URL", text):
        return NO_VIDEO
    if _SITE_CHANGED.search(text):
        return CANNOT_READ
    if re.search(r"incomplete|IncompleteRead|Content-Length|ContentTooShort|bytes read|expected \d+ bytes", text, re.IGNORECASE):
        return "the source closed the connection early"
    return "the video is unavailable at that address"


def _own_words(message: str) -> str:
    """yt-dlp's message for `-v`, without the service's paths."""
    return re.sub(r"(?:/[^\s/:'\"]+)+/?", "…", message.removeprefix("ERROR: ").strip())[:500]


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
        """Downloads `url` into `work_dir` and returns the fresh MP4 made there."""
        from .source_guard import FetchCut, Guard, SourceRefused

        guard = Guard.for_job(self.private_sources, url, self.stall_seconds)
        bounds = Bounds.starting_now(self.deadline, self.stall_seconds, cancelled)
        watching = threading.Event()
        watchdog = threading.Thread(target=self._watch, args=(guard, bounds, watching),
                                    name="vantor-download-watch", daemon=True)
        watchdog.start()
        fetching: list[str] = []  # the protocol of the media being fetched, once the page is read
        try:
            fetched = self._fetch(url, height, work_dir, on_progress, cancelled, guard, fetching)
        except DownloadFailed as failed:
            if guard.refused is not None:  # whatever yt-dlp made of it, a fragment's too
                raise DownloadFailed(guard.refused) from None
            if failed.detail is not None and fetching and fetching[-1] in FRAGMENTED:
                raise DownloadFailed(_fragment_error(failed.detail), _own_words(failed.detail)) from None
            if failed.detail is not None:  # worded now that the guard knows what the fetch touched
                raise DownloadFailed(_public_error(failed.detail, self.stall_seconds, guard),
                                     _own_words(failed.detail)) from None
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
        return dataclasses.replace(self._rewrite(fetched, work_dir, on_progress, bounds), reach=guard.reach)

    def admits(self, url: str, reach: str) -> bool:
        """Whether a cached file of `url` that reached `reach` may be served."""
        from .source_guard import admits

        return admits(self.private_sources, url, reach)

    def _watch(self, guard: Any, bounds: Bounds, done: threading.Event) -> None:
        while not done.wait(WATCH_SECONDS):
            now = time.monotonic()
            if bounds.cancelled is not None and bounds.cancelled.is_set():
                guard.cut("the service is shutting down")
            elif now > bounds.ends:
                guard.cut(f"the download stalled: it took longer than the service's deadline of {self.deadline:g} s")
            elif now - guard.last_activity > self.stall_seconds:
                guard.cut(f"the source stalled: no data for {self.stall_seconds:g} s")

    def _rewrite(self, fetched: _Downloaded, work_dir: str, on_progress: Callable[[TransferProgress], None],
                 bounds: Bounds) -> Fetched:
        """The fetched parts become one fresh MP4; they are deleted either way."""
        target = os.path.join(work_dir, "video.mp4")
        size = sum(os.path.getsize(p) for p in fetched.parts)

        def converting(fraction: float) -> None:
            on_progress(TransferProgress(fraction, size, size, None, None, stage="converting"))

        try:
            converting(0.0)
            rewrite(fetched.parts[0], fetched.parts[1] if len(fetched.parts) > 1 else None, target, bounds,
                    converting, fetched.expected)
        except NotAVideo as error:
            raise DownloadFailed(str(error)) from None
        except ChildStopped as error:
            if error.cancelled:
                raise Cancelled(str(error)) from None
            raise DownloadFailed(str(error)) from None
        finally:
            for part in fetched.parts:
                Path(part).unlink(missing_ok=True)
        return Fetched(Path(target), fetched.title)

    def _fetch(self, url: str, height: int, work_dir: str, on_progress: Callable[[TransferProgress], None],
               cancelled: threading.Event, guard: Any, fetching: list[str]) -> _Downloaded:
        import yt_dlp

        from .source_guard import FetchCut, GuardedYoutubeDL, SourceRefused

        logger = _Logger()
        parts: dict[str, tuple[int, int | None]] = {}  # file -> (downloaded, total)
        count = [1]

        def hook(d: dict[str, Any]) -> None:
            guard.touch()
            if cancelled.is_set():
                raise Cancelled("the service is shutting down")
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason)
            total = d.get("total_bytes") or d.get("total_bytes_estimate")
            done = d.get("downloaded_bytes") or 0
            if d.get("status") == "finished":
                total = total or done
                done = total
            if self.max_file_bytes and (total or done) > self.max_file_bytes:
                raise DownloadFailed(f"unsupported: the video is larger than the service's limit of {self.max_file_bytes} bytes")
            parts[d.get("filename") or "?"] = (done, total)
            fraction = sum(min(1.0, got / size) if size else 0.0 for got, size in parts.values()) / max(count[0], len(parts))
            sizes = [size for _, size in parts.values()]
            on_progress(TransferProgress(
                fraction=fraction,
                downloaded_bytes=sum(got for got, _ in parts.values()),
                total_bytes=sum(s for s in sizes if s) if all(sizes) else None,
                speed=d.get("speed"),
                eta=d.get("eta"),
            ))

        choice = FormatChoice(height)
        options = {
            "format": choice,
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
            "hls_prefer_native": True,
            "fixup": "never",  # nothing of yt-dlp's own edits the file; our rewrite does
            "postprocessors": [],
            "allow_unplayable_formats": False,
            # No ffmpeg for yt-dlp: neither a downloader nor a merger can start one.
            "ffmpeg_location": os.path.join(work_dir, "no-ffmpeg"),
            **fragment_options(),
        }
        if self.max_file_bytes:
            options["max_filesize"] = self.max_file_bytes
        try:
            with GuardedYoutubeDL(options, guard) as ydl:
                choice.ydl = ydl
                # The page and format choice only: no media byte yet.
                info = ydl.extract_info(url, download=False)
                if info is None:
                    raise DownloadFailed("", logger.last_error or "")
                if info.get("_type") == "playlist":
                    entries = [e for e in info.get("entries") or () if e]
                    if not entries:
                        raise DownloadFailed("unsupported: the address is a playlist with no video in it")
                    info = entries[0]
                formats = _native_formats(ydl, info)
                count[0] = len(formats)
                paths, expected = [], []
                for n, single in enumerate(formats):
                    path = os.path.join(work_dir, f"part{n}.media")
                    fetching.append(str(single.get("protocol") or ""))
                    success, _ = ydl.dl(path, single)
                    if not success or not os.path.isfile(path):
                        raise DownloadFailed("", logger.last_error or "")
                    paths.append(path)
                    expected.append(playlist_seconds(single.get("hls_media_playlist_data")))
        except (Cancelled, DownloadFailed, FetchCut, SourceRefused) as error:
            _close_fragment_output(error)
            raise
        except yt_dlp.utils.DownloadError as error:
            _close_fragment_output(error)
            cause = getattr(error, "exc_info", None)
            cause = cause[1] if cause else None
            if isinstance(cause, (Cancelled, DownloadFailed, FetchCut, SourceRefused)):
                raise cause from None
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason) from None
            raise DownloadFailed("", logger.last_error or str(error)) from None
        except Exception as error:  # yt-dlp's extractors raise many kinds
            if guard.cut_reason is not None:
                raise FetchCut(guard.cut_reason) from None
            raise DownloadFailed("", str(error)) from None
        return _Downloaded(paths, info.get("title"), expected)


@dataclass(frozen=True)
class _Downloaded:
    parts: list[str]  # the video first, then a separate audio part if any
    title: str | None
    expected: list[float | None] = dataclasses.field(default_factory=list)  # each part's HLS playlist total


def _close_fragment_output(error: BaseException) -> None:
    """yt-dlp leaves a fragmented download's output file open when a
    fragment's own downloader gives up (an address the guard refused): it is
    closed here, not left to the collector."""
    trace = error.__traceback__
    while trace is not None:
        ctx = trace.tb_frame.f_locals.get("ctx")
        stream = ctx.get("dest_stream") if isinstance(ctx, dict) else None
        if stream is not None and hasattr(stream, "close"):
            stream.close()
        trace = trace.tb_next


def _fragment_error(message: str) -> str:
    status = re.search(r"HTTP Error (\d{3})", message)
    said = f"answered HTTP {status.group(1)}" if status else "could not be fetched"
    return f"a fragment of the video {said}; the download is incomplete and was not kept"


def fragment_options() -> dict[str, Any]:
    """A fragment that cannot be fetched (404, refused by the guard, cut)
    fails the download after a few tries: skipped, it would leave a shorter
    film reported as finished."""
    return {"skip_unavailable_fragments": False, "fragment_retries": 3}


def playlist_seconds(playlist: object) -> float | None:
    """The total of an HLS media playlist's #EXTINF durations (None when it
    is none, or names none)."""
    if not isinstance(playlist, str):
        return None
    total = 0.0
    for found in _EXTINF.finditer(playlist):
        try:
            total += float(found.group(1))
        except ValueError:
            return None
    return total or None


def _native_formats(ydl: Any, info: dict[str, Any]) -> list[dict[str, Any]]:
    """Each chosen format as the info yt-dlp's `dl` takes, video first, once
    it is certain that yt-dlp's own downloader fetches it; otherwise
    DownloadFailed (unsupported) before any of its bytes is asked for."""
    from yt_dlp.downloader import get_suitable_downloader
    from yt_dlp.downloader.dash import DashSegmentsFD
    from yt_dlp.downloader.hls import HlsFD
    from yt_dlp.downloader.http import HttpFD

    if info.get("is_live") or info.get("live_status") in ("is_live", "is_upcoming", "post_live"):
        raise DownloadFailed("unsupported: live streams are not fetched")
    chosen = info.get("requested_formats") or [info]
    formats = []
    for fmt in sorted(chosen, key=lambda f: f.get("vcodec") == "none"):
        single = {key: value for key, value in info.items() if key != "requested_formats"} | fmt
        try:
            check_declared(single.get("width"), single.get("height"), info.get("duration"))
        except NotAVideo as error:
            raise DownloadFailed(str(error)) from None
        protocol = single.get("protocol") or ""
        if protocol not in NATIVE_PROTOCOLS or single.get("has_drm"):
            raise DownloadFailed(f"unsupported: the video is offered only as {protocol or 'an unknown kind of'} "
                                 "stream, which the service does not fetch")
        if protocol.startswith("m3u8"):
            # HLS's downloader gets exactly the playlist checked here (a second
            # fetch could differ).
            single["hls_media_playlist_data"] = check_hls(_read_playlist(ydl, single))
        if get_suitable_downloader(single, ydl.params, to_stdout=False) not in (HttpFD, HlsFD, DashSegmentsFD):
            raise DownloadFailed("unsupported: the video needs a downloader the service does not run")
        formats.append(single)
    return formats


def _read_playlist(ydl: Any, fmt: dict[str, Any]) -> str:
    from yt_dlp.networking import Request

    text = fmt.get("hls_media_playlist_data")
    if isinstance(text, str):
        return text
    with ydl.urlopen(Request(fmt["url"], headers=fmt.get("http_headers") or {})) as answer:
        data: bytes = answer.read(MAX_PLAYLIST_BYTES + 1)
    if len(data) > MAX_PLAYLIST_BYTES:
        raise DownloadFailed(f"unsupported: the HLS playlist is larger than {MAX_PLAYLIST_BYTES} bytes")
    return data.decode("utf-8", "ignore")


def check_hls(playlist: str) -> str:
    """`playlist` when yt-dlp's native HLS downloader fetches all of it; a key
    method it cannot decrypt (SAMPLE-AES, SAMPLE-AES-CTR, DRM) anywhere in it,
    even if a later key says NONE, is unsupported."""
    from yt_dlp.downloader.hls import HlsFD
    from yt_dlp.utils import parse_m3u8_attributes

    for tag in _KEY_TAG.finditer(playlist):
        method = parse_m3u8_attributes(tag.group(1).strip()).get("METHOD", "")
        if method not in NATIVE_KEY_METHODS:
            raise DownloadFailed(f"unsupported: the HLS stream is encrypted with {method[:40] or 'no named method'}, "
                                 "which the service does not decrypt")
    if not HlsFD.can_download(playlist, {"is_live": False}):
        raise DownloadFailed("unsupported: the HLS stream uses features the service does not fetch")
    return playlist
