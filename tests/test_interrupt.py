"""Ctrl-C in the middle of a recap: the run ends with KeyboardInterrupt, no
ffmpeg is left running, and the working files stay as for any failure.

The recap runs in a child interpreter (stand-in download and narration,
real ffmpeg) on a 12 s source so that the conversion lasts long enough to be
interrupted while it runs."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = """
    import shutil, sys, types
    sys.path.insert(0, sys.argv[4])  # the tests' folder, for the stand-ins
    import vantor.vantor as engine
    from standins.media import make_narration_mp3

    source, segments, out = sys.argv[1:4]
    engine._download_video = lambda url, path: shutil.copyfile(source, path)
    engine._generate_tts = lambda text, path, voice: make_narration_mp3(path, text, seconds=11.0)
    engine.time = types.SimpleNamespace(sleep=lambda seconds: None)
    engine.run_recap("https://youtu.be/interrupt", segments, 1.0, "voice", out)
"""


def processes_naming(text):
    """(pid, parent pid, argv) of every process whose command line holds text."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        if any(text in a for a in argv):
            found.append((int(entry), parent, argv))
    return found


@pytest.mark.slow
@pytest.mark.parametrize("whom", ["python-only", "process-group"])
def test_ctrl_c_during_conversion_leaves_no_ffmpeg(source_video, tmp_path, whom):
    out = tmp_path / "out"
    out.mkdir()
    segments = tmp_path / "s.json"
    segments.write_text('[{"start": "0", "end": "11", "voiceover": "long"}]', encoding="utf-8")
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), source_video, str(segments), str(out),
                              os.path.dirname(os.path.abspath(__file__))],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not any(p[1] == child.pid and "libx264" in p[2] for p in processes_naming(str(out))):
            assert child.poll() is None, child.communicate()
            assert time.monotonic() < deadline, "the conversion never started"
            time.sleep(0.02)
        if whom == "process-group":  # what a terminal's Ctrl-C does
            os.killpg(child.pid, signal.SIGINT)
        else:
            child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    assert child.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt"), err
    time.sleep(0.2)
    assert processes_naming(str(out)) == []
    # Nothing is cleaned up after a failure: the run's working files stay.
    assert {"movie.mp4", "merged_0.mp4", "filelist.txt", "horizontal_final.mp4"} <= set(os.listdir(out))
