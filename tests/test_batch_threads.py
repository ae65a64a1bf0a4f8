"""A Dask worker with two threads runs two jobs at once: each job is its
own run with its own bindings, so neither its lines, its children's output
nor its services leak into the other's."""

from __future__ import annotations

import json
import os
import threading

import pytest

from vantor.batch import run
from vantor.batch.progress import BatchProgress
from standins import DownloadService, SpeechService
from standins.addresses import StandinAddresses

pytestmark = pytest.mark.slow

distributed = pytest.importorskip("distributed")


class MeetingSpeech(SpeechService):
    """Holds the first narration until a second one is asked for: only two
    jobs running at the same time get past it without the wait running out."""

    def __init__(self) -> None:
        super().__init__(seconds=0.8)
        self.second = threading.Event()
        self.met = False
        self._count = 0
        self._count_lock = threading.Lock()

    def _answer(self, request):  # noqa: ANN001, ANN201 - before the service's lock is taken
        with self._count_lock:
            self._count += 1
            first = self._count == 1
        if first:
            self.met = self.second.wait(60)
        else:
            self.second.set()
        return super()._answer(request)


def test_a_worker_with_two_threads_runs_two_jobs_at_once(tmp_path, source_video):
    from distributed import Client, LocalCluster

    segments = {"one": [{"start": "1", "end": "2", "voiceover": "one"}],
                "two": [{"start": "3", "end": "4", "voiceover": "two"}, {"start": "6", "end": "7", "voiceover": "2"}]}
    lines = []
    for name, plan in segments.items():
        (tmp_path / f"{name}.json").write_text(json.dumps(plan))
        lines.append({"url": f"https://www.youtube.com/watch?v={name}", "segments": f"{name}.json", "voice": "v",
                      "speed": 1.0, "output_dir": f"out/{name}"})
    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text("\n".join(json.dumps(line) for line in lines) + "\n")
    with DownloadService(source_video, step=1000) as download, MeetingSpeech() as speech, \
            LocalCluster(n_workers=1, threads_per_worker=2, processes=True, host="127.0.0.1",
                         dashboard_address=":0") as cluster, Client(cluster) as client:
        report = run(jobs, client, services=StandinAddresses.of(download, speech), retries=0,
                     progress=BatchProgress(0, None))
    assert [entry.status for entry in report.jobs] == ["ok", "ok"], [entry.error for entry in report.jobs]
    assert speech.met  # both jobs were narrating at the same time
    for entry, (name, plan) in zip(report.jobs, segments.items()):
        durations = [d for path, d in entry.outputs.items() if path.endswith("horizontal_final.mp4")]
        assert durations and 0.5 * len(plan) < durations[0] <= 1.1 * len(plan)
        with open(os.path.join(entry.output_dir, "recap.log"), encoding="utf-8") as f:
            log = f.read()
        # Each job's log holds its own lines only.
        assert f"Processing {len(plan)} segments" in log and log.count("Segment ") == len(plan)
        assert f"/out/{[n for n in segments if n != name][0]}/" not in log and f"/out/{name}/" in log


def test_a_workers_children_die_with_it():
    """The worker is killed outright (no clean-up runs): the watchdog kills
    the process groups of the children it left, grandchildren included."""
    import signal
    import subprocess
    import sys
    import time

    script = ("import sys, time\n"
              "from vantor.batch.worker_host import start_reaped_child\n"
              "child = start_reaped_child(['sh', '-c', 'sleep 300 & sleep 300'])\n"
              "print(child.pid, flush=True)\n"
              "time.sleep(300)\n")
    worker = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                              cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        assert worker.stdout is not None
        group = int(worker.stdout.readline())
        os.killpg(group, 0)  # the child's own group is alive
        worker.send_signal(signal.SIGKILL)
        worker.wait(30)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        else:
            os.killpg(group, signal.SIGKILL)
            raise AssertionError("the worker's children outlived it")
    finally:
        if worker.poll() is None:
            worker.kill()
            worker.wait()
        if worker.stdout is not None:
            worker.stdout.close()
