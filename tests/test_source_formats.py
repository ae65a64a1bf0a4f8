"""What the download service makes of the codecs sites serve: the format
yt-dlp is told to choose, the remux into a fresh MP4 (no picture
re-encoded), a recap from each, and a container header that lies about the
picture's size."""

from __future__ import annotations

import json
import struct
import subprocess
from pathlib import Path

import pytest

import vantor
from vantor.services import media_format
from vantor.services.children import Bounds
from vantor.services.media_format import NotAVideo, check_frames, probe, rewrite

ENCODERS = subprocess.run(["ffmpeg", "-hide_banner", "-encoders"], capture_output=True, text=True).stdout
AV1 = next((e for e in ("libsvtav1", "libaom-av1", "librav1e") if f" {e} " in ENCODERS), None)
AV1_FAST = {"libsvtav1": ["-preset", "12"], "libaom-av1": ["-cpu-used", "8", "-usage", "realtime"],
            "librav1e": ["-speed", "10"]}
SEGMENTS = [{"start": "0.5", "end": "2", "voiceover": "Here."}]


def film(path: Path, size: str, video: list[str], audio: list[str], seconds: float = 2.5, rate: int = 25) -> Path:
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", f"testsrc2=s={size}:r={rate}:d={seconds}",
                    "-f", "lavfi", "-i", f"sine=d={seconds}:sample_rate=48000", "-pix_fmt", "yuv420p", "-g", "25",
                    *video, *audio, "-shortest", str(path)], check=True)
    return path


def codecs(path: Path) -> tuple[str, ...]:
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name:format=format_name", "-of",
                          "json", str(path)], capture_output=True, text=True, check=True).stdout
    found = json.loads(out)
    return (found["format"]["format_name"], *(s["codec_name"] for s in found["streams"]))


@pytest.fixture
def commands(monkeypatch):
    """Every command the service's rewrite runs."""
    seen: list[list[str]] = []
    real = media_format.run
    monkeypatch.setattr(media_format, "run", lambda argv, *more, **kw: seen.append(argv) or real(argv, *more, **kw))
    return seen


VP9 = ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "200k"]
X264 = ["-c:v", "libx264", "-preset", "ultrafast"]
CASES = {
    "vp9-opus-webm": ("320x240", VP9, ["-c:a", "libopus"], "webm", ("vp9", "opus")),
    "av1-aac-mp4": ("320x240", ["-c:v", AV1 or "none", *AV1_FAST.get(AV1 or "", [])], ["-c:a", "aac"], "mp4",
                    ("av1", "aac")),
    "h264-1200-mkv": ("1600x1200", X264, ["-c:a", "aac"], "mkv", ("h264", "aac")),  # above 1080 lines
}


@pytest.mark.parametrize("case", CASES)
def test_each_served_codec_is_remuxed_not_reencoded_and_makes_a_recap(case, tmp_path, commands, engine):
    if case.startswith("av1") and AV1 is None:
        pytest.skip("this ffmpeg has no AV1 encoder to make the test film")
    size, video, audio, ext, expected = CASES[case]
    source = film(tmp_path / f"source.{ext}", size, video, audio, rate=10)
    target = tmp_path / "video.mp4"
    rewrite(str(source), None, str(target), Bounds.starting_now(120, 60))
    [written] = [c for c in commands if c[0] == "ffmpeg"]
    assert written[written.index("-c:v") + 1] == "copy" and "libx264" not in written
    assert codecs(target) == ("mov,mp4,m4a,3gp,3g2,mj2", *expected)

    # The engine's cut, merge and conversion take it: a recap through the stand-in services.
    from types import SimpleNamespace

    from standins import serve

    with serve(target) as (_, _, router):
        engine.requests = router
        engine.time = SimpleNamespace(sleep=lambda seconds: None)
        made = vantor.make_recap("https://www.youtube.com/watch?v=codec", SEGMENTS, voice="v", quiet=True,
                                 output_dir=tmp_path / "out", services="configured")
    assert codecs(made.final)[1:] == ("h264", "aac") and made.final_duration > 1


def test_what_mp4_or_the_steps_cannot_carry_is_converted_and_a_short_container_refused(tmp_path, commands):
    # VP8 (no MP4 codec) with Vorbis; a 4:4:4 VP9 picture (the conversion would keep 4:4:4).
    vp8 = film(tmp_path / "vp8.webm", "320x240", ["-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8"],
               ["-c:a", "libvorbis"])
    rgb = tmp_path / "rgb.webm"
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=2", *VP9,
                    "-pix_fmt", "gbrp", str(rgb)], check=True)
    for source, expected in ((vp8, ("h264", "aac")), (rgb, ("h264",))):
        rewrite(str(source), None, str(tmp_path / "out.mp4"), Bounds.starting_now(120, 60))
        assert "libx264" in commands[-2] and codecs(tmp_path / "out.mp4")[1:] == expected
    # A WebM that ends early is refused like an MP4 (its packets fall short of its declared duration).
    whole = film(tmp_path / "whole.webm", "320x240", VP9, ["-c:a", "libopus"], seconds=6)
    short = tmp_path / "short.webm"
    short.write_bytes(whole.read_bytes()[: whole.stat().st_size * 8 // 10])
    with pytest.raises(NotAVideo, match="closed the connection early"):
        rewrite(str(short), None, str(tmp_path / "out.mp4"), Bounds.starting_now(120, 60))


def lying_header(path: Path) -> Path:
    """An 8192x8192 H.264 stream in an MP4 whose sample description and
    track header say 320x240."""
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", "color=blue:s=8192x8192:d=0.2:r=10",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", str(path)], check=True)
    data = bytearray(path.read_bytes())
    entry = data.index(b"avc1", data.index(b"stsd"))  # a VisualSampleEntry: width, height 24 bytes after its type
    data[entry + 28: entry + 32] = struct.pack(">HH", 320, 240)
    track = data.index(b"tkhd")  # its last 8 bytes: width, height in 16.16 fixed point
    end = track - 4 + struct.unpack(">I", data[track - 4: track])[0]
    data[end - 8: end] = struct.pack(">II", 320 << 16, 240 << 16)
    path.write_bytes(bytes(data))
    return path


def test_a_header_that_lies_about_the_picture_is_refused_before_the_engine_runs(tmp_path, monkeypatch):
    from vantor.demo.video_site import VideoSite

    lie = lying_header(tmp_path / "lie.mp4")
    bounds = Bounds.starting_now(60, 60)
    header = probe(str(lie), bounds)  # passes the header's own bound
    with pytest.raises(NotAVideo, match=r"^unsupported: the video's frames are 8192x8192 while its header says "
                                        r"320x240; the service opens at most 8K \(7680x4320\)$"):
        check_frames(str(lie), header, bounds)

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    events = []
    with VideoSite(tmp_path / "www") as site:
        page = site.publish(lie, "lie")[0]
        with pytest.raises(Exception, match="the video's frames are 8192x8192 while its header says 320x240"):
            vantor.make_recap(page, SEGMENTS, voice="en-us", output_dir=tmp_path / "out", mkdir=True,
                              services="local", quiet=True, on_event=events.append)
    assert [e for e in events if e.kind in ("child", "engine")] == []


def offered(spec: str) -> list[dict]:
    """Formats as a site's extractor lists them: "id:vcodec:acodec:height" each ("?": not known)."""
    formats = []
    for key, vcodec, acodec, height in (item.split(":") for item in spec.split()):
        known = {name: value for name, value in (("vcodec", vcodec), ("acodec", acodec)) if value != "?"}
        formats.append({"format_id": key, "url": f"https://videos.example/{key}", "protocol": "https", **known,
                        "height": int(height) if height else None, "ext": "mp4"})
    return formats


SITE = ("18:avc1.42001E:mp4a.40.2:360 136:avc1.4d401f:none:720 247:vp09.00.31.08:none:720 "
        "398:av01.0.05M.08:none:720 137:avc1.640028:none:1080 248:vp09.00.40.08:none:1080 "
        "313:vp09.00.51.08:none:2160 140:none:mp4a.40.2: 251:none:opus:")
NO_H264_AT_720 = " ".join(f for f in SITE.split() if not f.startswith("136:"))


@pytest.mark.parametrize("formats, height, chosen", [
    (SITE, 720, ["136", "140"]),  # H.264 with AAC where it is offered at the height
    (SITE, 2160, ["137", "140"]),  # never above 1080 lines
    (NO_H264_AT_720, 720, ["398", "251"]),  # else the best at that height (copied), not H.264 at 360
    (NO_H264_AT_720, 480, ["18"]),  # the tallest within the height: 360 lines, one H.264/AAC file
    # A picture the rewrite copies before the ones it converts (10-bit VP9 and AV1, VP8) yt-dlp ranks higher.
    ("1:vp09.02.51.10:opus:720 2:av01.0.05M.10:opus:720 3:vp8:vorbis:720 4:vp09.00.51.08:opus:720", 720, ["4"]),
    ("1:?:?: 2:?:?:", 720, ["2"]),  # nothing known: what there is (the best by yt-dlp's own order)
])
def test_the_download_takes_the_tallest_picture_within_the_height_h264_first(formats, height, chosen):
    import yt_dlp

    from vantor.services.ytdlp_backend import FormatChoice

    choice = FormatChoice(height)
    with yt_dlp.YoutubeDL({"format": choice, "quiet": True, "check_formats": False}) as ydl:
        choice.ydl = ydl
        info = ydl.process_ie_result({"id": "v", "title": "t", "extractor": "x", "extractor_key": "X",
                                      "webpage_url": "https://videos.example/v", "formats": offered(formats)},
                                     download=False)
    assert [f["format_id"] for f in info.get("requested_formats") or [info]] == chosen
