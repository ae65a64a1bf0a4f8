"""The runner every tool process goes through: its time and stall limits,
its bounded output, the group kill that takes a grandchild too, and a
cancel during smart framing's analysis that ends the run at once, leaving
no process behind."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from vantor.runner import KEEP_BYTES, ChildCancelled, ChildStopped, Runner

# A shell that starts a grandchild (a sleep in its group) and writes its pid.
GRANDCHILD = 'sleep 30 & echo $!; wait'


def gone(pid: int) -> bool:
    """The process is no more (or a zombie nobody will wait for: it runs nothing),
    within a second: a kill is delivered when the process is next scheduled."""
    deadline = time.monotonic() + 1
    while True:
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)


def in_groups(groups: set[int]) -> list[int]:
    """Pids of live processes whose process group is one of `groups`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", encoding="ascii") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] != "Z" and int(fields[2]) in groups:
                found.append(int(entry))
    return found


def test_limits_stop_the_child_and_its_grandchild_and_output_stays_bounded(tmp_path):
    runner = Runner()
    began = time.monotonic()
    with pytest.raises(ChildStopped, match="sleep took longer than its limit of 0.5 s") as stopped:
        runner.run(["sleep", "30"], time_limit=0.5)
    assert stopped.value.why == "time" and time.monotonic() - began < 2
    # Output keeps the child alive past a stall limit; silence does not.
    chatty = [sys.executable, "-c", "import time\nfor _ in range(8): print('.', flush=True); time.sleep(0.2)"]
    assert runner.run(chatty, stall_limit=0.6).returncode == 0
    with pytest.raises(ChildStopped, match="wrote nothing for 0.6 s") as stopped:
        runner.run(["sh", "-c", "echo started; " + GRANDCHILD], stall_limit=0.6)
    assert stopped.value.why == "stall"
    # 4 MB on each stream: the start of stdout and the end of stderr are kept.
    flood = [sys.executable, "-c", "import sys\nsys.stdout.write('a' * 4_000_000 + 'z'); "
             "sys.stderr.write('x' * 4_000_000 + 'the reason')"]
    done = runner.run(flood, text=True)
    assert len(done.stdout) == len(done.stderr) == KEEP_BYTES
    assert set(done.stdout) == {"a"} and done.stderr.endswith("the reason")
    # A grandchild dies with its group: when a bound ends the child, and when the child
    # ends leaving it behind.
    with pytest.raises(ChildStopped):
        runner.run(["sh", "-c", f"sleep 30 & echo $! > {tmp_path}/pid; wait"], time_limit=0.5)
    assert gone(int((tmp_path / "pid").read_text()))
    left = runner.run(["sh", "-c", "sleep 30 >/dev/null & echo $!"], text=True)
    assert left.returncode == 0 and gone(int(left.stdout))
    # While this process ignores SIGINT, its children stay in its group (a terminal's Ctrl-C
    # reaches the run only through them), and a bound still ends what they started.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with pytest.raises(ChildStopped):
            runner.run(["sh", "-c", f"cut -d' ' -f5 /proc/$$/stat > {tmp_path}/group; "
                                    f"sleep 30 & echo $! > {tmp_path}/pid; wait"], time_limit=0.5)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert int((tmp_path / "group").read_text()) == os.getpgrp() and gone(int((tmp_path / "pid").read_text()))


def test_cancel_ends_every_child_group_within_a_second_from_another_thread():
    runner = Runner()
    pids: list[int] = []

    def start(argv, **options):
        child = subprocess.Popen(argv, **options)
        pids.append(child.pid)
        return child

    runner.start_child = start
    threading.Timer(0.5, runner.cancel).start()
    began = time.monotonic()
    with pytest.raises(ChildCancelled):
        with runner.stream(["sh", "-c", GRANDCHILD]) as child:
            grandchild = int(child.lines().__next__())
            while child.read(1):
                pass
    assert time.monotonic() - began < 1.5
    assert in_groups(set(pids)) == [] and gone(grandchild) and gone(pids[0])
    with pytest.raises(ChildCancelled):  # a cancelled runner starts nothing more
        runner.run(["true"])
    assert len(pids) == 1
    # A polled stop check (a batch job's, the services' shutdown) ends a child as quickly.
    stop = threading.Event()
    threading.Timer(0.3, stop.set).start()
    began = time.monotonic()
    with pytest.raises(KeyError):
        Runner(stop_requested=stop.is_set, cancelled_error=lambda: KeyError("stopped")).run(["sleep", "30"])
    assert time.monotonic() - began < 1.0


@pytest.mark.slow
def test_a_cancel_during_smart_framing_ends_the_run_within_two_seconds_leaving_no_child(tmp_path, monkeypatch):
    from vantor.demo.video_site import VideoSite
    from vantor.recap.api import make_recap
    from vantor.recap.engine.host import RunCancelled

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    film = tmp_path / "long.mp4"  # two minutes of a busy picture: several seconds of analysis
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=120",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "50", str(film)],
                   check=True)
    segments = [{"start": "0", "end": "58", "voiceover": "A box."}, {"start": "60", "end": "118", "voiceover": "Again."}]
    runs, groups, cancelled_at, kinds = [], set(), [], []

    def on_start(run):
        start = run.start_child

        def started(argv, **options):
            child = start(argv, **options)
            groups.add(child.pid)
            return child

        run.start_child = started
        runs.append(run)

    def on_event(event):
        if event.kind == "line" and "framing smart" in event.text:  # the analysis begins
            def cancel():
                cancelled_at.append(time.monotonic())
                runs[0].cancel()

            threading.Timer(1.0, cancel).start()
        kinds.append(event.kind)

    with VideoSite(tmp_path / "www") as site:
        page = site.publish(film, "film")[0]
        with pytest.raises(RunCancelled):
            make_recap(page, segments, voice="en-us", speed=1.25, output_dir=tmp_path / "out", mkdir=True,
                       services="local", quiet=True, frame="smart", on_start=on_start, on_event=on_event)
    ended = time.monotonic() - cancelled_at[0]
    print(f"cancel during smart framing: the run ended {ended:.2f} s after the cancel")
    assert ended < 2.0 and "conversion" not in kinds  # cancelled while analysing
    assert in_groups(groups) == []  # the analysis's ffmpeg and anything it started
    # The first range may be analysed beside the cuts; the second was under way.
    assert len(list(Path(tmp_path / "cache").glob("framing/*.json"))) < 2
