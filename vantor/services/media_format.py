"""Rewrites every download into a fresh MP4 the engine's steps take: the
stream-copy cuts and concat, the merge that copies the picture, and the
conversion that decodes it.

The engine and every reader get only this output, never the fetched bytes:
a fetched file may be two formats at once (an MP4 whose first box hides a
DASH manifest naming local files), and only our own demuxer choice reads it.
What the sites serve is remuxed, not re-encoded: H.264, VP9 and AV1 pictures
in 8-bit 4:2:0 (at any height: the conversion scales them), AAC, Opus and
MP3 sound. Only what MP4 or a step cannot carry is converted (H.264 at most
1080 lines, key frames every 2 s; AAC): other codecs, other pixel formats
(the conversion would keep a 10-bit or 4:4:4 picture, which phones do not
play), HEVC (which the studio's browser does not play). Separate video and
audio downloads are merged here too.

Fetched bytes are hostile: ffmpeg's probing would open a playlist (HLS,
concat, DASH, ...) that names local files or further addresses. Every ffprobe
and ffmpeg run on a download therefore names its input format, chosen from a
short list of self-contained containers by the file's first bytes, and
allows that demuxer and the `file` protocol only. Every such run is a
bounded child (children.run). Pictures beyond 8K and overlong durations are
refused from the container's header, before anything is decoded; then the
first frames are decoded (no picture past 8K's pixel count allocated) and
must have the size the header declares, since the copied stream keeps
whatever its frames say.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from .children import Bounds, run

__all__ = ["CONTAINERS", "COPIED_AUDIO", "COPIED_PIXELS", "COPIED_VIDEO", "MAX_DURATION", "MAX_HEIGHT", "NotAVideo",
           "Streams", "check_complete", "check_declared", "check_frames", "input_options", "probe", "rewrite",
           "sniff", "stream_options"]

MAX_HEIGHT = 1080
KEY_FRAME_SECONDS = 2
# The largest picture opened: 8K (7680 x 4320, either way up, so at most
# 33.2 megapixels). Larger ones cost minutes of CPU to scale down.
MAX_LONG_SIDE, MAX_SHORT_SIDE = 7680, 4320
# A decoder option: no frame larger than 8K's pixel count is allocated.
_AT_MOST_8K = ("-max_pixels", str(MAX_LONG_SIDE * MAX_SHORT_SIDE))
# The longest video opened: 6 hours.
MAX_DURATION = 6 * 3600.0
# Copied into the MP4 as they are (ffprobe's codec names).
COPIED_VIDEO = ("h264", "vp9", "av1")
COPIED_PIXELS = ("yuv420p", "yuvj420p")
COPIED_AUDIO = ("aac", "opus", "mp3")
# Frames decoded to learn the picture's real size.
FIRST_FRAMES = 4

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




def check_declared(width: int | None, height: int | None, duration: float | None) -> None:
    """Raises NotAVideo (unsupported) for a declared picture larger than 8K
    or a duration past MAX_DURATION; unknown values pass."""
    if width and height and (max(width, height) > MAX_LONG_SIDE or min(width, height) > MAX_SHORT_SIDE):
        raise NotAVideo(f"unsupported: the video's picture is {width}x{height}; the service opens at most 8K "
                        f"({MAX_LONG_SIDE}x{MAX_SHORT_SIDE})")
    if duration is not None and duration > MAX_DURATION:
        raise NotAVideo(f"unsupported: the video is {duration / 3600:.1f} hours long; the service opens at most "
                        f"{MAX_DURATION / 3600:g} hours")


@dataclass(frozen=True)
class Streams:
    demuxer: str
    video_codec: str | None
    width: int | None
    height: int | None
    audio_codec: str | None
    duration: float | None


def _read_streams(path: str, bounds: Bounds, full: bool) -> tuple[list[dict[str, Any]], dict[str, Any]]:
    # Without find_stream_info ffprobe reads the container's header only and
    # decodes nothing (MP4 and Matroska declare their pictures there); with
    # it, no decoded picture is larger than 8K.
    done = run(["ffprobe", "-v", "error", *(_AT_MOST_8K if full else ["-nofind_stream_info"]), "-threads", "1",
                "-show_entries", "format=duration:stream=codec_type,codec_name,width,height", "-of", "json",
                *input_options(path)], bounds, "reading the video's header")
    if done.returncode != 0:
        raise NotAVideo("the download is not a video ffprobe can read (unsupported)")
    data = json.loads(done.stdout)
    return list(data.get("streams", [])), dict(data.get("format", {}))


def probe(path: str, bounds: Bounds) -> Streams:
    """`path`'s streams, refused (NotAVideo) when its picture or duration is
    past the bounds. MPEG-TS declares no picture size: only then are the
    first frames looked at, after its size bound (the file's) held."""
    demuxer = input_options(path)[1]
    streams, container = _read_streams(path, bounds, full=False)
    video = next((s for s in streams if s.get("codec_type") == "video"), None)
    if video is not None and not (video.get("width") and video.get("height")):
        streams, container = _read_streams(path, bounds, full=True)
        video = next((s for s in streams if s.get("codec_type") == "video"), None)
    audio = next((s for s in streams if s.get("codec_type") == "audio"), None)
    try:
        duration = float(container["duration"])
    except (KeyError, ValueError):
        duration = None
    width, height = (video.get("width"), video.get("height")) if video else (None, None)
    check_declared(width, height, duration)
    return Streams(demuxer, video.get("codec_name") if video else None, width, height,
                   audio.get("codec_name") if audio else None, duration)


def check_complete(path: str, streams: Streams, bounds: Bounds, expected: float | None = None) -> None:
    """Raises NotAVideo when `path` holds less than its container declares:
    the packets of its last seconds are read (not the whole file) and must
    reach the declared duration. A source that closed the connection early
    without a Content-Length leaves exactly such a file. MPEG-TS declares no
    duration: its packets' span is held to `expected` (an HLS playlist's
    total), when there is one; so is any container's duration."""
    if streams.demuxer == "mpegts":
        if expected is not None and expected > 0:
            _check_span(path, expected, bounds)
        return
    duration = streams.duration
    if duration is None or not duration > 0:
        return  # a stream-like file declares none at all
    if expected is not None and duration < expected - END_TOLERANCE:
        raise NotAVideo(f"the source closed the connection early: the file lasts {duration:.2f} s of the "
                        f"playlist's {expected:.2f} s")
    reached = _reach(path, max(0.0, duration - TAIL_SECONDS), bounds)
    if reached < duration - END_TOLERANCE:
        raise NotAVideo(f"the source closed the connection early: the file ends at {reached:.2f} s "
                        f"of its {duration:.2f} s")


def _times(line: str) -> list[float]:
    """The numbers of one `pts_time,duration_time` line (none when it holds none)."""
    try:
        return [float(field) for field in line.split(",") if field]
    except ValueError:
        return []


def _reach(path: str, start: float, bounds: Bounds) -> float:
    """The latest end of a packet read from `start` s on; counted line by
    line, so a file of thousands of frames a second is read whole, not cut
    at what a child's output keeps."""
    reached = [0.0]

    def packet(line: str) -> None:
        if times := _times(line):
            reached[0] = max(reached[0], sum(times[:2]))

    run(["ffprobe", "-v", "error", "-nofind_stream_info", "-read_intervals", f"{start:.3f}%",
         "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", *input_options(path)], bounds,
        "checking the download is whole", packet)
    return reached[0]


def _check_span(path: str, expected: float, bounds: Bounds) -> None:
    """An MPEG-TS file's packets, first to last, must span `expected` s."""
    first = run(["ffprobe", "-v", "error", "-nofind_stream_info", "-read_intervals", "%+#20",
                 "-show_entries", "packet=pts_time", "-of", "csv=p=0", *input_options(path)], bounds,
                "checking the download is whole")
    starts = [times[0] for line in first.stdout.splitlines() if (times := _times(line))]
    if not starts:
        raise NotAVideo("the download is not a video ffprobe can read (unsupported)")
    start = min(starts)
    span = _reach(path, start + max(0.0, expected - TAIL_SECONDS), bounds) - start
    if span < expected - END_TOLERANCE:
        raise NotAVideo(f"the source closed the connection early: its packets span {max(0.0, span):.2f} s "
                        f"of the playlist's {expected:.2f} s")


def rewrite(video: str, audio: str | None, target: str, bounds: Bounds,
            on_fraction: Callable[[float], None] = lambda f: None,
            expected: Sequence[float | None] = ()) -> None:
    """Writes `target`, a fresh MP4 made from the download `video` (and the
    separately downloaded `audio`): each input checked (bounds, whole, and
    against its HLS playlist's total in `expected`, in the same order), the
    fitting codecs copied, the rest converted, no metadata carried over."""
    inputs = [video] + ([audio] if audio else [])
    found = []
    for n, path in enumerate(inputs):
        streams = probe(path, bounds)
        check_complete(path, streams, bounds, expected[n] if n < len(expected) else None)
        found.append(streams)
    picture = found[0]
    if picture.video_codec is None:
        raise NotAVideo("the download is not a video: it has no video stream (unsupported)")
    video_options, audio_options = stream_options(picture, check_frames(video, picture, bounds), found[-1])
    opened = [option for path in inputs for option in input_options(path)]
    total = picture.duration or 0.0

    def progress(line: str) -> None:
        key, _, value = line.partition("=")
        if key == "out_time_us" and total > 0 and value.strip().isdigit():
            on_fraction(min(1.0, int(value) / 1e6 / total))

    done = run(["ffmpeg", "-y", "-nostdin", "-loglevel", "error", "-nostats", "-progress", "pipe:1", *opened,
                "-map", "0:v:0", "-map", f"{len(inputs) - 1}:a:0?", "-map_metadata", "-1", "-map_chapters", "-1",
                "-dn", "-sn", *video_options, *audio_options, "-movflags", "+faststart", "-f", "mp4", target],
               bounds, "converting the source video to MP4", progress)
    if done.returncode != 0:
        # ffmpeg's own words, without the service's file names.
        last = (done.stderr.strip().splitlines() or [""])[-1]
        for path in (*inputs, target):
            last = last.replace(path, "file")
        raise NotAVideo(f"writing the video as MP4 failed: {last[-200:]}")
    _check_output(target, bounds)


def _check_output(target: str, bounds: Bounds) -> None:
    """The output must read as an MP4 with a video stream by ffprobe's own
    probing (what every later reader does), not only by exit status."""
    done = run(["ffprobe", "-v", "error", "-nofind_stream_info", "-protocol_whitelist", "file",
                "-show_entries", "format=format_name:stream=codec_type", "-of", "json", target],
               bounds, "checking the converted video")
    data = json.loads(done.stdout or "{}") if done.returncode == 0 else {}
    kinds = [s.get("codec_type") for s in data.get("streams", [])]
    if "mp4" not in data.get("format", {}).get("format_name", "").split(",") or "video" not in kinds:
        raise NotAVideo("converting the video to MP4 left no whole MP4 file; try again later")



def check_frames(path: str, streams: Streams, bounds: Bounds) -> str | None:
    """The pixel format of `path`'s first frames, decoded; NotAVideo
    (unsupported) when they are larger than 8K or of another size than
    the header declares (a stream copy would hand on the frames' size)."""
    done = run(["ffprobe", "-v", "error", "-nofind_stream_info", "-threads", "1", *_AT_MOST_8K,
                "-select_streams", "v:0", "-read_intervals", f"%+#{FIRST_FRAMES}",
                "-show_entries", "frame=width,height,pix_fmt", "-of", "json", *input_options(path)],
               bounds, "reading the video's first frames")
    try:
        frames = [f for f in json.loads(done.stdout or "{}").get("frames", []) if isinstance(f, dict)]
    except ValueError:
        frames = []
    declared = f"{streams.width}x{streams.height}"
    too_large = re.search(r"Picture size (\d+)x(\d+) exceeds", done.stderr)
    if too_large:
        raise NotAVideo(f"unsupported: the video's frames are {too_large[1]}x{too_large[2]} while its header says "
                        f"{declared}; the service opens at most 8K ({MAX_LONG_SIDE}x{MAX_SHORT_SIDE})")
    if not frames:
        raise NotAVideo("unsupported: the video's first frames cannot be decoded")
    for frame in frames:
        size = f"{frame.get('width')}x{frame.get('height')}"
        if size != declared:
            raise NotAVideo(f"unsupported: the video's frames are {size} while its header says {declared}")
    return str(frames[0].get("pix_fmt") or "") or None


def stream_options(picture: Streams, pixel_format: str | None, sound: Streams) -> tuple[list[str], list[str]]:
    """ffmpeg's options for the picture and the sound: copied where the MP4
    and the engine's steps carry them, else converted."""
    if picture.video_codec in COPIED_VIDEO and pixel_format in COPIED_PIXELS:
        video = ["-c:v", "copy"]
    else:
        # ultrafast: this file is only cut and converted again by the engine;
        # a third of veryfast's time for about twice the size.
        video = ["-vf", f"scale=-2:'min({MAX_HEIGHT},ih)'", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "20",
                 "-pix_fmt", "yuv420p", "-force_key_frames", f"expr:gte(t,n_forced*{KEY_FRAME_SECONDS})"]
    audio = ["-c:a", "copy"] if sound.audio_codec in COPIED_AUDIO else ["-c:a", "aac", "-b:a", "160k"]
    return video, audio
