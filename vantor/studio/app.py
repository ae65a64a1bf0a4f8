"""The studio's web application: one page and the few requests it makes.

Every address below is behind the session token (see guard.py):
    GET  /                      the page; /static/<file> its CSS and script
    GET  /api/state             voices, the default voice, the project folder
    POST /api/load {url}        the download service fetches the address -> {id}
    GET  /api/events/<id>       the load's or recap's events (text/event-stream)
    GET  /api/video/<id>        the loaded film, for the player (Range honoured)
    POST /api/speak {text, voice}              the narration's MP3
    POST /api/fit {text, voice, start, end, fit}   lengths, the fit report's words, what `fit` makes of the clip
    GET  /api/segments          the project's segments file
    POST /api/save {segments}   writes it, after the check
    POST /api/make {url, segments, voice, speed, captions, caption_style, caption_position, caption_size, frame,
                    aspect, source_audio, fit, music}
                                starts a recap -> {id}; music: a file of the studio's music folder, by name
    POST /api/cancel/<id>       stops that recap, or that transcription
    POST /api/transcript {url}  the video's words, found or transcribed -> {id}; events as a load's
    GET  /api/transcript/<id>   those words, once its events said "ready"
    POST /api/suggest {id, count, length}      ranges drafted from that transcript
    GET  /results/<name>        a finished recap (Range honoured), or its captions
    POST /api/framing/<id> {segments, aspect}  each range's smart camera path, in the loaded video's time
    GET  /api/still/<id>?at&layout&centre&aspect  a range's first frame as the recap frames it (JPEG)
    GET  /api/caption-still?style&position&size&aspect[&video=<id>&at&layout&centre]  a caption look (JPEG)
"""

from __future__ import annotations

import json
import shutil
import subprocess
import tempfile
import threading
from importlib import resources
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from ..interchange import parse_formats
from ..recap.captions.caption_layout import caption_look
from ..recap.captions.cues import CAPTION_STYLES
from ..recap.captions.emphasis import spoken_text
from ..recap.framing.modes import ASPECTS, DEFAULT_ASPECT, DEFAULT_FRAME, FRAME_MODES
from ..recap.engine.options import OptionError, RecapSpec
from ..recap.checks.segments_check import TIME_FORMS, parse_time
from ..recap.sound.sound_step import DEFAULT_LOUDNESS, FIT_MODES, music_names
from ..services.limits import Limits
from ..services.server import in_process
from ..services.voices import DEFAULT_VOICE, VOICES, default_catalog, voice_groups, voice_names
from ..transcripts.source import transcript_for as find_transcript
from ..transcripts.suggest import suggest as suggest_ranges
from . import engine_bridge as bridge
from . import framing_view, transcript_bridge
from .events import Activities, Activity
from .project import Project, SegmentsRefused, page_segments

__all__ = ["DEFAULT_VOICE", "MAX_RUNS", "Studio"]

# The page's caption choices: none, drawn into the picture, or a track.
CAPTIONS = ("off", "burn", "track")
# Recaps made at once; each runs ffmpeg on the machine's cores.
MAX_RUNS = 2
MAX_LOADED = 8  # loads whose thumbnails can still be asked for
# A segments file in a request: narrations of up to the speech service's
# text limit, for many ranges.
MAX_SEGMENTS_BYTES = 1024 * 1024
RESULT_TYPES = {".mp4": "video/mp4", ".vtt": "text/vtt; charset=utf-8", ".srt": "application/x-subrip; charset=utf-8"}
STATIC_FILES = {"studio.css": "text/css; charset=utf-8", "studio.js": "text/javascript; charset=utf-8",
                "transcript.css": "text/css; charset=utf-8", "transcript.js": "text/javascript; charset=utf-8",
                "caption_look.css": "text/css; charset=utf-8", "caption_look.js": "text/javascript; charset=utf-8"}


class _Refused(Exception):
    def __init__(self, status: int, message: str, **extra: object) -> None:
        super().__init__(message)
        self.status = status
        self.extra = extra


def _static(name: str) -> bytes:
    return resources.files(__package__).joinpath("static", name).read_bytes()


class Studio:
    """The application with what it drives: the services' address, the
    project folder, the activities under way."""

    def __init__(self, project: Project, services_url: str, *, limits: Limits | None = None,
                 first_url: str = "", music_dir: Path | None = None,
                 transcript_for: transcript_bridge.TranscriptFor = find_transcript,
                 suggest: transcript_bridge.Suggest = suggest_ranges) -> None:
        self.project: Project = project
        # The loaded films, private (0700); beside the services' cache when they run in this process,
        # so a film is a second name of the cached file, not a copy.
        served = in_process(services_url)
        films_dir = served.cache_dir / "studio" if served is not None else None
        if films_dir is not None:
            films_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
        self._films = Path(tempfile.mkdtemp(prefix="vantor-studio-", dir=films_dir))
        # The folder the user named for music (`vantor studio --music DIR`): the
        # page lists its files by name and picks one by name, never by path.
        self.music_dir: Path | None = music_dir
        self.services_url: str = services_url.rstrip("/")
        self.limits: Limits = limits or Limits()
        self.first_url: str = first_url
        self.narrations: bridge.Narrations = bridge.Narrations(self.services_url)
        self.activities: Activities = Activities()
        self.framing_queue: framing_view.FramingQueue = framing_view.FramingQueue()
        self._runs: dict[str, bridge.MakeRun] = {}
        self._runs_lock = threading.Lock()
        self._loaded: dict[str, bridge.LoadedVideo] = {}  # load id -> its video, for the timeline's thumbnails
        self.transcripts: transcript_bridge.Transcripts = transcript_bridge.Transcripts(
            self.activities, self.services_url, transcript_for, suggest)
        self.app: Starlette = Starlette(routes=[
            Route("/", self.page, methods=["GET", "HEAD"]),
            Route("/static/{name}", self.static, methods=["GET", "HEAD"]),
            Route("/api/state", self.state, methods=["GET"]),
            Route("/api/load", self.load, methods=["POST"]),
            Route("/api/events/{activity_id}", self.events, methods=["GET"]),
            Route("/api/thumbnails/{activity_id}", self.thumbnails, methods=["GET"]),
            Route("/api/video/{activity_id}", self.video, methods=["GET", "HEAD"]),
            Route("/api/speak", self.speak, methods=["POST"]),
            Route("/api/fit", self.fit, methods=["POST"]),
            Route("/api/segments", self.segments, methods=["GET"]),
            Route("/api/save", self.save, methods=["POST"]),
            Route("/api/make", self.make, methods=["POST"]),
            Route("/api/cancel/{activity_id}", self.cancel, methods=["POST"]),
            Route("/api/transcript", self.transcript, methods=["POST"]),
            Route("/api/transcript/{activity_id}", self.transcript_words, methods=["GET"]),
            Route("/api/suggest", self.suggest, methods=["POST"]),
            Route("/results/{name}", self.result, methods=["GET", "HEAD"]),
            Route("/api/framing/{activity_id}", self.framing, methods=["POST"]),
            Route("/api/still/{activity_id}", self.still, methods=["GET"]),
            Route("/api/caption-still", self.caption_still, methods=["GET"]),
        ], exception_handlers={_Refused: self._refused})

    @staticmethod
    async def _refused(request: Request, error: Exception) -> Response:
        assert isinstance(error, _Refused)
        return JSONResponse({"error": str(error), **error.extra}, error.status)

    async def _body(self, request: Request, limit: int) -> dict[str, Any]:
        declared = request.headers.get("content-length", "")
        if declared.isdigit() and int(declared) > limit:
            raise _Refused(413, f"request body over {limit} bytes")
        body = b""
        async for chunk in request.stream():
            body += chunk
            if len(body) > limit:
                raise _Refused(413, f"request body over {limit} bytes")
        try:
            data = json.loads(body)
            # A lone surrogate (a "\ud800" escape) is no text a file or a service can take.
            json.dumps(data, ensure_ascii=False).encode("utf-8")
        except (ValueError, RecursionError):  # RecursionError: deeply nested arrays; UnicodeError is a ValueError
            raise _Refused(400, "expected a JSON object of text, numbers and lists, nested at most a few levels") \
                from None
        if not isinstance(data, dict):
            raise _Refused(400, "expected a JSON object")
        return data

    def _narration(self, data: dict[str, Any]) -> tuple[str, str]:
        text, voice = data.get("text"), data.get("voice")
        if not isinstance(text, str) or not text.strip():
            raise _Refused(400, "the narration is empty")
        if len(text) > self.limits.max_text_chars:
            raise _Refused(413, f"the narration has {len(text)} characters; the limit is {self.limits.max_text_chars}")
        if voice not in VOICES:
            raise _Refused(400, f"unknown voice {voice!r}")
        return spoken_text(text), voice  # as the recap speaks it: a word marked for the captions without its marks

    @staticmethod
    def _address(data: dict[str, Any]) -> str:
        url = data.get("url")
        if not isinstance(url, str) or not url.strip().lower().startswith(("http://", "https://")):
            raise _Refused(400, "give an http:// or https:// video address")
        return url.strip()

    # -- the page --------------------------------------------------------
    async def page(self, request: Request) -> Response:
        return Response(_static("index.html"), media_type="text/html; charset=utf-8",
                        headers={"cache-control": "no-store", "referrer-policy": "no-referrer",
                                 "content-security-policy": "default-src 'self'; media-src 'self' blob:; "
                                                            "img-src 'self' data:; frame-ancestors 'none'"})

    async def static(self, request: Request) -> Response:
        name = request.path_params["name"]
        if name not in STATIC_FILES:
            raise _Refused(404, "no such file")
        return Response(_static(name), media_type=STATIC_FILES[name], headers={"cache-control": "no-cache"})

    async def state(self, request: Request) -> Response:
        groups = [{"title": group.title, "engine": group.engine,
                   "voices": [{"name": voice.name, "mark": mark} for voice, mark in group.voices]}
                  for group in voice_groups(default_catalog())]
        return JSONResponse({"voices": voice_names(), "voice_groups": groups, "voice": DEFAULT_VOICE,
                             "project": str(self.project.root),
                             "url": self.first_url, "max_text_chars": self.limits.max_text_chars,
                             "has_segments": self.project.segments_path.is_file(), "music": self._music_names(),
                             "fit_modes": list(FIT_MODES)})

    # -- load ------------------------------------------------------------
    async def load(self, request: Request) -> Response:
        url = self._address(await self._body(request, self.limits.max_request_bytes))
        activity = self.activities.new("load")
        threading.Thread(target=self._load, args=(activity, url), name="vantor-studio-load", daemon=True).start()
        return JSONResponse({"id": activity.id})

    def _load(self, activity: Activity, url: str) -> None:
        try:
            video = bridge.load_video(self.services_url, url,
                                      lambda per_mille, figures: activity.post("progress", per_mille=per_mille,
                                                                               figures=figures),
                                      activity.cancel, self._films / f"{activity.id}.mp4")
        except bridge.BridgeError as error:
            activity.post("failed", error=str(error))
        except Exception as error:  # any other fault still ends the load, so the page sees it
            activity.post("failed", error=f"{type(error).__name__}: {error}")
        else:
            self._loaded[activity.id] = video
            while len(self._loaded) > MAX_LOADED:
                Path(self._loaded.pop(next(iter(self._loaded))).path).unlink(missing_ok=True)
            activity.post("ready", video=f"api/video/{activity.id}", duration=video.duration,
                          frame_rate=video.frame_rate, thumbnails=f"api/thumbnails/{activity.id}")
        finally:
            if activity.id not in self._loaded:
                (self._films / f"{activity.id}.mp4").unlink(missing_ok=True)

    async def video(self, request: Request) -> Response:
        """The loaded film for the player, from the studio's own copy."""
        video = self._loaded_video(request)
        if not Path(video.path).is_file():
            raise _Refused(404, "no such video")
        return FileResponse(video.path, media_type="video/mp4", headers={"cache-control": "private, no-store"})

    async def thumbnails(self, request: Request) -> Response:
        """The film's thumbnails for the timeline, made here from the loaded file."""
        video = self._loaded.get(request.path_params["activity_id"])
        if video is None:
            raise _Refused(404, "no such video")
        try:
            strip = await run_in_threadpool(bridge.thumbnails, video.path, video.duration)
        except bridge.BridgeError as error:
            raise _Refused(404, str(error)) from None
        return Response(strip, media_type="image/jpeg", headers={"cache-control": "private, max-age=3600"})

    async def events(self, request: Request) -> Response:
        activity = self.activities.get(request.path_params["activity_id"])
        if activity is None:
            raise _Refused(404, "no such activity")
        seen = request.headers.get("last-event-id", "0")
        return StreamingResponse(activity.stream(int(seen) if seen.isdigit() else 0), media_type="text/event-stream",
                                 headers={"cache-control": "no-store"})

    # -- narrations ------------------------------------------------------
    async def speak(self, request: Request) -> Response:
        text, voice = self._narration(await self._body(request, self.limits.max_request_bytes))
        try:
            audio, seconds = await run_in_threadpool(self.narrations.audio, text, voice)
        except bridge.BridgeError as error:
            raise _Refused(502, str(error)) from None
        return Response(audio, media_type="audio/mpeg", headers={"x-narration-seconds": f"{seconds:.3f}"})

    async def fit(self, request: Request) -> Response:
        data = await self._body(request, self.limits.max_request_bytes)
        text, voice = self._narration(data)
        start, end = data.get("start"), data.get("end")
        for member, value in (("start", start), ("end", end)):
            if not isinstance(value, str) or parse_time(value) is None:
                raise _Refused(400, f"{member} {value!r} is not a time; {TIME_FORMS}")
        assert isinstance(start, str) and isinstance(end, str)
        if (parse_time(end) or 0.0) <= (parse_time(start) or 0.0):
            raise _Refused(400, "the range ends before it starts")
        mode = data.get("fit", "narration")  # without one: the engine's own, as the fit report says it
        if mode not in FIT_MODES:
            raise _Refused(400, f"fit must be one of {', '.join(FIT_MODES)}, not {mode!r}")
        try:
            timing = await run_in_threadpool(self.narrations.timing, text, voice)
        except bridge.BridgeError as error:
            raise _Refused(502, str(error)) from None
        return JSONResponse(bridge.fit(start, end, timing, str(mode)).as_json())

    # -- the segments file -----------------------------------------------
    async def segments(self, request: Request) -> Response:
        content = self.project.read_segments()
        if content is None:
            raise _Refused(404, f"no {self.project.segments_path.name} in the project folder yet")
        return Response(content, media_type="application/json")

    async def save(self, request: Request) -> Response:
        data = await self._body(request, MAX_SEGMENTS_BYTES)
        try:
            path, warnings = self.project.save_segments(data.get("segments"))
        except SegmentsRefused as error:
            raise _Refused(400, str(error), problems=error.problems) from None
        return JSONResponse({"path": str(path), "warnings": warnings})

    # -- recaps ----------------------------------------------------------
    async def make(self, request: Request) -> Response:
        data = await self._body(request, MAX_SEGMENTS_BYTES)
        url = self._address(data)
        try:
            segments, _ = page_segments(data.get("segments"))
        except SegmentsRefused as error:
            raise _Refused(400, str(error), problems=error.problems) from None
        voice = data.get("voice")
        if voice not in VOICES:
            raise _Refused(400, f"unknown voice {voice!r}")
        captions = data.get("captions", "off")
        if captions not in CAPTIONS:
            raise _Refused(400, f"captions must be one of {', '.join(CAPTIONS)}, not {captions!r}")
        # Without captions the page's caption look is not the recap's.
        look = {name: data.get(name, default) for name, default in (
            ("caption_style", "clean"), ("caption_position", "bottom"), ("caption_size", "medium"))} \
            if captions != "off" else {}
        try:
            spec = RecapSpec(voice=voice, speed=data.get("speed", 1.0),
                             captions=None if captions == "off" else captions,
                             frame=data.get("frame", DEFAULT_FRAME), aspect=data.get("aspect", DEFAULT_ASPECT),
                             source_audio=str(data.get("source_audio", "duck")), music=self._music(data.get("music")),
                             loudness=DEFAULT_LOUDNESS, fit=str(data.get("fit", "extend")), **look)
        except OptionError as error:
            raise _Refused(400, _refusal(error)) from None
        timeline = data.get("timeline") or None
        try:
            if timeline is not None and not isinstance(timeline, str):
                raise ValueError(f"timeline must name formats such as \"kdenlive,otio\", not {timeline!r}")
            formats = parse_formats(timeline)
        except ValueError as error:
            raise _Refused(400, str(error)) from None
        if any(len(s["voiceover"]) > self.limits.max_text_chars for s in segments):
            raise _Refused(413, f"a narration is over {self.limits.max_text_chars} characters")
        with self._runs_lock:
            if len(self.activities.running("make")) >= MAX_RUNS:
                raise _Refused(429, f"{MAX_RUNS} recaps are being made; wait for one to end")
            activity = self.activities.new("make")
            try:
                run = bridge.start_make(services_url=self.services_url, url=url, segments=segments, spec=spec,
                                        work_dir=self.project.work_dir(activity.id),
                                        on_line=lambda line: activity.post("stage", text=line),
                                        on_update=lambda line: activity.post("stage", text=line, update=True),
                                        timeline=formats)
            except OSError as error:
                activity.post("failed", error=f"the recap could not start: {error}")
                raise _Refused(500, f"the recap could not start: {error}") from None
            self._runs[activity.id] = run
        threading.Thread(target=self._finish, args=(activity, run), name="vantor-studio-make", daemon=True).start()
        return JSONResponse({"id": activity.id})

    def _music_names(self) -> list[str]:
        if self.music_dir is None:
            return []
        try:
            return music_names(str(self.music_dir))
        except OSError:  # the folder went away: nothing to offer
            return []

    def _music(self, name: object) -> str | None:
        """The music file the page chose by `name` (None or "": none): one of
        the folder's own names as listed now; anything else, a path above
        all, is refused."""
        if name is None or name == "":
            return None
        if self.music_dir is None:
            raise _Refused(400, "this studio has no music folder; start it with vantor studio --music DIR")
        if not isinstance(name, str) or name not in self._music_names():
            raise _Refused(400, f"music must be the name of a file in the studio's music folder, not {name!r}")
        return str(self.music_dir / name)

    def _finish(self, activity: Activity, run: bridge.MakeRun) -> None:
        try:
            made = run.wait()
            kept = self.project.keep_result(made.final, made.captions)
            timeline = (self.project.keep_timelines(kept.stem, made.timelines, made.media)
                        if made.timelines and made.media is not None else None)
        except bridge.BridgeError as error:
            if run.cancelled:
                bridge.discard(run.work_dir)  # asked for: nothing of it is kept
                activity.post("cancelled")
            else:
                bridge.discard(run.work_dir)  # nothing left behind; the download stays in the cache
                activity.post("failed", error=str(error))
        except OSError as error:
            activity.post("failed", error=f"the recap could not be kept: {error}")
        except Exception as error:  # any other fault still ends the activity, so the page and the limit see it
            activity.post("failed", error=f"{type(error).__name__}: {error}")
        else:
            bridge.discard(run.work_dir)
            activity.post("done", name=kept.name, url=f"results/{kept.name}", duration=made.duration,
                          path=str(kept), captions=run.spec.captions or "off",
                          captions_url=f"results/{kept.stem}.vtt" if made.captions else None,
                          timeline=str(timeline) if timeline is not None else None)
        finally:
            with self._runs_lock:
                self._runs.pop(activity.id, None)

    async def cancel(self, request: Request) -> Response:
        activity_id = request.path_params["activity_id"]
        with self._runs_lock:
            run = self._runs.get(activity_id)
        if run is None:
            stopped = await run_in_threadpool(self.transcripts.cancel, activity_id)
            if stopped is None:
                raise _Refused(404, "no recap or transcription running with that id")
            return JSONResponse({"cancelled": stopped})
        await run_in_threadpool(run.cancel)
        return JSONResponse({"cancelled": True})

    # -- the transcript panel ----------------------------------------------
    async def transcript(self, request: Request) -> Response:
        url = self._address(await self._body(request, self.limits.max_request_bytes))
        try:
            activity = self.transcripts.start(url)
        except transcript_bridge.TranscriptRefused as error:
            raise _Refused(error.status, str(error)) from None
        return JSONResponse({"id": activity.id})

    async def transcript_words(self, request: Request) -> Response:
        words = await run_in_threadpool(self.transcripts.words, request.path_params["activity_id"])
        if words is None:
            raise _Refused(404, "no transcript with that id; load the video again")
        return JSONResponse(words, headers={"cache-control": "no-store"})

    async def suggest(self, request: Request) -> Response:
        data = await self._body(request, self.limits.max_request_bytes)
        try:
            found = await run_in_threadpool(self.transcripts.suggestions, data)
        except transcript_bridge.TranscriptRefused as error:
            raise _Refused(error.status, str(error)) from None
        return JSONResponse({"suggestions": found})

    async def result(self, request: Request) -> Response:
        path = self.project.result(request.path_params["name"])
        if path is None:
            raise _Refused(404, "no such recap")
        return FileResponse(path, media_type=RESULT_TYPES[path.suffix],
                            filename=path.name if "download" in request.query_params else None)

    # -- framing: the crop window over the player, a still per range ----
    def _loaded_video(self, request: Request) -> bridge.LoadedVideo:
        video = self._loaded.get(request.path_params["activity_id"])
        if video is None:
            raise _Refused(404, "no such video")
        return video

    async def framing(self, request: Request) -> Response:
        video = self._loaded_video(request)
        data = await self._body(request, MAX_SEGMENTS_BYTES)
        segments, aspect = data.get("segments"), data.get("aspect", "9:16")
        if not isinstance(segments, list) or not isinstance(aspect, str):
            raise _Refused(400, "give the ranges as segments: [{start, end}, ...] and an aspect")
        ranges = []
        for number, segment in enumerate(segments, 1):
            given = [segment.get(member) if isinstance(segment, dict) else None for member in ("start", "end")]
            start, end = (parse_time(value) if isinstance(value, str) else None for value in given)
            if start is None or end is None or not 0 <= start < end:
                raise _Refused(400, f"range {number} needs a start and a later end; {TIME_FORMS}")
            ranges.append((start, end))
        try:
            with self.framing_queue.admitted("analysis"):  # refused at once past the queue: no thread waits
                paths = await run_in_threadpool(framing_view.range_paths, video.path, ranges, aspect, None,
                                                self.framing_queue)
        except framing_view.FramingBusy as error:
            raise _Refused(503, str(error)) from None
        except framing_view.FramingRefused as error:
            raise _Refused(400, str(error)) from None
        return JSONResponse({"ranges": [path.as_json() for path in paths]})

    async def still(self, request: Request) -> Response:
        video = self._loaded_video(request)
        query = request.query_params
        try:
            at, centre = float(query.get("at", "")), float(query.get("centre", "0.5"))
            with self.framing_queue.admitted("still"):
                picture = await run_in_threadpool(framing_view.still, video.path, at, query.get("layout", ""),
                                                  centre, query.get("aspect", "9:16"))
        except framing_view.FramingBusy as error:
            raise _Refused(503, str(error)) from None
        except (ValueError, subprocess.TimeoutExpired) as error:  # FramingRefused is a ValueError
            raise _Refused(400, str(error) if isinstance(error, framing_view.FramingRefused)
                           else "a still needs a time and a centre as numbers") from None
        return Response(picture, media_type="image/jpeg", headers={"cache-control": "private, max-age=3600"})

    async def caption_still(self, request: Request) -> Response:
        """A caption look over a range's first frame (`video`, `at`, `layout`, `centre`) or a neutral one."""
        from . import caption_view

        query = request.query_params
        style = query.get("style", "clean")
        if style not in CAPTION_STYLES:
            raise _Refused(400, f"style must be one of {', '.join(CAPTION_STYLES)}, not {style!r}")
        video = self._loaded.get(query["video"]) if "video" in query else None
        if "video" in query and video is None:
            raise _Refused(404, "no such video")
        try:
            at, centre = float(query.get("at", "0")), float(query.get("centre", "0.5"))
        except ValueError:
            raise _Refused(400, "a caption still needs a time and a centre as numbers") from None
        try:
            look = caption_look(style, query.get("position", "bottom"), query.get("size", "medium"))
            with self.framing_queue.admitted("caption still"):
                picture = await run_in_threadpool(caption_view.caption_still, look, query.get("aspect", "9:16"),
                                                  video=video.path if video else None, at=at,
                                                  layout=query.get("layout", "crop"), centre=centre)
        except framing_view.FramingBusy as error:
            raise _Refused(503, str(error)) from None
        except ValueError as error:  # a look or still refused (FramingRefused is one), in its own words
            raise _Refused(400, str(error)) from None
        except subprocess.TimeoutExpired:
            raise _Refused(503, "the caption still took too long; try again") from None
        return Response(picture, media_type="image/jpeg", headers={"cache-control": "private, max-age=3600"})

    def close(self) -> None:
        """Stops every recap still running (the studio is going away)."""
        self.framing_queue.stop()
        with self._runs_lock:
            runs = list(self._runs.values())
        for run in runs:
            run.cancel()
        self.transcripts.stop()
        shutil.rmtree(self._films, ignore_errors=True)


def _refusal(error: OptionError) -> str:
    """A refusal of the recap's options as the page's fields name them."""
    if error.option == "caption_style":
        return f"caption_style must be one of {', '.join(CAPTION_STYLES)}, not {error.value!r}"
    if error.option == "frame":
        return f"frame must be one of {', '.join(FRAME_MODES)}, not {error.value!r}"
    if error.option == "aspect":
        return f"aspect must be one of {', '.join(ASPECTS)}, not {error.value!r}"
    return error.reason


def static_dir() -> Path:
    return Path(str(resources.files(__package__).joinpath("static")))
