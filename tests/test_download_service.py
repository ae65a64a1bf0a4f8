"""The local download service: yt-dlp on a loopback video site, the job
exchange the engine's client speaks, the shared cache and the allow-list."""

from __future__ import annotations

import ipaddress
import subprocess
import re
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
import requests

from service_helpers import GatedBackend, ask, poll_until_done, streams
from vantor.services import bind, start_local_services
from vantor.services.app import ClientAllowList
from vantor.services.cache import FileCache
from vantor.services.limits import Limits
from vantor.services.local import DownloadError, LocalServices
from vantor.services.server import InProcessServer, Services
from standins.media import make_source_webm
from vantor.demo.video_site import VideoSite


@pytest.fixture(scope="module")
def site(tmp_path_factory, source_video):
    root = tmp_path_factory.mktemp("site")
    webm = make_source_webm(str(root / "clip.webm"), seconds=4)
    with VideoSite(root / "www") as site:
        site.mp4 = site.publish(source_video, "film")
        site.webm = site.publish(webm, "clip")
        (root / "www" / "notes.txt").write_text("just text, no video\n")
        yield site


@pytest.fixture(scope="module")
def services(tmp_path_factory):
    with start_local_services(cache_dir=tmp_path_factory.mktemp("cache")) as services:
        yield services


def serve(tmp_path, **options) -> InProcessServer:
    return InProcessServer(Services(tmp_path / "cache", **options))


@pytest.mark.parametrize("source, how", [("mp4", 0), ("mp4", 1), ("webm", 0), ("webm", 1)], ids=[
    "mp4-page", "mp4-direct", "webm-page", "webm-direct"])
def test_video_pages_and_files_become_mp4_with_their_own_codecs(services, site, tmp_path, source, how):
    address = getattr(site, source)[how]
    job = ask(services.base_url, address)
    assert job["success"] and job["progress_url"] == f"{services.base_url}/progress/{job['id']}", job
    answers = poll_until_done(job["progress_url"])
    figures = [a["progress"] for a in answers]
    assert figures == sorted(figures) and figures[-1] == 1000 and all(a["success"] for a in answers)
    origin = services.base_url.rsplit("/", 1)[0]  # the file address holds a capability, not the token
    assert re.fullmatch(re.escape(origin) + r"/files/[A-Za-z0-9_-]{32}\.mp4", answers[-1]["download_url"])
    fetched = requests.get(answers[-1]["download_url"], timeout=60)
    assert fetched.status_code == 200 and int(fetched.headers["content-length"]) == len(fetched.content)
    (tmp_path / "got.mp4").write_bytes(fetched.content)
    got = streams(tmp_path / "got.mp4")
    codecs = {"mp4": ("h264", "aac"), "webm": ("vp9", "opus")}[source]  # remuxed, not re-encoded
    assert "mp4" in got["format"] and (got["video"], got["audio"]) == codecs and got["duration"] > 3


def test_separate_video_and_audio_are_fetched_natively_and_merged_by_the_rewrite(services, tmp_path):
    """A DASH manifest with separate video and audio: yt-dlp (which has no
    ffmpeg here) fetches both, the service's rewrite merges them."""
    dash = tmp_path / "www" / "dash"
    dash.mkdir(parents=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=s=320x240:d=6:r=25", "-f", "lavfi",
                    "-i", "sine=d=6", "-c:v", "libx264", "-g", "25", "-c:a", "aac", "-map", "0:v", "-map", "1:a",
                    "-f", "dash", "-seg_duration", "2", "-adaptation_sets", "id=0,streams=v id=1,streams=a",
                    str(dash / "film.mpd")], check=True)
    with VideoSite(tmp_path / "www") as site:
        last = poll_until_done(ask(services.base_url, site.base_url + "/dash/film.mpd")["progress_url"])[-1]
        assert last["success"] and last["progress"] == 1000, last
        (tmp_path / "got.mp4").write_bytes(requests.get(last["download_url"], timeout=60).content)
    got = streams(tmp_path / "got.mp4")
    assert got["video"] == "h264" and got["audio"] == "aac" and 5.5 < got["duration"] < 6.5, got


def test_cache_hit_and_a_second_process(services, site, tmp_path):
    address = site.mp4[1] + "?again"
    first = ask(services.base_url, address)
    poll_until_done(first["progress_url"])
    again = ask(services.base_url, address)
    assert again["id"] != first["id"] and requests.get(again["progress_url"], timeout=15).json()["progress"] == 1000
    # Another service over the same cache directory, as a second process would be
    # (with the same rule for the loopback site's file).
    other = InProcessServer(Services(services._server.services.cache_dir,
                                     download_backend=GatedBackend("-", private_sources="direct")))
    try:
        answer = poll_until_done(ask(other.base_url, address)["progress_url"], limit=1)
        assert answer[-1]["progress"] == 1000 and other.services.jobs.backend.calls == []
    finally:
        other.close()


@pytest.mark.parametrize("address, reason", [
    ("ftp://127.0.0.1/film.mp4", "unsupported address"), ("/media/missing.mp4", "unavailable"),
    ("", "unsupported address"), ("https://no-such-host.invalid/watch?v=1", "does not resolve")])
def test_failures_answer_the_job_request_with_the_reason(services, site, engine, address, reason):
    address = site.base_url + address if address.startswith("/") else address
    job = ask(services.base_url, address)
    assert job["success"] is False and reason in job["error"], job
    engine.time = type("NoSleep", (), {"sleep": staticmethod(lambda s: None)})
    with bind(services), pytest.raises(Exception, match="^Download API error: .*" + reason):
        engine._download_video(address, "/nonexistent/never-written.mp4")
    with pytest.raises(DownloadError, match=reason):
        services.prefetch(address)


def test_a_file_that_is_no_video_fails_its_job(services, site):
    job = ask(services.base_url, site.base_url + "/notes.txt")
    # A small file fails before or after the job request is answered.
    last = poll_until_done(job["progress_url"])[-1] if job["success"] else job
    assert last["success"] is False and "not a video" in last["error"]
    with pytest.raises(DownloadError, match="not a video"):
        services.prefetch(site.base_url + "/notes.txt")


def test_a_job_outlives_sixty_polls_and_is_joined(tmp_path, source_video):
    backend = GatedBackend(source_video)
    server = serve(tmp_path, download_backend=backend)
    try:
        job = ask(server.base_url, "https://videos.example/long")
        answers = [requests.get(job["progress_url"], timeout=15).json() for _ in range(61)]
        assert all(a["success"] and a["progress"] == 450 and "download_url" not in a for a in answers)
        assert ask(server.base_url, "https://videos.example/long")["id"] == job["id"]  # joins, not restarts
        backend.release.set()
        assert poll_until_done(job["progress_url"])[-1]["progress"] == 1000
        assert backend.calls == ["https://videos.example/long"]
    finally:
        server.close()


def test_a_failed_download_leaves_nothing_cached(tmp_path, source_video):
    backend = GatedBackend(source_video, fail=True)
    server = serve(tmp_path, download_backend=backend)
    try:
        job = ask(server.base_url, "https://videos.example/flaky")
        backend.release.set()
        last = poll_until_done(job["progress_url"])[-1]
        assert last == {"success": False, "progress": 0, "state": "failed", "error": "connection reset halfway"}
        assert requests.get(f"{server.base_url}/files/{job['id']}.mp4", timeout=15).status_code == 404
        assert list((tmp_path / "cache" / "downloads").glob("*.mp4")) == []
        assert list((tmp_path / "cache" / "downloads" / "partial").iterdir()) == []
        backend.release.clear()  # held, so the retry's answer is its job (not a failure that raced it)
        retry = ask(server.base_url, "https://videos.example/flaky")  # a re-run starts over
        assert retry["id"] != job["id"] and len(backend.calls) == 2
    finally:
        server.close()


def test_one_download_per_address_across_services_sharing_a_cache(tmp_path, source_video):
    backends = [GatedBackend(source_video), GatedBackend(source_video)]
    servers = [serve(tmp_path, download_backend=b) for b in backends]
    try:
        with ThreadPoolExecutor(2) as pool:
            jobs = list(pool.map(lambda s: ask(s.base_url, "https://videos.example/shared"), servers))
        threading.Event().wait(0.5)
        assert sum(len(b.calls) for b in backends) == 1  # the other waits on the lock
        for b in backends:
            b.release.set()
        finals = [poll_until_done(j["progress_url"])[-1] for j in jobs]
        bodies = {requests.get(f["download_url"], timeout=15).content for f in finals}
        assert len(bodies) == 1 and sum(len(b.calls) for b in backends) == 1
    finally:
        for s in servers:
            s.close()


def test_job_limit_and_files_only_by_finished_job(tmp_path, source_video):
    backend = GatedBackend(source_video)
    server = serve(tmp_path, download_backend=backend, limits=Limits(max_jobs=1))
    try:
        first = ask(server.base_url, "https://videos.example/a")
        refused = ask(server.base_url, "https://videos.example/b")
        assert refused["success"] is False and "limit" in refused["error"]
        for path in (f"/files/{first['id']}.mp4", "/files/nope.mp4", "/files/..%2F..%2Fetc%2Fpasswd.mp4",
                     "/progress/nope"):
            assert requests.get(server.base_url + path, timeout=15).status_code == 404, path
        backend.release.set()
        url = poll_until_done(first["progress_url"])[-1]["download_url"]
        whole = requests.get(url, timeout=15).content
        part = requests.get(url, headers={"Range": "bytes=100-199"}, timeout=15)
        assert part.status_code == 206 and part.content == whole[100:200]
    finally:
        server.close()


def test_clients_outside_the_allow_list_get_403(tmp_path):
    server = serve(tmp_path, allow=[ipaddress.ip_network("192.0.2.0/24")])  # loopback not among them
    try:
        for answer in (requests.get(f"{server.base_url}/ajax/download.php?url=x", timeout=15),
                       requests.post(f"{server.base_url}/api/generate-audio-frontend", json={}, timeout=15)):
            assert answer.status_code == 403
    finally:
        server.close()
    gate = ClientAllowList(None, [ipaddress.ip_network("127.0.0.0/8")])
    assert gate.allowed("127.0.0.5") and gate.allowed("::ffff:127.0.0.1")
    assert not gate.allowed("10.1.2.3") and not gate.allowed(None) and not gate.allowed("::1")


def test_cache_evicts_least_recently_used(tmp_path):
    import os

    cache = FileCache(tmp_path, ".bin", max_bytes=350)
    for age, key in enumerate("abc", 1):
        os.utime(cache.put_bytes(key, b"x" * 100), (age, age))
    assert cache.get("a") is not None  # used now: the newest
    cache.put_bytes("d", b"y" * 100)  # 400 bytes: the least recently used goes
    assert sorted(p.stem for p in tmp_path.glob("*.bin")) == ["a", "c", "d"]
    assert cache.get("b") is None and list((tmp_path / "partial").iterdir()) == []


def test_router_and_binding(engine):
    from vantor import _service_settings as settings

    router = LocalServices("http://127.0.0.1:9").router
    assert router.route(settings.DOWNLOAD_API_BASE + "/ajax/download.php?url=x") == \
        "http://127.0.0.1:9/ajax/download.php?url=x"
    assert router.route(f"https://{settings.TTS_HOST}/api/generate-audio-frontend") == \
        "http://127.0.0.1:9/api/generate-audio-frontend"
    assert router.route("http://127.0.0.1:5/progress/1") == "http://127.0.0.1:5/progress/1"
    assert router.exceptions is requests.exceptions
    from vantor.bindings import current_bindings

    before = engine.requests
    with pytest.raises(KeyError), bind(LocalServices("http://127.0.0.1:9")) as bound:
        # A per-run binding: the module's own name stays as it is.
        assert current_bindings()["requests"] is bound.router and engine.requests is before
        raise KeyError("boom")
    assert engine.requests is before and "requests" not in current_bindings()


def test_a_long_lived_service_forgets_old_ended_jobs(tmp_path, source_video, monkeypatch):
    from vantor.services import download_jobs

    monkeypatch.setattr(download_jobs, "KEEP_ENDED", 3)
    jobs = download_jobs.Jobs(GatedBackend(source_video), tmp_path, Limits())
    try:
        jobs.cache.put_bytes(download_jobs.cache_key("https://v.example/x", 1080), b"video")
        ids = [jobs.request("https://v.example/x", 1080).id for _ in range(5)]
        assert [jobs.get(i) is not None for i in ids] == [False, False, True, True, True]
    finally:
        jobs.close()


def test_the_rewrite_to_mp4_is_shown_as_converting_with_its_own_percentage(tmp_path, source_video):
    import io

    from vantor.recap.engine.progress_view import showing_progress
    from vantor.services.client import ServicesClient
    from vantor.studio.engine_bridge import _figures

    backend = GatedBackend(source_video, stage="converting")
    server = serve(tmp_path, download_backend=backend)
    seen, pipe = [], io.StringIO()
    try:
        def on_progress(progress):
            seen.append(progress)
            backend.release.set()

        with showing_progress(pipe) as view:
            ServicesClient(server.base_url).download("https://videos.example/webm", on_progress=on_progress,
                                                     poll_seconds=0.05)
            view.show_download(seen[0])
    finally:
        server.close()
    assert seen[0].converting == 0.5 and seen[-1].converting is None and seen[-1].per_mille == 1000
    assert pipe.getvalue() == "  converting the source video to MP4: 50%\n"
    assert _figures(seen[0]) == "converting the source video to MP4: 50%"
