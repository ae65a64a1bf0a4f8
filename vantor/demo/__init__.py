"""`make demo` / `vantor demo`: a complete recap on this machine alone.

A synthetic 64 s 1280x720 source (moving test pattern, running clock, tone)
is published on a loopback web page as a <video>. The local download service
fetches it through yt-dlp's generic extractor, the local speech service
speaks the four narrations of segments.json with espeak-ng, and the
engine's real clients and wget do the rest, as for any online video.
"""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from importlib import resources
from typing import TextIO

from ..recap.progress_view import showing_progress
from ..recap.outputs import OutputNames, move_into_place, refuse_existing
from ..recap.probe import probe_duration
from ..recap.run import EngineRun
from ..recap.services_choice import shown_address
from ..services import start_local_services
from ..tools import require_tools
from .source_video import make_source_video
from .video_site import VideoSite

DEMO_VOICE = "en-US-GuyNeural"
DEMO_SPEED = 1.25
PREVIEW_TILES = (4, 2)
PREVIEW_NAME = "preview.png"


def make_preview(video: str, picture: str) -> str:
    """Tiles frames spread over the whole video into one PNG contact sheet."""
    duration = probe_duration(video)
    columns, rows = PREVIEW_TILES
    rate = columns * rows / max(duration, 0.1)
    subprocess.run(
        ["ffmpeg", "-y", "-loglevel", "error", "-i", video,
         "-vf", f"fps={rate:.6f},scale=270:480,tile={columns}x{rows}:padding=6:margin=6",
         "-frames:v", "1", "-update", "1", picture],
        check=True,
    )
    return picture


def run_demo(output_dir: str = "demo-output", progress: TextIO | None = None, *,
             overwrite: bool = False) -> dict[str, str]:
    """Runs the demo; its progress goes to `progress` (None: nowhere).
    Returns the paths of the vertical recap, the horizontal video and the
    contact sheet. Results already in `output_dir` are refused before
    anything runs, or replaced with `overwrite`; no other file there is
    touched."""
    require_tools(local_services=True)
    os.makedirs(output_dir, exist_ok=True)
    names = OutputNames()
    refuse_existing(names, output_dir, overwrite=overwrite, replace="pass --force to replace the demo's results",
                    also=[PREVIEW_NAME])
    segments = str(resources.files("vantor.demo").joinpath("segments.json"))
    with open(segments, encoding="utf-8") as f:
        count = len(json.load(f))

    with showing_progress(progress) as view:
        print(f"vantor demo: {count} segments from {segments}", file=view)
        with tempfile.TemporaryDirectory(prefix="vantor-demo-") as tmp:
            source = make_source_video(os.path.join(tmp, "source.mp4"), seconds=64.0, size="1280x720")
            # A cache of its own, so the demo always shows a real first download.
            with VideoSite(os.path.join(tmp, "site")) as site, \
                    start_local_services(cache_dir=os.path.join(tmp, "cache")) as services:
                page, _ = site.publish(source, "vantor-demo")
                print(f"vantor demo: video page {page}; local services on {shown_address(services.base_url)}", file=view)
                made = EngineRun(page, segments, DEMO_SPEED, DEMO_VOICE, output_dir, names=names,
                                 overwrite=overwrite, services=services, on_event=view.on_event).run()
            preview = os.path.join(output_dir, PREVIEW_NAME)
            move_into_place(make_preview(made.final, os.path.join(tmp, PREVIEW_NAME)), preview, overwrite)

    return {"final": made.final, "horizontal": made.horizontal, "preview": preview}

