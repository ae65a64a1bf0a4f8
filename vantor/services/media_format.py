"""Makes a downloaded video fit the engine's stream-copy cuts and concat:
MP4, H.264 video at most 1080 lines high, AAC audio, key frames every 2 s.

A file that already has the codecs and size is only re-muxed when its
container is not MP4; otherwise ffmpeg converts what does not fit, once.

Fetched bytes are hostile: ffmpeg's probing would open a playlist (HLS,
concat, ...) that names local files or further addresses. Every ffprobe and
ffmpeg run on a download therefore names its input format, chosen from a
short list of self-contained containers by the file's first bytes, and
allows that demuxer and the `file` protocol only.
"""

from __future__ import annotations

import json
import subprocess
import threading
from dataclasses import dataclass

__all__ = ["CONTAINERS", "MAX_HEIGHT", "NotAVideo", "Streams", "check_complete", "conform", "input_options", "probe", "sniff"]

MAX_HEIGHT = 1080
KEY_FRAME_SECONDS = 2

# Demuxers that read one self-contained file: ISO/QuickTime (external data
# references stay off, ffmpeg's default), Matroska/WebM, and MPEG-TS (what
# yt-dlp's own HLS downloader writes).
CONTAINERS = ("mov", "matroska", "mpegts")
# ISO/QuickTime boxes a file may begin with.
_MP4_BOXES = (b"ftyp", b"moov", b"mdat", b"free", b"skip", b"wide")
_TS_PACKET = 188
# A complete file's packets reach its declared duration within this much;
# only this many seconds at the end are read to tell.
END_TOLERANCE = 1.0
TAIL_SECONDS = 4.0


class NotAVideo(RuntimeError):
    """The download is no video container the service opens."""


def sniff(head: bytes) -> str | None:
    """The demuxer for a file beginning with `head`, or None when it is none
    of `CONTAINERS` (a playlist, a web page, another format)."""
    if len(head) >= 8 and head[4:8] in _MP4_BOXES:
        return "mov"
    if head.startswith(b"\x1a\x45\xdf\xa3"):
        return "matroska"
    if len(head) > 2 * _TS_PACKET and all(head[i] == 0x47 for i in range(0, 3 * _TS_PACKET, _TS_PACKET)):
        return "mpegts"
    return None


def input_options(path: str) -> list[str]:
    """ffmpeg/ffprobe options that open `path` as its sniffed container and
    nothing else, ending with `-i path`."""
    with open(path, "rb") as f:
        head = f.read(3 * _TS_PACKET + 1)
    demuxer = sniff(head)
    if demuxer is None:
        raise NotAVideo("the download is not a video: its format is unsupported "
                        "(the service opens MP4/MOV, Matroska/WebM and MPEG-TS files)")
    return ["-f", demuxer, "-format_whitelist", demuxer, "-protocol_whitelist", "file", "-i", path]


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
        ["ffprobe", "-v", "error", "-show_entries", "format=format_name,duration:stream=codec_type,codec_name,height",
         "-of", "json", *input_options(path)],
        capture_output=True, text=True,
    )
    if result.returncode != 0:
        raise NotAVideo("the download is not a video ffprobe can read (unsupported)")
    data = json.loads(result.stdout)
    streams = data.get("streams", [])
    video = next((s for s in streams if s.get("codec_type") == "video"), None)
    audio = next((s for s in streams if s.get("codec_type") == "audio"), None)
    if video is None:
        raise NotAVideo("the download is not a video: it has no video stream (unsupported)")
    return Streams(
        container=data.get("format", {}).get("format_name", ""),
        video_codec=video.get("codec_name"),
        height=video.get("height"),
        audio_codec=audio.get("codec_name") if audio else None,
    )


def check_complete(path: str) -> None:
    """Raises NotAVideo when `path` holds less than its container declares:
    the packets of its last seconds are read (not the whole file) and must
    reach the declared duration. A source that closed the connection early
    without a Content-Length leaves exactly such a file."""
    options = input_options(path)
    declared = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                               *options], capture_output=True, text=True)
    try:
        duration = float(declared.stdout.strip())
    except ValueError:
        if declared.returncode != 0:
            raise NotAVideo("the download is not a video ffprobe can read (unsupported)") from None
        return  # no declared duration (a stream-like file): nothing to compare with
    if options[1] == "mpegts" or not duration > 0:
        return  # MPEG-TS declares no duration; its length is only estimated
    tail = subprocess.run(["ffprobe", "-v", "error", "-read_intervals", f"{max(0.0, duration - TAIL_SECONDS):.3f}%",
                           "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", *options],
                          capture_output=True, text=True)
    reached = 0.0
    for line in tail.stdout.splitlines():
        fields = line.split(",")
        try:
            reached = max(reached, float(fields[0]) + (float(fields[1]) if len(fields) > 1 and fields[1] else 0.0))
        except ValueError:
            continue
    if reached < duration - END_TOLERANCE:
        raise NotAVideo(f"the source closed the connection early: the file ends at {reached:.2f} s "
                        f"of its {duration:.2f} s")


def _run(argv: list[str], cancelled: threading.Event | None) -> tuple[int, str]:
    """Runs `argv`, killed as soon as `cancelled` is set; (status, stderr)."""
    with subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True) as process:
        while True:
            try:
                _, err = process.communicate(timeout=0.2)
                return process.returncode, err
            except subprocess.TimeoutExpired:
                if cancelled is not None and cancelled.is_set():
                    process.kill()
                    process.communicate()
                    raise NotAVideo("unavailable: the service shut down during the conversion; try again later") from None


def conform(source: str, target: str, cancelled: threading.Event | None = None) -> bool:
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
    status, err = _run(
        ["ffmpeg", "-y", "-nostdin", "-loglevel", "error", *input_options(source), "-map", "0:v:0", "-map", "0:a:0?",
         *video, *audio, "-movflags", "+faststart", "-f", "mp4", target], cancelled)
    if status != 0:
        # ffmpeg's own words, without the service's file names.
        last = (err.strip().splitlines() or [""])[-1].replace(source, "input").replace(target, "output")
        raise NotAVideo(f"converting the video to H.264/AAC MP4 failed: {last[-200:]}")
    return True
