"""Makes a downloaded video fit the engine's stream-copy cuts and concat:
MP4, H.264 video at most 1080 lines high, AAC audio, key frames every 2 s.

A file that already has the codecs and size is only re-muxed when its
container is not MP4; otherwise ffmpeg converts what does not fit, once.
"""

from __future__ import annotations

import json
import subprocess
from dataclasses import dataclass

__all__ = ["MAX_HEIGHT", "Streams", "conform", "probe"]

MAX_HEIGHT = 1080
KEY_FRAME_SECONDS = 2


@dataclass(frozen=True)
class Streams:
    container: str
    video_codec: str | None
    height: int | None
    audio_codec: str | None

    def fits(self) -> bool:
        return (
            "mp4" in self.container.split(",")
            and self.video_codec == "h264"
            and (self.height or 0) <= MAX_HEIGHT
            and self.audio_codec in ("aac", None)
        )


def probe(path: str) -> Streams:
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "format=format_name:stream=codec_type,codec_name,height",
         "-of", "json", path],
        capture_output=True, text=True,
    )
    if result.returncode != 0:
        raise RuntimeError(f"the downloaded file is not a video ffprobe can read: {result.stderr.strip()[:200]}")
    data = json.loads(result.stdout)
    streams = data.get("streams", [])
    video = next((s for s in streams if s.get("codec_type") == "video"), None)
    audio = next((s for s in streams if s.get("codec_type") == "audio"), None)
    if video is None:
        raise RuntimeError("the downloaded file has no video stream")
    return Streams(
        container=data.get("format", {}).get("format_name", ""),
        video_codec=video.get("codec_name"),
        height=video.get("height"),
        audio_codec=audio.get("codec_name") if audio else None,
    )


def conform(source: str, target: str) -> bool:
    """Writes `target` as a fitting MP4 made from `source`; False when
    `source` already fits and was left as it is (nothing written)."""
    streams = probe(source)
    if streams.fits():
        return False
    copy_video = streams.video_codec == "h264" and (streams.height or 0) <= MAX_HEIGHT
    video = ["-c:v", "copy"] if copy_video else [
        "-vf", f"scale=-2:'min({MAX_HEIGHT},ih)'", "-c:v", "libx264", "-preset", "veryfast", "-crf", "20",
        "-pix_fmt", "yuv420p", "-force_key_frames", f"expr:gte(t,n_forced*{KEY_FRAME_SECONDS})",
    ]
    audio = ["-c:a", "copy"] if streams.audio_codec == "aac" else ["-c:a", "aac", "-b:a", "160k"]
    result = subprocess.run(
        ["ffmpeg", "-y", "-nostdin", "-loglevel", "error", "-i", source, "-map", "0:v:0", "-map", "0:a:0?",
         *video, *audio, "-movflags", "+faststart", "-f", "mp4", target],
        capture_output=True, text=True,
    )
    if result.returncode != 0:
        raise RuntimeError(f"converting the video to H.264/AAC MP4 failed: {result.stderr.strip()[-300:]}")
    return True
