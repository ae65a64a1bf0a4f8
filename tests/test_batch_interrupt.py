"""Ctrl-C on a running batch: pending jobs are cancelled, the running one is
stopped, and no ffmpeg started for it is left running on this machine; on
a terminal, where every process of the group is interrupted, the command
prints its own lines and none of Dask's."""

from __future__ import annotations

import contextlib
import json
import os
import pty
import re
import select
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


def long_jobs(tmp_path):
    """Two jobs of one long segment with a long narration, played at half
    speed: the conversion to 1080x1920 runs for well over a minute."""
    source_video = make_source_video(str(tmp_path / "long.mp4"), seconds=120, size="320x180")
    (tmp_path / "segments.json").write_text(json.dumps([{"start": "0", "end": "119", "voiceover": "long"}]))
    lines = [{"url": f"https://www.youtube.com/watch?v={n}", "segments": "segments.json", "voice": "v",
              "speed": 0.5, "output_dir": f"out/{n}"} for n in ("first", "second")]
    jobs = tmp_path / "jobs.jsonl"
    jobs.write_text("\n".join(json.dumps(line) for line in lines))
    return source_video, jobs


def conversions(root_pid):
    """The ffmpeg processes converting to the final format, among root_pid's descendants."""
    found = {}
    for child in psutil.Process(root_pid).children(recursive=True):
        try:
            if child.name() == "ffmpeg" and "libx264" in child.cmdline():
                found[child.pid] = child
        except psutil.NoSuchProcess:
            pass
    return found


def test_interrupt_stops_running_ffmpeg_and_cancels_pending_jobs(tmp_path):
    source_video, jobs = long_jobs(tmp_path)
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
                seen = conversions(driver.pid)
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


COMMAND = textwrap.dedent("""
    import sys
    import vantor.batch.services
    from vantor.cli import main
    from standins.addresses import StandinAddresses

    if __name__ == "__main__":  # the workers are started by importing this file again
        services = StandinAddresses(int(sys.argv[2]), int(sys.argv[3]))
        vantor.batch.services.provider_for = lambda choice, cache_dir=None: services
        sys.exit(main(["batch", sys.argv[1], "--workers", "1"]))
""")


def test_ctrl_c_on_a_terminal_prints_no_worker_tracebacks(tmp_path):
    """The terminal sends SIGINT to the whole foreground group: the command,
    the cluster's worker processes and their ffmpeg."""
    source_video, jobs = long_jobs(tmp_path)
    (tmp_path / "command.py").write_text(COMMAND)
    with DownloadService(source_video, step=1000) as download, SpeechService(seconds=119) as speech:
        pid, terminal = pty.fork()
        if pid == 0:  # the child: a new session whose controlling terminal is the pty
            os.chdir(ROOT)
            env = {**os.environ, "PYTHONPATH": os.pathsep.join([ROOT, os.path.join(ROOT, "tests"),
                                                                os.environ.get("PYTHONPATH", "")])}
            os.execve(sys.executable, [sys.executable, str(tmp_path / "command.py"), str(jobs),
                                       str(download.port), str(speech.port)], env)
        shown = b""
        try:
            deadline = time.monotonic() + 120
            seen = {}
            while time.monotonic() < deadline and not seen and not shown.endswith(b"\0"):
                seen = conversions(pid)
                shown += read_for(terminal, 0.05)
            assert seen, f"no ffmpeg started within 120 s: {shown.decode(errors='replace')}"
            os.write(terminal, b"\x03")  # Ctrl-C, as typed
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and (chunk := read_for(terminal, 0.2)) != b"\0":
                shown += chunk
            _, status = os.waitpid(pid, 0)
        finally:
            with contextlib.suppress(ProcessLookupError, ChildProcessError):
                os.killpg(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(terminal)
    text = shown.decode(errors="replace")
    assert os.waitstatus_to_exitcode(status) == 130, text
    for noise in ("Traceback", "KeyboardInterrupt", "CancelledError", "nanny", "distributed"):
        assert noise not in text, text
    lines = [line.split("\r")[-1].removeprefix("\x1b[K") for line in text.replace("\r\n", "\n").split("\n")]
    lines = [line for line in lines if line.strip() and line.strip() != "^C"]
    assert re.fullmatch(r"vantor: 2 jobs: 0 ok, .*, 2 cancelled in .*", lines[-2]), lines
    assert lines[-1] == "vantor: interrupted", lines
    assert not any(alive(p) for p in seen.values())


def read_for(terminal, seconds):
    """What the terminal shows within `seconds`; NUL once the command has closed it."""
    ready, _, _ = select.select([terminal], [], [], seconds)
    if not ready:
        return b""
    try:
        return os.read(terminal, 65536) or b"\0"
    except OSError:  # EIO: the last process holding the terminal is gone
        return b"\0"
