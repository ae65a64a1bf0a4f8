"""The download service against hostile sources: a playlist posing as a
video, an internal service behind redirects, embedded addresses, HLS
segments and DNS rebinding, and a source that closes half-way.

All servers are on loopback. For the address rule, 127.0.0.2 plays the
public internet (the rule is patched to call it public) and 127.0.0.1 the
internal network."""

from __future__ import annotations

import socket
import subprocess
from contextlib import contextmanager
from pathlib import Path

import pytest
import requests

from hostile_site import Site, body, redirect
from service_helpers import ask, poll_until_done
from vantor.services import source_guard
from vantor.services.children import Bounds
from vantor.services.media_format import NotAVideo, check_complete, input_options, probe, sniff
from vantor.services.server import InProcessServer, Services, new_token

PUBLIC = "127.0.0.2"


@contextmanager
def served(tmp_path: Path, private_sources: str):
    server = InProcessServer(Services(tmp_path / "cache", token=new_token(), private_sources=private_sources))
    try:
        yield server
    finally:
        server.close()


def outcome(server: InProcessServer, address: str) -> dict:
    """The job's last answer: failed at the request or after polling."""
    job = ask(server.base_url, address)
    return poll_until_done(job["progress_url"])[-1] if job["success"] else job


def media_hash(path: Path | str) -> str:
    """The packets' hash per stream: the same media in any container."""
    return subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "mov", "-i", str(path), "-map", "0", "-c", "copy",
                           "-f", "streamhash", "-hash", "md5", "-"], capture_output=True, text=True, check=True).stdout


def cached(tmp_path: Path) -> list[Path]:
    return list((tmp_path / "cache" / "downloads").glob("*.mp4"))


@pytest.fixture
def public_127_0_0_2(monkeypatch):
    real = source_guard.is_public
    monkeypatch.setattr(source_guard, "is_public", lambda address: address == PUBLIC or real(address))


@pytest.fixture(scope="module")
def faststart(tmp_path_factory, source_video) -> bytes:
    path = tmp_path_factory.mktemp("faststart") / "film.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-movflags", "+faststart",
                    str(path)], check=True)
    return path.read_bytes()


def test_only_self_contained_containers_are_opened(tmp_path, source_video, faststart):
    ts = tmp_path / "clip.ts"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-f", "mpegts", str(ts)],
                   check=True)
    head = ts.read_bytes()[:1024]
    assert sniff(Path(source_video).read_bytes()[:64]) == "mov" and sniff(faststart[:64]) == "mov"
    assert sniff(b"\x1a\x45\xdf\xa3" + b"\0" * 60) == "matroska" and sniff(head) == "mpegts"
    # A third sync byte missing, a playlist, a concat script, a page: none opens.
    assert sniff(head[:376] + b"\0" + head[377:]) is None
    for other in (b"#EXTM3U\n#EXTINF:1,\n/etc/shadow\n", b"ffconcat version 1.0\nfile /etc/shadow\n",
                  b"<html><video src=x></video></html>", b"\0\0\0\x20ftyx" + b"\0" * 60, b""):
        assert sniff(other) is None, other
    assert input_options(source_video) == ["-f", "mov", "-format_whitelist", "mov", "-protocol_whitelist", "file",
                                           "-i", source_video]


def test_a_playlist_posing_as_a_video_serves_no_local_file(tmp_path, source_video):
    # A root-only folder with a file ffmpeg would hand back whole.
    hidden = tmp_path / "root-only"
    hidden.mkdir(mode=0o700)
    secret = hidden / "secret.ts"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-f", "mpegts", str(secret)],
                   check=True)
    secret.chmod(0o600)
    playlist = f"#EXTM3U\n#EXT-X-TARGETDURATION:12\n#EXTINF:12,\n{secret}\n#EXT-X-ENDLIST\n".encode()
    with Site({"/film.mp4": body(playlist)}) as site, served(tmp_path, "allow") as server:
        last = outcome(server, site.base_url + "/film.mp4")
    assert last["success"] is False and "not a video" in last["error"] and str(hidden) not in last["error"]
    assert cached(tmp_path) == []


@pytest.mark.parametrize("mode, how, reached", [
    ("refuse", "direct", False), ("refuse", "redirect", False), ("refuse", "embedded", False),
    ("refuse", "hls", False), ("direct", "redirect", False), ("direct", "embedded", False),
    ("direct", "direct", True), ("allow", "redirect", True)])
def test_an_internal_service_is_reached_only_when_allowed(tmp_path, source_video, public_127_0_0_2, mode, how,
                                                          reached):
    secret = Path(source_video).read_bytes()
    with Site({"/secret.mp4": body(secret)}) as internal:
        target = internal.base_url + "/secret.mp4"
        routes = {
            "/go": redirect(target),
            "/page.html": body(f'<html><body><video src="{target}"></video></body></html>'.encode(), "text/html"),
            "/list.m3u8": body(f"#EXTM3U\n#EXT-X-TARGETDURATION:12\n#EXTINF:12,\n{target}\n#EXT-X-ENDLIST\n".encode(),
                               "application/vnd.apple.mpegurl"),
        }
        with Site(routes, host=PUBLIC) as attacker, served(tmp_path, mode) as server:
            address = {"direct": target, "redirect": attacker.base_url + "/go", "embedded": attacker.base_url + "/page.html",
                       "hls": attacker.base_url + "/list.m3u8"}[how]
            last = outcome(server, address)
            if reached:
                (tmp_path / "got").write_bytes(requests.get(last["download_url"], timeout=30).content)
                assert last["success"] and media_hash(tmp_path / "got") == media_hash(source_video)
            else:
                assert last["success"] is False and "private" in last["error"], last
                assert internal.hits == [] and cached(tmp_path) == []


def test_a_name_that_resolves_anew_cannot_reach_the_internal_address(tmp_path, source_video, public_127_0_0_2,
                                                                     monkeypatch):
    """DNS rebinding: the page's name resolves to the public address first and
    to the internal one afterwards, on the same port."""
    with Site({"/secret.mp4": body(Path(source_video).read_bytes())}) as internal:
        port = internal.server.server_address[1]
        page = b'<html><body><video src="/secret.mp4"></video></body></html>'
        with Site({"/page.html": body(page, "text/html")}, host=PUBLIC, port=port), served(tmp_path, "refuse") as server:
            answers = iter([PUBLIC])

            def resolve(host, port):
                if host != "rebind.test":
                    return socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)
                address = next(answers, "127.0.0.1")
                return [(socket.AF_INET, socket.SOCK_STREAM, 6, "", (address, port))]

            monkeypatch.setattr(source_guard, "_resolve", resolve)
            last = outcome(server, f"http://rebind.test:{port}/page.html")
    assert last["success"] is False and internal.hits == []


def test_a_source_that_closes_half_way_is_not_cached(tmp_path, faststart):
    half = faststart[: len(faststart) // 2]
    with Site({"/film.mp4": body(half, length=False), "/whole.mp4": body(faststart, length=False)}) as site, \
            served(tmp_path, "allow") as server:
        last = outcome(server, site.base_url + "/film.mp4")
        assert last["success"] is False and "closed the connection early" in last["error"], last
        assert cached(tmp_path) == [] and list((tmp_path / "cache" / "downloads" / "partial").iterdir()) == []
        # The same source sent whole is a finished download.
        assert outcome(server, site.base_url + "/whole.mp4")["progress"] == 1000


def test_completeness_reads_the_end_against_the_declared_duration(tmp_path, faststart):
    bounds = Bounds.starting_now(60, 60)
    whole = tmp_path / "whole.mp4"
    whole.write_bytes(faststart)
    check_complete(str(whole), probe(str(whole), bounds), bounds)
    short = tmp_path / "short.mp4"
    short.write_bytes(faststart[: len(faststart) * 9 // 10])  # the last second or so missing
    with pytest.raises(NotAVideo, match="closed the connection early"):
        check_complete(str(short), probe(str(short), bounds), bounds)


@pytest.mark.parametrize("address, public", [
    ("8.8.8.8", True), ("2001:4860:4860::8888", True), ("127.0.0.1", False), ("127.255.0.9", False),
    ("10.1.2.3", False), ("172.16.0.1", False), ("172.31.255.255", False), ("172.32.0.1", True),
    ("192.168.1.1", False), ("169.254.169.254", False), ("100.64.0.1", False), ("0.0.0.0", False),
    ("224.0.0.1", False), ("239.255.255.250", False), ("255.255.255.255", False), ("::1", False), ("::", False),
    ("fe80::1%eth0", False), ("fc00::1", False), ("ff02::1", False), ("::ffff:127.0.0.1", False),
    ("::ffff:8.8.8.8", True), ("not an address", False)])
def test_which_addresses_are_public(address, public):
    assert source_guard.is_public(address) is public


@pytest.mark.parametrize("raw, answer", [
    ("ERROR: [generic] x: Unable to download webpage: HTTP Error 503: Service Unavailable", "HTTP 503; try again"),
    ("ERROR: [generic] x: Unable to download webpage: HTTP Error 404: Not Found", "unavailable at that address"),
    ("ERROR: [generic] x: Unable to download webpage: [Errno 111] Connection refused", "unavailable at that address"),
    ("ERROR: Unsupported URL: http://x/y", "unsupported: the page has no video"), ("ERROR: x: Read timed out.", "stalled"),
    ("ERROR: [youtube] x: Unable to extract yt initial data; please report this issue on https://x/y",
     "cannot read this site"),
    ("ERROR: [site] 1: No video formats found!", "cannot read this site"),
    ("ERROR: x: This is a private video. Sign in", "private"),
    ("ERROR: x: Got server HTTP error: Downloaded 5 bytes, expected 9 bytes", "closed the connection early"),
    ("ERROR: x: IncompleteRead(10 bytes read, 5 more expected)", "closed the connection early")])
def test_errors_are_a_few_plain_answers(raw, answer):
    from vantor.services.ytdlp_backend import _public_error

    said = _public_error(raw + " /root/.cache/vantor/downloads/partial/k-1/video.mp4", 60)
    assert answer in said and "/root" not in said


def test_recap_of_a_source_that_closes_half_way_fails(tmp_path, faststart):
    import json
    import sys

    from child_env import child_env

    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "0", "end": "2", "voiceover": "Hi."}]))
    with Site({"/film.mp4": body(faststart[: len(faststart) // 2], length=False)}) as site:
        env = child_env(VANTOR_CACHE_DIR=str(tmp_path / "cache"))
        env.pop("VANTOR_SERVICES_URL", None)
        done = subprocess.run([sys.executable, "-m", "vantor", "recap", site.base_url + "/film.mp4", str(segments),
                               "--services", "local", "--voice", "en-us", "--mkdir", "--output-dir",
                               str(tmp_path / "out")], cwd=Path(__file__).resolve().parents[1], env=env,
                              capture_output=True, text=True, timeout=300)
    assert done.returncode == 1 and "closed the connection early" in done.stderr and done.stdout == "", done.stderr
    assert cached(tmp_path) == [] and not (tmp_path / "out" / "FINAL_RECAP.mp4").exists()


def test_a_real_hls_stream_still_downloads(tmp_path, source_video):
    """yt-dlp's own HLS downloader fetches the segments (through the guarded
    handler); its MPEG-TS result opens as MPEG-TS and becomes an MP4."""
    from vantor.demo.video_site import VideoSite

    www = tmp_path / "www"
    (www / "hls").mkdir(parents=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-f", "hls", "-hls_time", "4",
                    "-hls_playlist_type", "vod", str(www / "hls" / "film.m3u8")], check=True)
    with VideoSite(www) as site, served(tmp_path, "direct") as server:
        last = outcome(server, site.base_url + "/hls/film.m3u8")
        assert last["success"] and last["progress"] == 1000, last
        got = tmp_path / "got.mp4"
        got.write_bytes(requests.get(last["download_url"], timeout=60).content)
    from service_helpers import streams

    info = streams(got)
    assert "mp4" in info["format"] and info["video"] == "h264" and info["duration"] > 11


@pytest.mark.parametrize("keys, reached", [
    (['METHOD=SAMPLE-AES,URI="{key}"'], False), (['METHOD=SAMPLE-AES-CTR,URI="{key}"'], False),
    (['METHOD=SAMPLE-AES,URI="{key}"', "METHOD=NONE"], False), (['URI="{key}",METHOD=SAMPLE-AES'], False),
    (["METHOD=NONE"], True)], ids=["sample-aes", "sample-aes-ctr", "then-none", "uri-first", "none"])
def test_hls_that_yt_dlp_would_hand_to_ffmpeg_is_unsupported(tmp_path, source_video, keys, reached):
    """yt-dlp passes playlists with key methods it cannot decrypt to ffmpeg's
    own HTTP client, outside the guard: refused before any segment or key is
    asked for, even where private addresses are allowed."""
    ts = Path(source_video).with_suffix(".ts")
    if not ts.exists():
        subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-f", "mpegts", str(ts)],
                       check=True)
    with Site({"/seg.ts": body(ts.read_bytes(), "video/mp2t"), "/key": body(b"k" * 16, "application/octet-stream")}) \
            as internal:
        tags = "".join(f"#EXT-X-KEY:{k.format(key=internal.base_url + '/key')}\n" for k in keys)
        playlist = f"#EXTM3U\n#EXT-X-TARGETDURATION:12\n{tags}#EXTINF:12,\n{internal.base_url}/seg.ts\n#EXT-X-ENDLIST\n"
        with Site({"/list.m3u8": body(playlist.encode(), "application/vnd.apple.mpegurl")}) as attacker, \
                served(tmp_path, "allow") as server:
            last = outcome(server, attacker.base_url + "/list.m3u8")
    if reached:  # the same playlist without a foreign key method is fetched natively
        assert last["success"] and internal.hits == ["/seg.ts"], last
    else:
        assert last["success"] is False and last["error"].startswith("unsupported: the HLS stream is encrypted"), last
        assert internal.hits == [] and cached(tmp_path) == []


@pytest.mark.parametrize("tag, native", [
    ("#EXT-X-KEY:METHOD=AES-128,URI=\"k\"", True), ("#EXT-X-KEY:METHOD=NONE\r", True),
    ("#EXT-X-KEY:METHOD=AES-128X,URI=\"k\"", False), ("#EXT-X-SESSION-KEY:METHOD=SAMPLE-AES,URI=\"k\"", False),
    ("#EXT-X-KEY:URI=\"k\"", False), ("#EXT-X-KEY:METHOD=aes-128,URI=\"k\"", False)])
def test_which_hls_key_methods_are_fetched_natively(tag, native):
    from vantor.services.ytdlp_backend import DownloadFailed, check_hls

    playlist = f"#EXTM3U\n{tag}\n#EXTINF:4,\nseg.ts\n#EXT-X-ENDLIST\n"
    if native:
        assert check_hls(playlist) == playlist
    else:
        with pytest.raises(DownloadFailed, match="^unsupported: the HLS stream is encrypted"):
            check_hls(playlist)


@pytest.mark.parametrize("fmt, refused", [
    ({"protocol": "https"}, None), ({"protocol": "http_dash_segments"}, None), ({"protocol": "rtmp"}, "rtmp stream"),
    ({"protocol": "m3u8_native", "is_live": True}, "live"), ({"protocol": "f4m"}, "f4m stream"),
    ({"protocol": "https", "has_drm": True}, "https stream"), ({"protocol": "https", "width": 8192, "height": 4320},
                                                              "8192x4320"), ({}, "unknown kind"),
    ({"protocol": "https", "duration": 6 * 3600 + 60}, "6.0 hours long")])
def test_only_formats_yt_dlp_fetches_itself_are_downloaded(fmt, refused):
    import yt_dlp

    from vantor.services.ytdlp_backend import DownloadFailed, _native_formats

    info = {"id": "x", "url": "https://v.example/x", "ext": "mp4", **fmt}
    with yt_dlp.YoutubeDL({"external_downloader": {"default": "native"}, "quiet": True}) as ydl:
        if refused is None:
            assert [f["url"] for f in _native_formats(ydl, info)] == [info["url"]]
        else:
            with pytest.raises(DownloadFailed, match=f"^unsupported: .*{refused}"):
                _native_formats(ydl, info)


def _polyglot(real_mp4: bytes, secret: Path, path: Path) -> None:
    """An MP4 whose first box (size "<!--", type free) is a DASH manifest
    naming `secret`; `real_mp4` (moov after mdat) follows it, its chunk
    offsets moved past the box. The box is a sparse hole on disk."""
    box = int.from_bytes(b"<!--", "big")
    mpd = (f'<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" mediaPresentationDuration="PT3S"><Period>'
           f'<AdaptationSet mimeType="video/mp4"><Representation id="1" bandwidth="1">'
           f"<BaseURL>file://{secret}</BaseURL></Representation></AdaptationSet></Period></MPD>")
    moved = bytearray(real_mp4)
    at = 0
    while at < len(moved):  # top-level boxes; chunk offsets live in moov's stco tables
        size, kind = int.from_bytes(moved[at:at + 4], "big"), bytes(moved[at + 4:at + 8])
        if kind == b"moov":
            table = moved.find(b"stco", at, at + size)
            while table != -1:
                count = int.from_bytes(moved[table + 8:table + 12], "big")
                for n in range(count):
                    o = table + 12 + 4 * n
                    moved[o:o + 4] = (int.from_bytes(moved[o:o + 4], "big") + box).to_bytes(4, "big")
                table = moved.find(b"stco", table + 12, at + size)
        at += size
    with open(path, "wb") as f:
        f.write(b"<!--free-->" + mpd.encode() + b"<!--")
        f.seek(box - 3)
        f.write(b"-->" + bytes(moved))


def _stream_file(path: Path):
    def answer(h) -> None:
        h.send_response(200)
        h.send_header("Content-Type", "video/mp4")
        h.send_header("Content-Length", str(path.stat().st_size))
        h.end_headers()
        with open(path, "rb") as f:
            while chunk := f.read(1 << 20):
                h.wfile.write(chunk)

    return answer


def test_an_mp4_that_is_also_a_dash_manifest_is_handed_on_as_a_fresh_mp4(tmp_path, source_video):
    hidden = tmp_path / "root-only"
    hidden.mkdir(mode=0o700)
    secret = hidden / "blue.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=blue:s=320x240:d=3", "-c:v",
                    "libx264", str(secret)], check=True)
    secret.chmod(0o600)
    polyglot = tmp_path / "polyglot.mp4"
    _polyglot(Path(source_video).read_bytes(), secret, polyglot)
    assert media_hash(polyglot) == media_hash(source_video)  # an MP4 to the mov demuxer
    with Site({"/film.mp4": _stream_file(polyglot)}) as site, served(tmp_path, "allow") as server:
        last = outcome(server, site.base_url + "/film.mp4")
        assert last["success"], last
        handed_on = requests.get(last["download_url"], timeout=60).content
    polyglot.unlink()
    assert len(handed_on) < 2 * Path(source_video).stat().st_size and b"<MPD" not in handed_on
    assert str(secret).encode() not in handed_on and secret.read_bytes()[-2000:] not in handed_on
    got = tmp_path / "got"
    got.write_bytes(handed_on)
    assert media_hash(got) == media_hash(source_video)
    probed = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of", "csv=p=0",
                             str(got)], capture_output=True, text=True, check=True).stdout
    assert "mp4" in probed.split(","), probed


def test_a_picture_past_8k_is_refused_before_decoding(tmp_path):
    bomb = tmp_path / "bomb.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=blue:s=8192x8192:d=0.2:r=10",
                    "-c:v", "libx264", "-preset", "ultrafast", str(bomb)], check=True)
    with Site({"/film.mp4": body(bomb.read_bytes())}) as site, served(tmp_path, "allow") as server:
        last = outcome(server, site.base_url + "/film.mp4")
    assert last["success"] is False and last["error"].startswith("unsupported: the video's picture is 8192x8192")
    assert cached(tmp_path) == []


@pytest.mark.parametrize("width, height, hours, refused", [
    (7680, 4320, 6, False), (4320, 7680, 6, False), (7681, 10, 1, True), (10, 7681, 1, True),
    (4321, 4321, 1, True), (7680, 4321, 1, True), (None, None, 6.01, True), (None, 100, None, False)])
def test_the_picture_and_duration_bounds(width, height, hours, refused):
    from vantor.services.media_format import check_declared

    if refused:
        with pytest.raises(NotAVideo, match="^unsupported: "):
            check_declared(width, height, hours * 3600 if hours else None)
    else:
        check_declared(width, height, hours * 3600 if hours else None)


@pytest.fixture(scope="module")
def fragments(tmp_path_factory, source_video) -> dict[str, bytes]:
    """The 12 s source as six 2 s MPEG-TS fragments, by name."""
    folder = tmp_path_factory.mktemp("fragments")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", "-f", "hls", "-hls_time", "2",
                    "-hls_playlist_type", "vod", "-hls_segment_filename", str(folder / "f%d.ts"),
                    str(folder / "list.m3u8")], check=True)
    return {path.name: path.read_bytes() for path in folder.glob("f*.ts")}


@pytest.mark.parametrize("fourth, said", [("missing", "fragment"), ("internal", "private")])
def test_a_fragment_that_fails_fails_the_job(tmp_path, fragments, public_127_0_0_2, fourth, said):
    """The fourth of six fragments answers 404, or is on an internal address
    the guard refuses: the job fails saying so, and nothing is cached."""
    with Site({"/f3.ts": body(fragments["f3.ts"], "video/mp2t")}) as internal:
        names = sorted(fragments, key=lambda name: int(name[1:-3]))
        lines = [f"#EXTINF:2.0,\n{internal.base_url + '/f3.ts' if n == 3 and fourth == 'internal' else name}\n"
                 for n, name in enumerate(names)]
        playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-PLAYLIST-TYPE:VOD\n" + "".join(lines) + "#EXT-X-ENDLIST\n"
        routes = {"/list.m3u8": body(playlist.encode(), "application/vnd.apple.mpegurl")}
        routes |= {f"/{name}": body(data, "video/mp2t") for name, data in fragments.items() if name != "f3.ts"}
        with Site(routes, host=PUBLIC) as site, served(tmp_path, "refuse") as server:
            last = outcome(server, site.base_url + "/list.m3u8")
    assert last["success"] is False and said in last["error"], (last["error"], last.get("detail"))
    assert cached(tmp_path) == [] and internal.hits == []


def test_completeness_of_mpeg_ts_against_its_playlist_and_of_matroska(tmp_path, fragments, source_video):
    from vantor.services.ytdlp_backend import playlist_seconds

    bounds = Bounds.starting_now(60, 60)
    names = sorted(fragments, key=lambda name: int(name[1:-3]))
    whole, short = tmp_path / "whole.ts", tmp_path / "short.ts"
    whole.write_bytes(b"".join(fragments[name] for name in names))  # as yt-dlp's HLS downloader joins them
    short.write_bytes(b"".join(fragments[name] for name in names[:4]))
    check_complete(str(whole), probe(str(whole), bounds), bounds, 12.0)
    with pytest.raises(NotAVideo, match="span 8.* of the playlist's 12.00 s"):
        check_complete(str(short), probe(str(short), bounds), bounds, 12.0)
    assert playlist_seconds("#EXTM3U\n#EXTINF:2.5,\na.ts\n#EXTINF:4,title\nb.ts\n#EXT-X-ENDLIST\n") == 6.5
    mkv = tmp_path / "film.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", source_video, "-c", "copy", str(mkv)], check=True)
    check_complete(str(mkv), probe(str(mkv), bounds), bounds)
    cut = tmp_path / "cut.mkv"
    cut.write_bytes(mkv.read_bytes()[: mkv.stat().st_size * 6 // 10])
    with pytest.raises(NotAVideo, match="closed the connection early"):
        check_complete(str(cut), probe(str(cut), bounds), bounds)


def test_a_whole_file_of_3000_frames_a_second_is_not_refused(tmp_path):
    film = tmp_path / "fast.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=c=gray:s=32x32:r=3000:d=6",
                    "-c:v", "libx264", "-preset", "ultrafast", str(film)], check=True)
    bounds = Bounds.starting_now(60, 60)
    check_complete(str(film), probe(str(film), bounds), bounds)  # 12,000 packets in its last 4 s
