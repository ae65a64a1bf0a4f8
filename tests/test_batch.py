"""`vantor.batch` on a real Dask LocalCluster (two worker processes on
loopback) and on a separately started `dask scheduler` / `dask worker`
pair, with the recaps' services played by the stand-ins in this process."""

from __future__ import annotations

import json
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest
import requests

from vantor.batch import SharedOutputError, run
from vantor.batch.marker import MARKER_NAME
from vantor.batch.task import TIMELINE_NAME
from vantor.recap.timeline.model import Timeline
from vantor.batch.progress import BatchProgress
from standins import DownloadService, SpeechService
from standins._loopback import Answer
from standins.addresses import StandinAddresses

pytestmark = pytest.mark.slow

distributed = pytest.importorskip("distributed")

SEGMENTS = [{"start": "1", "end": "2", "voiceover": "one"}, {"start": "4", "end": "5", "voiceover": "two"}]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class FlakyDownloads(DownloadService):
    """Answers the first job request for an address containing "flaky" with 503."""

    def __init__(self, video_path):
        super().__init__(video_path, step=1000)  # finished on the first poll
        self.failed_once: set[str] = set()

    def _job(self, video_address):
        if "flaky" in video_address and video_address not in self.failed_once:
            self.failed_once.add(video_address)
            return Answer(503, {"success": False, "error": "busy"})
        return super()._job(video_address)


@pytest.fixture(scope="module")
def standins(source_video):
    with FlakyDownloads(source_video) as download, SpeechService(seconds=0.8) as speech:
        yield download, speech, StandinAddresses.of(download, speech)


@pytest.fixture(scope="module")
def cluster_client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def write_jobs(tmp_path, lines):
    path = tmp_path / "jobs.jsonl"
    path.write_text("\n".join(json.dumps(line) for line in lines) + "\n", encoding="utf-8")
    return path


def job(name, segments="segments.json", url=None):
    return {"url": url or f"https://www.youtube.com/watch?v={name}", "segments": segments,
            "voice": "en-US-TestVoice", "speed": 1.5, "output_dir": f"out/{name}"}


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,width,height",
                          "-of", "json", path], capture_output=True, check=True, text=True).stdout
    return {s["codec_type"]: s for s in json.loads(out)["streams"]}


def quiet():
    return BatchProgress(0, None)


def test_six_jobs_retry_report_and_resume(tmp_path, standins, cluster_client):
    download, _, services = standins
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS))
    (tmp_path / "broken.json").write_text('[{"start": "1", "end": ')
    names = ["a", "b", "c", "d"]
    lines = [job(n) for n in names] + [job("bad", "broken.json"), job("flaky", url="https://x.test/flaky")]
    jobs_file = write_jobs(tmp_path, lines)

    report = run(jobs_file, cluster_client, services=services, retries=2, pause=0.2, progress=quiet())

    by_name = {entry.output_dir.rsplit("/", 1)[1]: entry for entry in report.jobs}
    assert report.workers == 2 and not report.interrupted and not report.ok
    for name in names + ["flaky"]:
        entry = by_name[name]
        assert entry.status == "ok", (name, entry.error)
        final = os.path.join(entry.output_dir, "FINAL_RECAP.mp4")
        streams = probe(final)
        assert set(streams) == {"audio", "video"}
        assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
        assert entry.outputs[final] == pytest.approx(entry.outputs[os.path.join(entry.output_dir,
                                                                               "horizontal_final.mp4")] / 1.5, abs=0.25)
        assert entry.wall_s >= entry.run_s > 0
        assert os.path.isfile(os.path.join(entry.output_dir, MARKER_NAME))
        timeline = Timeline.from_json(Path(entry.output_dir, TIMELINE_NAME).read_text())  # each range's place
        assert [round(r.source_in) for r in timeline.ranges] == [1, 4] and timeline.speed == 1.5
        assert timeline.ranges[1].recap_in == timeline.ranges[0].recap_out > 0
        assert entry.outputs[final] == pytest.approx(timeline.duration, abs=0.1)
    assert by_name["flaky"].attempts == 2 and by_name["a"].attempts == 1
    bad = by_name["bad"]
    assert (bad.status, bad.attempts, bad.error_type) == ("failed", 1, "vantor.recap.checks.preflight.SegmentsError")
    assert bad.job == "line 5" and bad.error and "\n" not in bad.error and "nothing was downloaded" in bad.error
    assert "https://www.youtube.com/watch?v=bad" not in download.jobs.values()  # refused before its download
    assert not os.path.exists(os.path.join(bad.output_dir, MARKER_NAME))

    # A rerun redoes only the failed job; --force redoes one that is done.
    requests_before = len(download.jobs)
    again = run(jobs_file, cluster_client, services=services, pause=0.2, progress=quiet())
    assert [e.status for e in again.jobs] == ["skipped"] * 4 + ["failed", "skipped"]
    assert len(download.jobs) == requests_before  # nothing was downloaded again
    assert again.jobs[0].outputs == by_name["a"].outputs

    # Editing a job's segments invalidates its marker.
    (tmp_path / "segments_a.json").write_text(json.dumps(SEGMENTS[:1]))
    lines[0]["segments"] = "segments_a.json"
    edited = run(write_jobs(tmp_path, lines[:2]), cluster_client, services=services, progress=quiet())
    assert [e.status for e in edited.jobs] == ["ok", "skipped"]

    # An output cut short after the marker was written (a recap run by hand
    # into the folder and stopped) is no finished job.
    final_b = os.path.join(by_name["b"].output_dir, "FINAL_RECAP.mp4")
    with open(final_b, "r+b") as f:
        f.truncate(os.path.getsize(final_b) // 2)
    redone = run(write_jobs(tmp_path, lines[1:2]), cluster_client, services=services, progress=quiet())
    assert [e.status for e in redone.jobs] == ["ok"]
    assert probe(final_b)["video"]["height"] == 1920
    forced = run(write_jobs(tmp_path, lines[1:2]), cluster_client, services=services, force=True, progress=quiet())
    assert [e.status for e in forced.jobs] == ["ok"]

    # A forced rerun that fails leaves the outputs as they were (it worked in
    # a folder of its own), so the marker still vouches for them.
    b_dir = by_name["b"].output_dir
    before = {name: Path(b_dir, name).read_bytes() for name in ("FINAL_RECAP.mp4", MARKER_NAME)}
    refused = StandinAddresses(closed_port(download.video_path), services.speech_port)
    failed = run(write_jobs(tmp_path, lines[1:2]), cluster_client, services=refused, force=True, retries=0,
                 progress=quiet())
    assert [e.status for e in failed.jobs] == ["failed"]
    assert {name: Path(b_dir, name).read_bytes() for name in before} == before


def closed_port(video_path):
    closed = DownloadService(video_path).start()
    closed.close()  # its port now refuses connections
    return closed.port


def test_transient_failures_stop_after_the_retries(tmp_path, standins, cluster_client):
    download, _, _ = standins
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    services = StandinAddresses(closed_port(download.video_path), standins[1].port)
    report = run(write_jobs(tmp_path, [job("refused")]), cluster_client, services=services, retries=1,
                 pause=0.05, progress=quiet())
    entry = report.jobs[0]
    assert (entry.status, entry.attempts) == ("failed", 2)
    assert entry.error_type == "requests.exceptions.ConnectionError"


def test_a_segment_past_the_end_of_the_video_fails_the_job(tmp_path, standins, cluster_client):
    """The video is 12 s long: a clip starting at 30 s would be empty, and the
    recap would still "succeed" without the check after the download."""
    (tmp_path / "late.json").write_text(json.dumps([{"start": "30", "end": "31", "voiceover": "late"}]))
    report = run(write_jobs(tmp_path, [job("late", "late.json")]), cluster_client, services=standins[2],
                 progress=quiet())
    entry = report.jobs[0]
    assert (entry.status, entry.attempts, entry.error_type) == ("failed", 1, "vantor.errors.PreflightError")
    assert "past the end of the video" in entry.error
    assert not os.path.exists(os.path.join(entry.output_dir, MARKER_NAME))


def test_shared_output_directory_is_refused_before_anything_runs(tmp_path):
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS))
    lines = [job("a"), job("b"), {**job("c"), "output_dir": "out/./a"}]
    with pytest.raises(SharedOutputError, match=r"line 3: shares output directory .* with line 1"):
        run(write_jobs(tmp_path, lines), object(), progress=quiet())  # never touches the client


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_separately_started_scheduler_and_worker_over_tls(tmp_path, standins):
    """`--scheduler` with the credentials of a cluster that speaks TLS only."""
    from vantor.batch.cluster import _temporary_credentials, remote_security

    key, cert = _temporary_credentials()  # one self-signed certificate, its own CA, as for the embedded cluster
    (tmp_path / "key.pem").write_text(key)
    (tmp_path / "cert.pem").write_text(cert)
    tls = ["--protocol", "tls", "--tls-ca-file", str(tmp_path / "cert.pem"), "--tls-cert", str(tmp_path / "cert.pem"),
           "--tls-key", str(tmp_path / "key.pem")]
    dask = os.path.join(os.path.dirname(sys.executable), "dask")
    port = free_port()
    address = f"tls://127.0.0.1:{port}"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([ROOT, os.path.join(ROOT, "tests"), os.environ.get("PYTHONPATH", "")])}
    # The `dask` script run by this interpreter, so the sanitizer run knows
    # these children for Python processes (and keeps its preload for them).
    scheduler = subprocess.Popen([sys.executable, dask, "scheduler", "--host", "127.0.0.1", "--port", str(port),
                                  "--no-dashboard", *tls], env=env, stderr=subprocess.DEVNULL)
    worker = subprocess.Popen([sys.executable, dask, "worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                               "--no-dashboard", *tls], env=env, cwd=tmp_path, stderr=subprocess.DEVNULL)
    try:
        (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
        security = remote_security(str(tmp_path / "cert.pem"), str(tmp_path / "cert.pem"), str(tmp_path / "key.pem"))
        report = run(write_jobs(tmp_path, [job("remote")]), scheduler=f"127.0.0.1:{port}", security=security,
                     services=standins[2], progress=quiet())
        entry = report.jobs[0]
        assert entry.status == "ok", entry.error
        assert probe(os.path.join(entry.output_dir, "FINAL_RECAP.mp4"))["video"]["height"] == 1920
    finally:
        for process in (worker, scheduler):
            process.terminate()
        for process in (worker, scheduler):
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def files_asked(download, name):
    return sum(1 for request in download.requests if request.path.startswith(f"/files/{name}"))


def test_local_services_in_each_worker_share_one_cache(tmp_path, standins, cluster_client):
    """`--services local`: each worker process starts this machine's local
    services once, all on one cache directory, whose file locks let one
    process fetch a video while the others wait for it and then find it."""
    from vantor.batch import services as batch_services
    from vantor.batch.services import LocalServicesProvider
    from vantor.services import start_local_services
    from vantor.services.voices import voice_names

    download = standins[0]
    # What one download of one video asks of the site (yt-dlp probes, then fetches).
    with start_local_services(cache_dir=tmp_path / "solo") as solo:
        solo.prefetch(f"{download.base_url}/files/solo.mp4")
    one_download = files_asked(download, "solo")

    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    shared = f"{download.base_url}/files/shared.mp4"
    lines = [{**job(name, url=shared), "voice": voice_names()[0]} for name in ("l1", "l2", "l3", "l4")]
    lines[0]["timeline"] = "otio"
    provider = LocalServicesProvider(None, str(tmp_path / "cache"))
    report = run(write_jobs(tmp_path, lines), cluster_client, services=provider, progress=quiet())

    assert [e.status for e in report.jobs] == ["ok"] * 4, [e.error for e in report.jobs]
    # A job's timeline for an editor is its recap's own: as long as the recap, to the frame.
    import opentimelineio as otio

    model = otio.adapters.read_from_file(str(tmp_path / "out" / "l1" / "FINAL_RECAP.otio"))
    numerator, denominator = model.metadata["vantor"]["frame_rate"]
    recap = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                  str(tmp_path / "out" / "l1" / "FINAL_RECAP.mp4")],
                                 capture_output=True, check=True, text=True).stdout)
    assert model.tracks[0].duration().to_seconds() == pytest.approx(recap, abs=denominator / numerator)
    opened = cluster_client.run(lambda: batch_services._current is not None and batch_services._current[0] == provider)
    assert list(opened.values()) == [True, True]  # both worker processes ran their own services
    assert files_asked(download, "shared") == one_download
    assert len(list((tmp_path / "cache" / "downloads").glob("*.mp4"))) == 1


def test_a_vantor_serve_address_outlives_the_batch(tmp_path, standins, cluster_client):
    """`--services URL`: the workers use a running `vantor serve` (here the
    services in this process) and closing their handles leaves it running."""
    from vantor.batch import services as batch_services
    from vantor.batch.services import LocalServicesProvider
    from vantor.services import start_local_services
    from vantor.services.voices import voice_names

    download = standins[0]
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    with start_local_services(cache_dir=tmp_path / "cache") as serve:
        line = {**job("s1", url=f"{download.base_url}/files/served.mp4"), "voice": voice_names()[0]}
        report = run(write_jobs(tmp_path, [line]), cluster_client, services=LocalServicesProvider(serve.base_url),
                     progress=quiet())
        assert report.jobs[0].status == "ok", report.jobs[0].error
        cluster_client.run(lambda: batch_services._close_current())  # each worker closes its handle
        assert requests.get(f"{serve.base_url}/progress/none", timeout=10).status_code < 500  # still serving
        assert files_asked(download, "served") > 0


def test_command_writes_the_report_and_fails_when_a_job_fails(tmp_path, standins, monkeypatch, capsys):
    import vantor.batch.services
    from vantor.cli import main

    monkeypatch.setattr(vantor.batch.services, "provider_for", lambda choice, cache_dir=None: standins[2])
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    (tmp_path / "missing.json").unlink(missing_ok=True)
    jobs_file = write_jobs(tmp_path, [job("good"), job("gone", "missing.json")])
    status = main(["batch", str(jobs_file), "--workers", "1", "--report", str(tmp_path / "report.json")])
    out, err = capsys.readouterr()
    assert status == 1
    # stdout: the result (summary, report path); stderr: progress and the failed job's line.
    summary, path = out.splitlines()
    assert summary.startswith("2 jobs: 1 ok, 0 skipped (already done), 1 failed in ") and path.endswith("report.json")
    # Each job's state once; the failure's reason once, at the end, without a class name.
    assert err.splitlines()[-1].startswith("vantor: line 2: ") and "Error" not in err.splitlines()[-1]
    assert re.search(r"^\[[12]/2\] ok line 1 ", err, re.M), err  # jobs finish in either order
    assert re.search(r"^\[[12]/2\] failed line 2$", err, re.M), err
    assert sum("missing.json" in line for line in err.splitlines()) == 1, err
    saved = json.loads((tmp_path / "report.json").read_text())
    assert [(j["status"], j["attempts"]) for j in saved["jobs"]] == [("ok", 1), ("failed", 1)]
    assert saved["workers"] == 1 and not saved["interrupted"]

    # --json -q: the report alone on stdout, only the failure on stderr.
    assert main(["batch", str(jobs_file), "--workers", "1", "--json", "-q"]) == 1
    out, err = capsys.readouterr()
    assert [j["status"] for j in json.loads(out)["jobs"]] == ["skipped", "failed"]
    assert err.splitlines() == [line for line in err.splitlines() if line.startswith("vantor: line 2: ")] != []


def test_a_folder_held_by_another_run_is_left_alone(tmp_path, standins, cluster_client):
    """What a second batch of the same jobs file meets while the first still
    works in a job's folder: the job is left to it, with one clear line."""
    import fcntl

    from vantor.batch.claim import LOCK_NAME

    download = standins[0]
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    os.makedirs(tmp_path / "out" / "held")
    requests_before = len(download.jobs)
    with open(tmp_path / "out" / "held" / LOCK_NAME, "w") as first_run:
        fcntl.flock(first_run, fcntl.LOCK_EX)
        report = run(write_jobs(tmp_path, [job("held")]), cluster_client, services=standins[2], progress=quiet())
    entry = report.jobs[0]
    assert entry.status == "locked" and not report.ok
    assert "another vantor batch is working in" in entry.error and entry.output_dir in entry.error
    assert "1 left to another run" in report.summary()
    assert sorted(os.listdir(tmp_path / "out" / "held")) == [LOCK_NAME]  # nothing written, nothing asked
    assert len(download.jobs) == requests_before


def test_two_runs_of_one_jobs_file_at_once(tmp_path, standins, cluster_client):
    import threading

    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    jobs_file = write_jobs(tmp_path, [job("twice")])
    reports = []
    runs = [threading.Thread(target=lambda: reports.append(
        run(jobs_file, cluster_client, services=standins[2], progress=quiet()))) for _ in range(2)]
    for thread in runs:
        thread.start()
    for thread in runs:
        thread.join(timeout=300)
    statuses = sorted(r.jobs[0].status for r in reports)
    # The second run either found the folder taken or, when it came late, the job done.
    assert statuses in (["locked", "ok"], ["ok", "skipped"]), [(r.jobs[0].status, r.jobs[0].error) for r in reports]
    assert probe(str(tmp_path / "out" / "twice" / "FINAL_RECAP.mp4"))["video"]["height"] == 1920


def test_a_job_dask_reran_after_its_worker_died_counts_both_attempts(tmp_path, standins, cluster_client):
    """Kill the worker process while it holds the job's folder: Dask runs the
    task again elsewhere, and the report says 2 attempts."""
    import signal
    import threading
    import time

    psutil = pytest.importorskip("psutil")
    from vantor.batch.claim import LOCK_NAME

    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    lock = str(tmp_path / "out" / "dies" / LOCK_NAME)
    reports = []
    batch = threading.Thread(target=lambda: reports.append(
        run(write_jobs(tmp_path, [job("dies")]), cluster_client, services=standins[2], retries=0,
            progress=quiet())))
    batch.start()
    killed = None
    deadline = time.monotonic() + 120
    while killed is None and time.monotonic() < deadline and batch.is_alive():
        for process in psutil.Process().children(recursive=True):
            try:
                if any(f.path == lock for f in process.open_files()):
                    process.send_signal(signal.SIGKILL)
                    killed = process.pid
                    break
            except psutil.Error:
                pass
        time.sleep(0.02)
    batch.join(timeout=300)
    cluster_client.wait_for_workers(2, timeout=120)  # the nanny starts a new one for the next tests
    assert killed is not None, "no worker took the job's folder"
    entry = reports[0].jobs[0]
    assert (entry.status, entry.attempts) == ("ok", 2), entry.error


def test_links_another_user_planted_in_an_open_folder_are_not_followed(tmp_path, standins, monkeypatch, capsys):
    """A folder every user can write in, and links its other user planted
    there to a root-only file: the log's link fails that job in one line,
    the marker and the report replace theirs; the file is untouched, and
    the folder is named before the jobs run."""
    import vantor.batch.services
    from other_user import another_user
    from vantor.cli import main

    monkeypatch.setattr(vantor.batch.services, "provider_for", lambda choice, cache_dir=None: standins[2])
    (tmp_path / "segments.json").write_text(json.dumps(SEGMENTS[:1]))
    secret = tmp_path / "secret"
    secret.write_text("root only")
    secret.chmod(0o600)
    with another_user() as user:
        planted = {"logged": ["recap.log"], "marked": [f"{MARKER_NAME}.tmp", MARKER_NAME]}
        for folder, names in planted.items():
            (tmp_path / "out" / folder).mkdir(parents=True)
            (tmp_path / "out" / folder).chmod(0o777)
            for name in names:
                os.symlink(secret, tmp_path / "out" / folder / name)
                os.lchown(tmp_path / "out" / folder / name, user.pw_uid, user.pw_gid)
        os.symlink(secret, tmp_path / "out" / "report.json")
        status = main(["batch", str(write_jobs(tmp_path, [job("logged"), job("marked")])), "--workers", "1",
                       "--report", str(tmp_path / "out" / "report.json")])
    out, err = capsys.readouterr()
    assert status == 1 and secret.read_text() == "root only"
    warned = [line for line in err.splitlines() if "other users can write in the output folder" in line]
    assert len(warned) == 2 and err.index(warned[-1]) < err.index("[1/2]")
    assert re.search(r"^vantor: line 1: .*recap\.log", err, re.M), err
    assert not (tmp_path / "out" / "marked" / MARKER_NAME).is_symlink()
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert [j["status"] for j in report["jobs"]] == ["failed", "ok"]
