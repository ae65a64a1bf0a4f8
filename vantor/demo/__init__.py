"""`make demo` / `vantor demo`: a complete recap on this machine alone.

A synthetic 64 s 1280x720 source (moving test pattern, running clock, tone)
is published on a loopback web page as a <video>. The local download service
fetches it through yt-dlp's generic extractor, the local speech service
speaks the four narrations of segments.json, and the engine's real clients
and wget do the rest, as for any online video. The film and its segments
are left beside the results, for a first recap of the user's own.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from importlib import resources
from typing import TextIO

from ..recap.engine.progress_view import showing_progress
from ..recap.engine.outputs import OutputNames, move_into_place, refuse_existing
from ..recap.checks.probe import probe_duration
from ..recap.engine.options import RecapSpec
from ..recap.engine.run import EngineRun
from ..recap.engine.services_choice import shown_address
from ..runner import run
from ..services import start_local_services
from ..services.voices import DEFAULT_VOICE
from ..tools import require_tools
from .source_video import make_source_video
from .video_site import VideoSite

DEMO_VOICE = DEFAULT_VOICE
DEMO_SPEED = 1.25
PREVIEW_TILES = (4, 2)
PREVIEW_NAME = "preview.png"
FILM_NAME = "film.mp4"
SEGMENTS_NAME = "segments.json"
FILM_SECONDS, FILM_SIZE = 64.0, "1280x720"


def _demo_segments() -> str:
    return str(resources.files("vantor.demo").joinpath(SEGMENTS_NAME))


def _keep(source: str, target: str, overwrite: bool) -> str:
    """Copies `source` to `target` whole or not at all (the scratch folder
    may be on another file system, where no rename reaches)."""
    partial = os.path.join(os.path.dirname(target) or ".", f".{os.path.basename(target)}.part")
    shutil.copyfile(source, partial)
    try:
        move_into_place(partial, target, overwrite)
    finally:
        if os.path.lexists(partial):
            os.remove(partial)
    return target


def leave_film_and_segments(output_dir: str, *, film: str | None = None, size: str = FILM_SIZE,
                            overwrite: bool = False) -> tuple[str, str]:
    """Puts the demo's film (`film`; else one made here) and its segments
    into `output_dir`; returns their paths."""
    os.makedirs(output_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vantor-film-", dir=output_dir) as tmp:
        if film is None:
            film = make_source_video(os.path.join(tmp, FILM_NAME), seconds=FILM_SECONDS, size=size, compact=True)
        kept = _keep(film, os.path.join(output_dir, FILM_NAME), overwrite)
    return kept, _keep(_demo_segments(), os.path.join(output_dir, SEGMENTS_NAME), overwrite)


def make_preview(video: str, picture: str) -> str:
    """Tiles frames spread over the whole video into one PNG contact sheet."""
    duration = probe_duration(video)
    columns, rows = PREVIEW_TILES
    rate = columns * rows / max(duration, 0.1)
    done = run(["ffmpeg", "-y", "-loglevel", "error", "-i", video,
                "-vf", f"fps={rate:.6f},scale=270:480,tile={columns}x{rows}:padding=6:margin=6",
                "-frames:v", "1", "-update", "1", picture], capture=False)
    if done.returncode != 0:
        raise subprocess.CalledProcessError(done.returncode, done.args)
    return picture


def run_demo(output_dir: str = "demo-output", progress: TextIO | None = None, *,
             overwrite: bool = False) -> dict[str, str]:
    """Runs the demo; its progress goes to `progress` (None: nowhere).
    Returns the paths of the vertical recap, the horizontal video, the
    contact sheet, and the film and segments left for a recap of one's own. Results already in `output_dir` are refused before
    anything runs, or replaced with `overwrite`; no other file there is
    touched."""
    require_tools(local_services=True)
    os.makedirs(output_dir, exist_ok=True)
    names = OutputNames()
    refuse_existing(names, output_dir, overwrite=overwrite, replace="pass --force to replace the demo's results",
                    also=[PREVIEW_NAME, FILM_NAME, SEGMENTS_NAME])
    segments = _demo_segments()
    with open(segments, encoding="utf-8") as f:
        count = len(json.load(f))

    with showing_progress(progress) as view:
        print(f"vantor demo: {count} segments from {segments}", file=view)
        with tempfile.TemporaryDirectory(prefix="vantor-demo-") as tmp:
            source = make_source_video(os.path.join(tmp, FILM_NAME), seconds=FILM_SECONDS, size=FILM_SIZE,
                                       compact=True)
            # A cache of its own, so the demo always shows a real first download.
            with VideoSite(os.path.join(tmp, "site")) as site, \
                    start_local_services(cache_dir=os.path.join(tmp, "cache")) as services:
                page, _ = site.publish(source, "vantor-demo")
                print(f"vantor demo: video page {page}; local services on {shown_address(services.base_url)}", file=view)
                # The engine's own picture and sound: what a host calling it directly gets.
                spec = RecapSpec(voice=DEMO_VOICE, speed=DEMO_SPEED, plain=True)
                made = EngineRun(page, segments, spec, output_dir, names=names,
                                 overwrite=overwrite, services=services, on_event=view.on_event).run()
            preview = os.path.join(output_dir, PREVIEW_NAME)
            _keep(make_preview(made.final, os.path.join(tmp, PREVIEW_NAME)), preview, overwrite)
            film, kept_segments = leave_film_and_segments(output_dir, film=source, overwrite=overwrite)

    return {"final": made.final, "horizontal": made.horizontal, "preview": preview, "film": film,
            "segments": kept_segments}

