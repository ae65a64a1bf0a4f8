"""The services' own bounds: only the token holder is served, malformed
requests are 400, a slow site cannot stop everyone, the service and a recap
stop promptly in the middle of a download, and the cache stays clean."""

from __future__ import annotations

import errno
import fcntl
import json
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests

from child_env import child_env
from hostile_site import Site, drip, silent, wait_for
from service_helpers import GatedBackend, ask, poll_until_done
from vantor.services import cache as cache_module
from vantor.services.cache import FileCache
from vantor.services.download_jobs import Jobs
from vantor.services.limits import Limits
from vantor.services.narrator import Narrator
from vantor.services.server import InProcessServer, Services

ROOT = Path(__file__).resolve().parents[1]
TOKEN = "t0ken-for-tests-0123456789"
SPEECH = "/api/generate-audio-frontend"


class SilentSpeech(Narrator):
    """The real voice table, with no sound made."""

    def speak(self, text: str, voice: str) -> bytes:
        return b"ID3 mp3 " + text.encode()


def serve(tmp_path, **options) -> InProcessServer:
    options.setdefault("speech_backend", SilentSpeech())
    return InProcessServer(Services(tmp_path / "cache", token=TOKEN, **options))


def wrong_tokens(token: str) -> list[str]:
    """Guesses a check of part of the token would let through: the right
    length, wrong in the last character or everywhere after the fourth;
    and one character short and long."""
    last = "A" if token[-1] != "A" else "B"
    return [token[:-1] + last, token[:4] + "x" * (len(token) - 4), token[:-1], token + "x"]


def test_only_the_token_holder_is_served(tmp_path, source_video):
    backend = GatedBackend(source_video)
    backend.release.set()
    server = serve(tmp_path, download_backend=backend)
    bare = f"http://127.0.0.1:{server.port}"
    try:
        assert server.base_url == f"{bare}/{TOKEN}"
        job = ask(server.base_url, "https://videos.example/a")
        done = poll_until_done(job["progress_url"])[-1]
        # The progress address carries the token as the request did; the file
        # address never does: it goes on wget's command line.
        assert job["progress_url"].startswith(server.base_url + "/") and TOKEN not in done["download_url"]
        assert requests.get(done["download_url"], timeout=15).content == Path(source_video).read_bytes()
        capability = done["download_url"].rsplit("/", 1)[1].removesuffix(".mp4")
        refused = [requests.get(f"{bare}/{wrong}/ajax/download.php?url=https://videos.example/a", timeout=15)
                   for wrong in wrong_tokens(TOKEN)]
        refused += [requests.post(bare + SPEECH, json={"text": "hi", "voice": "en-us"}, timeout=15,
                                  headers={"X-Vantor-Token": wrong}) for wrong in [*wrong_tokens(TOKEN), ""]]
        refused += [requests.get(f"{bare}/files/{wrong}.mp4", timeout=15) for wrong in wrong_tokens(capability)]
        refused += [requests.get(f"{bare}/ajax/download.php?url=https://videos.example/a", timeout=15),
                    requests.get(f"{bare}//{TOKEN}/progress/{job['id']}", timeout=15),
                    requests.get(f"{bare}/{TOKEN}", timeout=15), requests.get(f"{bare}/files/{job['id']}.mp4", timeout=15),
                    requests.post(done["download_url"], timeout=15),  # a file address opens nothing but its file
                    requests.get(f"{bare}/files/x/%2E%2E/%2E%2E/ajax/download.php?url=https://videos.example/a",
                                 timeout=15)]
        # Each the same bare 404: nothing tells a real path from another.
        assert {(r.status_code, r.content) for r in refused} == {(404, b'{"success":false,"error":"not found"}')}
        header = requests.post(bare + SPEECH, json={"text": "hi", "voice": "en-us"}, timeout=15,
                               headers={"X-Vantor-Token": TOKEN})
        assert header.status_code == 200
        by_header = requests.get(f"{bare}/progress/{job['id']}", headers={"X-Vantor-Token": TOKEN}, timeout=15).json()
        assert by_header["download_url"].startswith(f"{bare}/files/") and by_header["download_url"] != done["download_url"]
    finally:
        server.close()


def test_a_file_address_lapses_ten_minutes_after_it_was_handed_out_however_it_is_used(tmp_path, source_video,
                                                                                      monkeypatch):
    from vantor.services import gate

    now = [1000.0]
    monkeypatch.setattr(gate, "now", lambda: now[0])  # the services' own clock, as their addresses read it
    backend = GatedBackend(source_video)
    backend.release.set()
    server = serve(tmp_path, download_backend=backend)
    try:
        job = ask(server.base_url, "https://videos.example/a")
        address = poll_until_done(job["progress_url"])[-1]["download_url"]
        served = lambda: requests.get(address, timeout=15).status_code  # noqa: E731
        assert served() == 200
        now[0] += 599.9  # used just before: that does not keep it
        assert served() == 200 and server.services.local_file(address) is not None
        now[0] += 0.1
        assert served() == 404 and server.services.local_file(address) is None
        fresh = requests.get(job["progress_url"], timeout=15).json()["download_url"]  # the job hands out another
        assert fresh != address and requests.get(fresh, timeout=15).status_code == 200
        assert server.services.local_file(fresh.replace("/files/", "/files/x")) is None
    finally:
        server.close()


@pytest.mark.parametrize("query, status", [
    ("format=%C2%B2", 400), ("format=" + "9" * 5000, 400), ("format=-5", 400), ("format=123456", 400),
    ("format=%EF%BC%91", 400), ("format=", 200), ("format=0", 200), ("format=99999", 200)])
def test_a_malformed_format_is_400(tmp_path, source_video, query, status):
    server = serve(tmp_path, download_backend=GatedBackend(source_video))
    try:
        answer = requests.get(f"{server.base_url}/ajax/download.php?{query}&url=https://v.example/x", timeout=15)
        assert answer.status_code == status and answer.json()["success"] == (status == 200)
    finally:
        server.close()


@pytest.mark.parametrize("raw", [b'{"text": ' + b"[" * 30000 + b"]" * 30000 + b', "voice": "en-us"}',
                                 b'{"text": "a\\ud800b", "voice": "en-us"}', b'{"text": "x", "voice": "\\udfff"}'],
                         ids=["nested", "lone-surrogate-text", "lone-surrogate-voice"])
def test_malformed_speech_bodies_are_400(tmp_path, raw):
    server = serve(tmp_path, limits=Limits(max_request_bytes=100_000))
    try:
        answer = requests.post(server.base_url + SPEECH, data=raw, timeout=15)
        assert answer.status_code == 400 and answer.json()["success"] is False
    finally:
        server.close()


def test_a_slow_site_leaves_the_service_responsive(tmp_path, source_video):
    """A page that never finishes: job requests for it wait on the event loop
    (no thread each), past the per-client cap they are busy (503), and
    speech still answers at once."""
    stop = threading.Event()
    # Silent, so the job stays waiting for its first answer however slowly the 40 requests arrive.
    with Site({"/slow.html": silent(stop)}) as site:
        limits = Limits(job_answer_wait=10.0, max_waiting_per_client=8, max_speech=1)
        server = serve(tmp_path, limits=limits, private_sources="allow")
        try:
            address = site.base_url + "/slow.html"
            with ThreadPoolExecutor(40) as pool:
                waiting = [pool.submit(ask_status, server.base_url, address) for _ in range(40)]
                wait_for(lambda: sum(f.done() for f in waiting) >= 32, 20)
                started = time.monotonic()
                spoken = requests.post(server.base_url + SPEECH, json={"text": "still here", "voice": "en-us"},
                                       timeout=15)
                took = time.monotonic() - started
                statuses = sorted(f.result() for f in waiting)
            assert spoken.status_code == 200 and took < 1.0, took
            assert statuses.count(503) == 32 and statuses.count(200) == 8
        finally:
            stop.set()
            server.close()


def ask_status(base_url: str, address: str) -> int:
    try:
        return requests.get(f"{base_url}/ajax/download.php?url={address}", timeout=60).status_code
    except requests.ConnectionError:
        return 0  # the service stopped while this waited


def test_one_site_cannot_take_every_download_slot(tmp_path, source_video):
    server = serve(tmp_path, download_backend=GatedBackend(source_video), limits=Limits(max_jobs=4, max_jobs_per_host=2))
    try:
        first = [ask(server.base_url, f"https://slow.example/{n}") for n in range(2)]
        third = requests.get(f"{server.base_url}/ajax/download.php?url=https://SLOW.example/2", timeout=15)
        other = ask(server.base_url, "https://other.example/1")
        assert all(j["success"] for j in first) and other["success"]
        assert third.status_code == 503 and third.json()["error"].startswith("busy: 2 downloads from slow.example")
    finally:
        server.close()


def test_a_stall_and_the_deadline_end_a_download(tmp_path):
    from vantor.services.ytdlp_backend import DownloadFailed, YtDlpBackend

    stop = threading.Event()
    try:
        with Site({"/drip.mp4": drip(stop, every=0.3), "/quiet.mp4": drip(stop, every=60)}) as site:
            for name, backend, reason in [
                    ("drip.mp4", YtDlpBackend(private_sources="allow", stall_seconds=30, deadline=1.5), "deadline of 1.5 s"),
                    ("quiet.mp4", YtDlpBackend(private_sources="allow", stall_seconds=1, deadline=60), "stalled")]:
                started = time.monotonic()
                work = tmp_path / name
                work.mkdir()
                with pytest.raises(DownloadFailed, match=reason):
                    backend.fetch(f"{site.base_url}/{name}", 1080, str(work), lambda p: None, threading.Event())
                assert time.monotonic() - started < 20
    finally:
        stop.set()


def _wait_fetching(site: Site) -> None:
    """Until the service has asked the site for the video and is reading it."""
    wait_for(lambda: site.hits, 120)
    time.sleep(1.0)


def test_serve_stops_within_five_seconds_of_sigterm_mid_download(tmp_path):
    stop = threading.Event()
    with Site({"/drip.mp4": drip(stop, every=0.2)}) as site:
        server = subprocess.Popen([sys.executable, "-m", "vantor", "serve", "--port", "0", "--allow-private-sources",
                                   "--cache-dir", str(tmp_path / "cache")], cwd=ROOT, env=child_env(),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            base = server.stdout.readline().split(" on ", 1)[1].split(" ", 1)[0]
            threading.Thread(target=ask_status, args=(base, site.base_url + "/drip.mp4"), daemon=True).start()
            _wait_fetching(site)
            started = time.monotonic()
            server.send_signal(signal.SIGTERM)
            _, err = server.communicate(timeout=30)
            took = time.monotonic() - started
        finally:
            stop.set()
            if server.poll() is None:
                server.kill()
                server.wait()
    assert server.returncode == 0 and took < 5.0 and "Traceback" not in err, (took, err)
    assert list((tmp_path / "cache" / "downloads" / "partial").iterdir()) == []


def test_recap_stops_within_two_seconds_of_one_ctrl_c_mid_download(tmp_path):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "0", "end": "2", "voiceover": "Hi."}]))
    stop = threading.Event()
    with Site({"/drip.mp4": drip(stop, every=0.2)}) as site:
        env = child_env(VANTOR_CACHE_DIR=str(tmp_path / "cache"), PYTHONUNBUFFERED="1")
        env.pop("VANTOR_SERVICES_URL", None)
        recap = subprocess.Popen([sys.executable, "-m", "vantor", "recap", site.base_url + "/drip.mp4", str(segments),
                                  "--services", "local", "--voice", "en-us", "--mkdir", "--output-dir", str(tmp_path / "out")],
                                 cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            _wait_fetching(site)
            started = time.monotonic()
            recap.send_signal(signal.SIGINT)
            _, err = recap.communicate(timeout=60)
            took = time.monotonic() - started
        finally:
            stop.set()
            if recap.poll() is None:
                recap.kill()
                recap.wait()
    assert recap.returncode == 130 and took < 2.0, (took, err)
    assert "Traceback" not in err and "Exception ignored" not in err, err


def test_partial_files_nobody_holds_are_removed_and_counted(tmp_path):
    root = tmp_path / "c"
    first = FileCache(root, ".mp4", max_bytes=250)
    stale = root / "partial" / "aaaa-1"
    stale.mkdir()
    (stale / "video.mp4.part").write_bytes(b"x" * 50)
    held = root / "partial" / "bbbb-1"
    held.mkdir()
    (held / "video.mp4.part").write_bytes(b"y" * 100)
    with first.lock("bbbb"):  # another process fetching bbbb right now
        FileCache(root, ".mp4", max_bytes=250)
        assert not stale.exists() and held.exists()
        first.put_bytes("c1", b"1" * 100)
        first.put_bytes("c2", b"2" * 100)  # 200 + the 100 held: over the limit
        assert sorted(p.name for p in root.glob("*.mp4")) == ["c2.mp4"]
    assert sorted(p.name for p in root.glob("*.lock")) == [".evict.lock"]  # every key's holder removed its lock file


def test_a_lock_file_removed_by_its_holder_still_excludes(tmp_path):
    cache = FileCache(tmp_path, ".bin", max_bytes=10**6)
    inside = []

    def hold(n: int) -> None:
        with cache.lock("k"):
            inside.append(n)
            assert len(inside) == 1, inside  # nobody else in here
            time.sleep(0.01)
            inside.remove(n)

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(hold, range(64)))
    assert not (tmp_path / "k.lock").exists()
    with open(tmp_path / "x.lock", "w") as f:  # flock excludes across open files of one process too
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)


def test_speech_on_a_full_disk_is_507_and_leaves_nothing(tmp_path, monkeypatch):
    server = serve(tmp_path)
    try:
        def full(*args):
            raise OSError(errno.ENOSPC, "No space left on device")

        monkeypatch.setattr(cache_module.os, "replace", full)
        answer = requests.post(server.base_url + SPEECH, json={"text": "hello", "voice": "en-us"}, timeout=15)
        assert answer.status_code == 507 and "disk is full" in answer.json()["error"]
        assert list((tmp_path / "cache" / "speech" / "partial").iterdir()) == []
    finally:
        server.close()


def test_a_finished_file_stays_until_its_client_fetched_it(tmp_path, source_video):
    size = Path(source_video).stat().st_size
    backend = GatedBackend(source_video)
    backend.release.set()
    server = serve(tmp_path, download_backend=backend, limits=Limits(cache_bytes=size + size // 2))
    try:
        first = ask(server.base_url, "https://v.example/1")
        first_file = poll_until_done(first["progress_url"])[-1]["download_url"]
        second = poll_until_done(ask(server.base_url, "https://v.example/2")["progress_url"])[-1]
        # Over the limit, but the first has not been fetched yet: both stay.
        assert len(list((tmp_path / "cache" / "downloads").glob("*.mp4"))) == 2
        assert requests.get(first_file, timeout=15).status_code == 200
        assert requests.get(second["download_url"], timeout=15).status_code == 200
        poll_until_done(ask(server.base_url, "https://v.example/3")["progress_url"])
        assert len(list((tmp_path / "cache" / "downloads").glob("*.mp4"))) == 1  # fetched ones may go now
        gone = requests.get(first["progress_url"], timeout=15).json()
        assert gone["success"] is False and "left the service's cache" in gone["error"]
    finally:
        server.close()


@pytest.mark.parametrize("options", [["--max-jobs", "0"], ["--cache-gib", "nan"], ["--cache-gib", "-1"],
                                     ["--cache-gib", "inf"], ["--port", "70000"], ["--port", "x"],
                                     ["--deadline", "0"], ["--token", "short"], ["--no-token", "--host", "0.0.0.0",
                                                                                  "--allow", "10.0.0.0/8"]])
def test_bad_serve_options_are_usage_errors(options):
    done = subprocess.run([sys.executable, "-m", "vantor", "serve", *options], cwd=ROOT, env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and done.stdout == "" and "Traceback" not in done.stderr, done.stderr


@pytest.mark.parametrize("bound", ["deadline", "stall", "shutdown"])
def test_each_bound_ends_a_child_and_its_group(bound):
    """A child (and what it started) ends at the job's deadline, after the
    stall limit without output, and when the service shuts down."""
    from vantor.services.children import Bounds, ChildStopped, run

    stop = threading.Event()
    bounds = {"deadline": Bounds.starting_now(1.0, 60), "stall": Bounds.starting_now(60, 1.0),
              "shutdown": Bounds.starting_now(60, 60, stop)}[bound]
    started: list[int] = []
    if bound == "shutdown":
        threading.Timer(1.0, stop.set).start()
    with pytest.raises(ChildStopped, match={"deadline": "deadline of 1 s", "stall": "no progress for 1 s",
                                            "shutdown": "shut down"}[bound]) as stopped:
        run(["sh", "-c", "sleep 30 & echo $!; wait"], bounds, "a test", lambda line: started.append(int(line)))
    assert stopped.value.cancelled == (bound == "shutdown")
    wait_for(lambda: not os.path.exists(f"/proc/{started[0]}"), 5)  # the grandchild too


def test_a_child_carries_a_cpu_limit_from_the_deadline():
    from vantor.services.children import Bounds, run

    done = run([sys.executable, "-c", "import resource; print(*resource.getrlimit(resource.RLIMIT_CPU))"],
               Bounds.starting_now(10, 60), "a test")
    soft, hard = map(int, done.stdout.split())
    cores = os.cpu_count() or 1
    assert 9 * cores <= soft <= 10 * cores and hard == soft + 1, (soft, hard)


def test_serve_stops_within_five_seconds_of_sigterm_mid_conversion(tmp_path):
    """The rewrite to MP4 of a long MPEG-4 (mpeg4 encoder) video (cheap to make by
    looping one clip, slow to convert) is running when SIGTERM comes."""
    base, slow = tmp_path / "base.mkv", tmp_path / "slow.mkv"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "color=gray:s=1920x1080:r=25:d=2", "-c:v",
                    "mpeg4", "-q:v", "31", str(base)], check=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-stream_loop", "59", "-i", str(base), "-c", "copy", str(slow)],
                   check=True)
    from hostile_site import body

    with Site({"/slow.mkv": body(slow.read_bytes(), "video/x-matroska")}) as site:
        server = subprocess.Popen([sys.executable, "-m", "vantor", "serve", "--port", "0", "--allow-private-sources",
                                   "--cache-dir", str(tmp_path / "cache")], cwd=ROOT, env=child_env(),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            base_url = server.stdout.readline().split(" on ", 1)[1].split(" ", 1)[0]
            threading.Thread(target=ask_status, args=(base_url, site.base_url + "/slow.mkv"), daemon=True).start()
            converting: list[int] = []

            def conversion_running() -> bool:
                children = subprocess.run(["ps", "-ww", "-o", "pid=,args=", "--ppid", str(server.pid)], capture_output=True,
                                          text=True).stdout.splitlines()
                converting[:] = [int(c.split()[0]) for c in children if "ffmpeg" in c and "libx264" in c]
                return bool(converting)

            wait_for(conversion_running, 120)
            started = time.monotonic()
            server.send_signal(signal.SIGTERM)
            _, err = server.communicate(timeout=30)
            took = time.monotonic() - started
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()
    assert server.returncode == 0 and took < 5.0 and "Traceback" not in err, (took, err)
    assert not os.path.exists(f"/proc/{converting[0]}")
    assert list((tmp_path / "cache" / "downloads" / "partial").iterdir()) == []
