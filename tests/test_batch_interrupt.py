"""Ctrl-C on a running batch: pending jobs are cancelled, the running one is
stopped, and no ffmpeg started for it is left running on this machine."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from child_env import child_env

from standins import DownloadService, SpeechService
from standins.media import make_source_video

pytestmark = pytest.mark.slow

psutil = pytest.importorskip("psutil")
pytest.importorskip("distributed")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DRIVER = textwrap.dedent("""
    import json, sys
    from vantor.batch import BatchInterrupted, run
    from standins.addresses import StandinAddresses
    try:
        run(sys.argv[1], workers=1, services=StandinAddresses(int(sys.argv[2]), int(sys.argv[3])))
    except BatchInterrupted as interrupted:
        print(json.dumps([job.status for job in interrupted.report.jobs]))
        sys.exit(130)
""")


def test_interrupt_stops_running_ffmpeg_and_cancels_pending_jobs(tmp_path):
    # One long segment with a long narration, played at half speed: the
    # conversion to 1080x1920 runs for well over a minute.
    source_video = make_source_video(str(tmp_path / "long.mp4"), seconds=120, size="320x180")
    (tmp_path / "segments.json").write_text(json.dumps([{"start": "0", "end": "119", "voiceover": "long"}]))
    lines = [{"url": f"https://www.youtube.com/watch?v={n}", "segments": "segments.json", "voice": "v",
              "speed": 0.5, "output_dir": f"out/{n}"} for n in ("first", "second")]
    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text("\n".join(json.dumps(line) for line in lines))
    with DownloadService(source_video, step=1000) as download, SpeechService(seconds=119) as speech:
        driver = subprocess.Popen(
            [sys.executable, "-c", DRIVER, str(jobs), str(download.port), str(speech.port)],
            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, start_new_session=True,
            env=child_env(PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests"),
                                                      os.environ.get("PYTHONPATH", "")])),
        )
        seen: dict[int, psutil.Process] = {}
        try:
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and not seen:
                for child in psutil.Process(driver.pid).children(recursive=True):
                    try:
                        if child.name() == "ffmpeg" and "libx264" in child.cmdline():  # the conversion
                            seen[child.pid] = child
                    except psutil.NoSuchProcess:
                        pass
                time.sleep(0.05)
            assert seen, "no ffmpeg started within 120 s"
            driver.send_signal(signal.SIGINT)  # to the driver only: the workers must be stopped by it
            interrupted = time.monotonic()
            while any(alive(p) for p in seen.values()) and time.monotonic() - interrupted < 60:
                time.sleep(0.05)
            stopped_after = time.monotonic() - interrupted
            out, _ = driver.communicate(timeout=60)
        finally:
            if driver.poll() is None:
                os.killpg(driver.pid, signal.SIGKILL)
                driver.wait()
    assert driver.returncode == 130
    assert json.loads(out.strip().splitlines()[-1]) == ["cancelled", "cancelled"]
    # The conversion alone takes far longer; it must not run on.
    assert stopped_after < 3
    assert not os.path.exists(tmp_path / "out" / "second")


def alive(process) -> bool:
    try:
        return process.is_running() and process.status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False
