"""The two services as one ASGI application.

Download (the engine's download client speaks this):
    GET  /ajax/download.php?format=1080&url=<address>
         {"success": true, "id": ID, "progress_url": "<absolute>/progress/ID"}
         or {"success": false, "error": "<yt-dlp's reason>"}
    GET  /progress/ID
         {"success": true, "progress": 0..1000[, "download_url": "<origin>/files/CAPABILITY.mp4"]}
         plus downloaded_bytes, total_bytes, speed, eta, state for richer clients;
         a failed job: {"success": false, "progress": 0, "error": ...}
    GET  /files/CAPABILITY.mp4   the finished job's file (Range honoured)
    GET  /api/captions?url=<address>[&lang=LANGUAGE]
         {"success": true, "video_key", "duration", "language", "kind", "form",
          "words": [[start, end, text], ...] or null, "reason": why null}
         or {"success": false, "error": ...}: the page itself could not be read
Speech (the engine's speech client speaks this):
    POST /api/generate-audio-frontend  {"text", "voice"}
         200 {"audio_data": "data:audio/mpeg;base64,...", "backend": "piper" | "espeak-ng"}
             and the header X-Vantor-Speech-Backend (the engine reads only audio_data)
         400 empty text / unknown voice / not JSON, 413 too long, 503 busy: the
         client's share of the speech queue, or the whole queue, is taken
         With "timing": true the answer also has "timing": {"duration",
         "backend", "words": [{"word", "start", "end"}, ...]}, cached like the audio.

Addresses handed out are built from the address the client reached, so a
service on another machine hands out addresses its clients can fetch.

Every path begins with the service's token (`/<token>/ajax/...`), or the
request carries it in the X-Vantor-Token header; the progress address handed
out carries it as the job request did. The file address does not: it holds a
random capability for that one job's file (see gate.Capabilities), good for
FILE_ADDRESS_SECONDS from the poll that handed it out, however it is used,
because a client may put it where other local users read it (the engine's
`wget` command line, when a host runs it as is). A request without
either is answered 404 like any unknown path. A busy service answers job
requests 503; malformed requests get 400.

A client is the connection's peer address (no forwarded header is read).
Narrations are spoken on the speech queue's own threads, in turn per client
(speech_queue), so file and progress answers never wait behind them.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import ipaddress
import json
import re
from collections import Counter
from collections.abc import Iterable
from pathlib import Path
from typing import Any, Protocol

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from .cache import FileCache, is_disk_full
from .captions import CaptionFetcher
from .download_jobs import Job, JobRefused, Jobs
from .espeak_backend import SpeechFailed
from .gate import TOKEN_HEADER, Capabilities, header, path_after_secret, same_secret
from .limits import Limits
from .narration_timing import NarrationTiming, measure_timing
from .narrator import BACKEND_NAMES
from .speech_bounds import unreadable
from .speech_queue import Busy, SpeechQueue
from .voices import Voice
from .ytdlp_backend import DownloadFailed

__all__ = ["BACKEND_HEADER", "FILE_ADDRESS_SECONDS", "FILE_PATH", "LOOPBACK", "TOKEN_HEADER", "ClientAllowList",
           "SpeechBackend", "TokenGate", "build_app", "finished_file"]

Network = ipaddress.IPv4Network | ipaddress.IPv6Network
LOOPBACK: tuple[Network, ...] = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))
DEFAULT_HEIGHT = 1080
BACKEND_HEADER = "X-Vantor-Speech-Backend"
# Part of every narration's cache key: changes when the service's audio does
# (v2: loudness-normalised, neural voice), so older entries are not served.
NARRATION_FORMAT = "v2"
MAX_FORMAT_DIGITS = 5
FILES_PREFIX = "/files/"
# What passes the token gate without the token: a file address, to be checked by its capability.
FILE_PATH = re.compile(r"/files/[A-Za-z0-9_-]{1,128}\.mp4")
# A file address is good for this long after the poll that handed it out,
# used or not (wget's retries within it; a client that needs the file later
# polls the finished job again for a fresh address).
FILE_ADDRESS_SECONDS = 600.0
# Every refusal of an unknown path, token or capability: nothing tells them apart.
NOT_FOUND: JSONResponse = JSONResponse({"success": False, "error": "not found"}, 404)
ANSWER_POLL_SECONDS = 0.05


class ClientAllowList:
    """ASGI middleware: only clients in `networks` are served; others get 403.
    The download service fetches any address for its callers, so it must not
    serve the whole network."""

    def __init__(self, app: ASGIApp, networks: Iterable[Network]) -> None:
        self.app: ASGIApp = app
        self.networks: tuple[Network, ...] = tuple(networks)

    def allowed(self, host: str | None) -> bool:
        try:
            address = ipaddress.ip_address(host or "")
        except ValueError:
            return False
        if address.version == 6 and address.ipv4_mapped:
            address = address.ipv4_mapped
        return any(address in network for network in self.networks)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and not self.allowed((scope.get("client") or (None,))[0]):
            response = JSONResponse({"success": False, "error": "this client's address is not allowed"}, 403)
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)


class TokenGate:
    """ASGI middleware: serves only requests whose path begins with
    `/<token>` (or that carry it in the X-Vantor-Token header). The token
    becomes the root path, so the addresses the app hands out carry it.
    File addresses pass without it: the app checks their capability.
    Anything else is the same bare 404, whatever its path."""

    def __init__(self, app: ASGIApp, token: str) -> None:
        self.app: ASGIApp = app
        self._token: str = token

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        path: str = scope["path"]
        rest = path_after_secret(path, self._token)
        if rest is not None and rest.startswith("/"):
            await self.app({**scope, "root_path": scope.get("root_path", "") + "/" + self._token}, receive, send)
            return
        file_request = scope["method"] in ("GET", "HEAD") and FILE_PATH.fullmatch(path) is not None
        if file_request or same_secret(header(scope.get("headers"), TOKEN_HEADER.encode()), self._token):
            await self.app(scope, receive, send)
            return
        await NOT_FOUND(scope, receive, send)


class SpeechBackend(Protocol):
    def voice(self, name: str) -> Voice | None: ...

    def speak(self, text: str, voice: str) -> bytes: ...

    def spoken_timing(self, mp3: bytes) -> NarrationTiming | None: ...


def _base(request: Request) -> str:
    return str(request.base_url).rstrip("/")


def _origin(request: Request) -> str:
    """The address the client reached, without the token's root path."""
    return f"{request.url.scheme}://{request.url.netloc}"


def _detail(job: Any) -> dict[str, str]:
    return {"detail": job.detail} if job.detail else {}


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"success": False, "error": message}, status)


def _height(wanted: str) -> int | None:
    """The `format` parameter as a height: ASCII digits only, a few of them
    (None when malformed); empty or 0 means the default."""
    if not wanted:
        return DEFAULT_HEIGHT
    if not (wanted.isascii() and wanted.isdigit() and len(wanted) <= MAX_FORMAT_DIGITS):
        return None
    return int(wanted) or DEFAULT_HEIGHT


def _peer(request: Request) -> str:
    return request.client.host if request.client else ""


def finished_file(file_addresses: Capabilities[Job], capability: str) -> Path | None:
    """The file of the finished job `capability` was handed out for, while
    it is good and the file is in the cache; marks it fetched."""
    job = file_addresses.redeem(capability)
    if job is None or job.state != "finished" or job.path is None or not Path(job.path).exists():
        return None
    job.fetched = True
    return Path(job.path)


def build_app(jobs: Jobs, speech: SpeechBackend, speech_cache: FileCache, limits: Limits,
              allow: Iterable[Network] = LOOPBACK, token: str | None = None,
              speech_queue: SpeechQueue | None = None, captions: CaptionFetcher | None = None,
              file_addresses: Capabilities[Job] | None = None) -> ASGIApp:
    queue = speech_queue or SpeechQueue(limits.max_speech, limits.max_speech_per_client, limits.max_speech_queued)
    timing_cache = FileCache(speech_cache.root / "timing", ".json", 64 * 1024**2)
    waiting: Counter[str] = Counter()  # client address -> job requests waiting for a first answer
    file_addresses = file_addresses if file_addresses is not None else Capabilities(FILE_ADDRESS_SECONDS)
    caption_fetcher = captions or CaptionFetcher()
    caption_requests = [0]  # running now; bounded like downloads, each holds a thread

    async def first_answer(job: Job) -> None:
        # Polled on the event loop, so a waiting request holds no thread.
        loop = asyncio.get_running_loop()
        until = loop.time() + limits.job_answer_wait
        while job.state == "queued" and not jobs.closing and loop.time() < until:
            await asyncio.sleep(ANSWER_POLL_SECONDS)

    async def job_request(request: Request) -> JSONResponse:
        url = request.query_params.get("url", "")
        height = _height(request.query_params.get("format", ""))
        if height is None:
            return _error(400, "format must be a height in lines, like 1080")
        client = _peer(request)
        if waiting[client] >= limits.max_waiting_per_client:
            return _error(503, f"busy: {waiting[client]} job requests of this client are waiting; try again later")
        try:
            job = jobs.request(url, height)
        except JobRefused as error:
            return _error(503 if error.busy else 200, str(error))
        # Most failures (unsupported site, 404, private video) come while yt-dlp
        # reads the address; answering them here lets the client show them.
        waiting[client] += 1
        try:
            await first_answer(job)
        finally:
            waiting[client] -= 1
            if not waiting[client]:
                del waiting[client]
        if job.state == "failed":
            return JSONResponse({"success": False, "error": job.error} | _detail(job))
        return JSONResponse({"success": True, "id": job.id, "progress_url": f"{_base(request)}/progress/{job.id}"})

    async def caption_request(request: Request) -> JSONResponse:
        url = request.query_params.get("url", "")
        language = request.query_params.get("lang") or None
        if not url.lower().startswith(("http://", "https://")):
            return _error(400, "unsupported address: give an http:// or https:// video address")
        if language is not None and not re.fullmatch(r"[A-Za-z0-9-]{1,35}", language):
            return _error(400, "lang must be a language code like en or pt-BR")
        if jobs.closing:
            return _error(503, "busy: the service is shutting down; try again later")
        if caption_requests[0] >= limits.max_jobs:
            return _error(503, f"busy: {caption_requests[0]} caption requests are running, the service's limit; "
                               "try again later")
        caption_requests[0] += 1
        try:
            answer = await run_in_threadpool(caption_fetcher.captions, url, language, jobs.closing_event)
        except DownloadFailed as failed:
            return JSONResponse({"success": False, "error": str(failed)}
                                | ({"detail": failed.detail} if failed.detail else {}))
        finally:
            caption_requests[0] -= 1
        return JSONResponse(answer.to_json())

    async def progress(request: Request) -> JSONResponse:
        job = jobs.get(request.path_params["job_id"])
        if job is None:
            return _error(404, "no such job")
        if job.state == "finished" and (job.path is None or not Path(job.path).exists()):
            return JSONResponse({"success": False, "progress": 0, "state": "failed",
                                 "error": "unavailable: the file left the service's cache; ask for the video again"})
        if job.state == "failed":
            return JSONResponse({"success": False, "progress": 0, "state": "failed", "error": job.error} | _detail(job))
        body: dict[str, object] = {"success": True, "progress": job.per_mille, "state": job.state}
        if job.progress is not None:
            p = job.progress
            body |= {"downloaded_bytes": p.downloaded_bytes, "total_bytes": p.total_bytes,
                     "speed": p.speed, "eta": p.eta}
            if job.state == "converting" and p.stage == "converting":
                body["converted"] = round(p.fraction, 3)
        if job.state == "finished":
            # A fresh capability for this job's file alone, lapsing FILE_ADDRESS_SECONDS from now.
            body["download_url"] = f"{_origin(request)}{FILES_PREFIX}{file_addresses.issue(job)}.mp4"
        return JSONResponse(body)

    async def file(request: Request) -> FileResponse | JSONResponse:
        # Only a finished job's file, by a capability handed out for it; nothing in the path names a file.
        path = finished_file(file_addresses, request.path_params["capability"])
        return NOT_FOUND if path is None else FileResponse(path, media_type="video/mp4")

    async def generate_audio(request: Request) -> JSONResponse:
        declared = request.headers.get("content-length", "")
        if declared.isdigit() and int(declared) > limits.max_request_bytes:
            return _error(413, f"request body over {limits.max_request_bytes} bytes")
        body = b""
        async for chunk in request.stream():
            body += chunk
            if len(body) > limits.max_request_bytes:
                return _error(413, f"request body over {limits.max_request_bytes} bytes")
        try:
            data = json.loads(body)
        except (ValueError, RecursionError):  # RecursionError: deeply nested arrays
            return _error(400, "expected a JSON object with text and voice")
        if not isinstance(data, dict) or not isinstance(data.get("text"), str) or not isinstance(data.get("voice"), str):
            return _error(400, "expected a JSON object with text and voice, both strings")
        text, voice = data["text"], data["voice"]
        try:
            text.encode("utf-8"), voice.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate from a \ud800 escape
            return _error(400, "the text or the voice is not valid Unicode")
        if not text.strip():
            return _error(400, "the text is empty")
        if len(text) > limits.max_text_chars:
            return _error(413, f"the text has {len(text)} characters; the limit is {limits.max_text_chars}")
        chosen = speech.voice(voice)
        if chosen is None:
            return _error(400, f"unknown voice '{voice}'; see vantor voices")
        if chosen.piper is not None and (why := unreadable(text, chosen.piper.language, chosen.name)) is not None:
            return _error(400, why)  # at once: no turn in the queue for what the voice cannot read
        backend = BACKEND_NAMES[chosen.engine]
        timed = data.get("timing") is True
        key = hashlib.sha256(json.dumps([NARRATION_FORMAT, chosen.identity, chosen.name, text]).encode())
        key_hex = key.hexdigest()[:32]
        try:
            # A narration already made is answered without a turn in the queue.
            found = await run_in_threadpool(_cached, key_hex, timed)
            if found is None:
                found = await queue.run(_peer(request), lambda: _speak_cached(key_hex, text, chosen, timed))
            audio, timing = found
        except Busy as error:
            return _error(503, str(error))
        except SpeechFailed as error:
            return _error(500, str(error))
        except OSError as error:
            if is_disk_full(error):
                return _error(507, "the speech cache's disk is full; free space or lower the cache size")
            raise
        answer: dict[str, object] = {"audio_data": "data:audio/mpeg;base64," + base64.b64encode(audio).decode("ascii"),
                                     "backend": backend}
        if timing is not None:
            answer["timing"] = timing
        return JSONResponse(answer, headers={BACKEND_HEADER: backend})

    def _cached(key: str, timed: bool) -> tuple[bytes, object] | None:
        cached = speech_cache.get(key)
        timing_path = timing_cache.get(key) if timed else None
        if cached is None or (timed and timing_path is None):
            return None
        try:
            audio = cached.read_bytes()
            return audio, json.loads(timing_path.read_text()) if timing_path is not None else None
        except (FileNotFoundError, ValueError):  # evicted or replaced meanwhile: made anew
            return None

    def _speak_cached(key: str, text: str, voice: Voice, timed: bool) -> tuple[bytes, object]:
        cached = speech_cache.get(key)
        if cached is None:
            audio = speech.speak(text, voice.name)
            timing_cache.path(key).unlink(missing_ok=True)  # it described the audio spoken before
            cached = speech_cache.put_bytes(key, audio)
            made = speech.spoken_timing(audio)  # read from the sound the MP3 was made from
            if made is not None:
                timing_cache.put_bytes(key, json.dumps(made.to_json()).encode())
        audio = cached.read_bytes()
        if not timed:
            return audio, None
        timing_path = timing_cache.get(key)
        if timing_path is not None:
            return audio, json.loads(timing_path.read_text())
        with timing_cache.work_dir(key) as tmp:
            mp3 = Path(tmp) / "narration.mp3"
            mp3.write_bytes(audio)  # the very bytes answered, even if the entry is replaced meanwhile
            timing = measure_timing(mp3, text, BACKEND_NAMES[voice.engine]).to_json()
        timing_cache.put_bytes(key, json.dumps(timing).encode())
        return audio, timing

    app = Starlette(routes=[
        Route("/ajax/download.php", job_request, methods=["GET"]),
        Route("/progress/{job_id}", progress, methods=["GET"]),
        Route("/api/captions", caption_request, methods=["GET"]),
        Route(FILES_PREFIX + "{capability}.mp4", file, methods=["GET", "HEAD"]),
        Route("/api/generate-audio-frontend", generate_audio, methods=["POST"]),
    ])
    return ClientAllowList(TokenGate(app, token) if token else app, allow)
