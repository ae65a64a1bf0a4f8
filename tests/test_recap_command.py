"""`vantor recap` as a video maker runs it: a real process, real files, the
engine's services on loopback stand-ins (tests/standin_command.py).

Refusals that need no service come before any request; the one that needs
the video (a range past its end) comes before any narration. stdout holds
only the result."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
URL = "https://www.youtube.com/watch?v=command-test"
TWO = [{"start": "1", "end": "2.5", "voiceover": "The first part."},
       {"start": "00:00:04", "end": "6", "voiceover": "The second part."}]


class Command:
    def __init__(self, tmp_path: Path, source_video: str) -> None:
        self.tmp = tmp_path
        self.video = source_video

    def segments(self, data: object, name: str = "segments.json") -> str:
        path = self.tmp / name
        path.write_text(data if isinstance(data, str) else json.dumps(data), encoding="utf-8")
        return str(path)

    def recap(self, *args: str, segments: object = TWO, out: str | None = None, speed: str = "1.5",
              env: dict[str, str] | None = None, stdin: str | None = None):
        """(exit status, stdout, stderr, requests per stand-in)."""
        record = self.tmp / "record.json"
        record.unlink(missing_ok=True)
        out = str(self.tmp / "out") if out is None else out
        source = "-" if segments is None else self.segments(segments)  # None: from standard input
        argv = ["recap", URL, source, "--voice", "en-US-Test", "--speed", speed,
                "--output-dir", out, "--services", "configured", *args]
        done = subprocess.run([sys.executable, str(ROOT / "tests" / "standin_command.py"), str(record),
                               self.video, *argv], cwd=self.tmp, capture_output=True, text=True, timeout=300,
                              env=env, input=stdin)
        requests = json.loads(record.read_text()) if record.exists() else None
        return done.returncode, done.stdout, done.stderr, requests


@pytest.fixture
def command(tmp_path, source_video):
    (tmp_path / "out").mkdir()
    return Command(tmp_path, source_video)


NONE = {"download": [], "speech": []}


@pytest.mark.parametrize("speed, says", [
    ("0", "speed must be at least 0.5, not 0: ffmpeg's audio tempo filter cannot slow the narration"),
    ("-1", "speed must be at least 0.5, not -1"), ("0.3", "speed must be at least 0.5, not 0.3"),
    ("nan", "speed must be a finite number like 1.5, not nan"), ("inf", "not inf")])
def test_bad_speed_is_refused_before_any_request(command, speed, says):
    rc, out, err, requests = command.recap(speed=speed)
    assert (rc, out, requests) == (1, "", NONE)
    (line,) = err.splitlines()
    assert line.startswith("vantor: ") and says in line
    assert os.listdir(command.tmp / "out") == []  # no 0-byte FINAL_RECAP.mp4


def test_missing_output_directory_is_refused_or_created(command):
    missing = str(command.tmp / "new" / "dir")
    rc, out, err, requests = command.recap(out=missing, segments=[])  # the empty array is refused first
    assert (rc, requests) == (1, NONE) and not os.path.exists(missing)  # nothing created for a refused run
    rc, out, err, requests = command.recap(out=missing)
    assert (rc, out, requests) == (1, "", NONE)
    assert err == (f"vantor: output directory {missing!r} does not exist, nor does its parent "
                   f"{str(command.tmp / 'new')!r}; create them or pass --mkdir (-p)\n")
    (command.tmp / "file").write_text("")
    rc, _, err, _ = command.recap("-p", out=str(command.tmp / "file"))
    assert rc == 1 and err.endswith("is not a directory\n")


UNREACHABLE = ("--services", "http://127.0.0.1:9/token", "--voice", "en-us")  # a vantor serve that is not there


@pytest.mark.parametrize("args, out", [((), "fresh"), (("-p",), "fresh/deeper")])
def test_a_folder_made_for_a_run_that_wrote_nothing_is_removed(command, args, out):
    """The output directory is made when its parent exists (all of it with
    -p), said in one line; a run that then fails before writing anything
    (no service answers) removes what it made, and only that."""
    (command.tmp / "out" / "keep").write_text("")
    target = command.tmp / out
    rc, _, err, _ = command.recap(*args, *UNREACHABLE, out=str(target))
    assert rc == 1 and err.startswith(f"vantor: created the output directory {str(target)!r}\n"), err
    assert sorted(os.listdir(command.tmp)) == ["out", "record.json", "segments.json"]
    os.makedirs(target / "mine")  # a folder with something in it stays
    rc, _, err, _ = command.recap(*args, *UNREACHABLE, out=str(target))
    assert rc == 1 and "created" not in err and (target / "mine").is_dir()


@pytest.mark.parametrize("lacking, says", [
    ("wget", "wget is not installed (not found on PATH): install with: apt-get install wget"),
    ("ffprobe", "ffprobe is not installed (not found on PATH): install with: apt-get install ffmpeg")])
def test_a_missing_program_is_refused_before_any_request(command, lacking, says):
    from test_tools import bin_dir

    env = {**os.environ, "PATH": bin_dir(command.tmp / "bin", lacking=(lacking,))}
    rc, out, err, requests = command.recap(env=env)
    assert (rc, out, err, requests) == (1, "", f"vantor: {says}\n", NONE)
    assert os.listdir(command.tmp / "out") == []


@pytest.mark.slow
def test_mkdir_creates_the_output_directory(command):
    target = command.tmp / "made" / "here"
    rc, out, err, requests = command.recap("--mkdir", "-q", out=str(target))
    assert (rc, err) == (0, "") and out == f"{target}/FINAL_RECAP.mp4\n"
    assert len(requests["speech"]) == 2


@pytest.mark.parametrize("segments, says", [
    ([], "error: file: the array is empty; add at least one segment like {\"start\": \"0\", \"end\": \"5\", "
         "\"voiceover\": \"...\"}"),
    ([TWO[0], {"start": None, "end": "3", "voiceover": "x"}],
     "error: segment 2 'start': must be a time, a string like \"1.5\" or a number, not null")])
def test_bad_segments_are_refused_before_any_request(command, segments, says):
    rc, out, err, requests = command.recap(segments=segments)
    assert (rc, out, requests) == (1, "", NONE)
    first, last = err.splitlines()  # each error once: the report, then what came of it
    assert first == says
    assert last == f"vantor: {command.tmp / 'segments.json'}: 1 error in the segments file; nothing was downloaded"


def test_segments_from_standard_input_are_checked_as_a_file_is(command):
    rc, out, err, requests = command.recap(segments=None, stdin='[{"start": "2", "end": "1", "voiceover": "x"}]')
    assert (rc, out, requests) == (1, "", NONE)
    assert err.splitlines() == [
        "error: segment 1 'end': '1' is not after start '2'; end is a position in the video, not a length",
        "vantor: <stdin>: 1 error in the segments file; nothing was downloaded"]


@pytest.mark.slow
def test_segments_from_standard_input_and_the_verbose_detail(command):
    rc, out, err, requests = command.recap("-v", segments=None, stdin=json.dumps(TWO))
    assert (rc, out) == (0, f"{command.tmp}/out/FINAL_RECAP.mp4\n"), err
    lines = err.splitlines()
    assert len(requests["speech"]) == 2 and "  Segment 2/2: 00:00:04 \u2192 6" in lines
    # The fetch, the one read of the source's picture that plans the run's timeline, then the first cut.
    assert [line.split()[1] for line in lines if line.startswith("  $ ")][:3] == ["wget", "ffprobe", "ffmpeg"]
    assert any(line.startswith("  $ ffmpeg ") and line.endswith("/FINAL_RECAP.mp4") for line in lines)


@pytest.mark.slow
def test_range_past_the_video_end_is_refused_before_any_narration(command):
    # The source lasts 12 s: segment 2 starts after it, segment 3 at its very end.
    segments = TWO[:1] + [{"start": "00:00:20", "end": "25", "voiceover": "Too late."},
                          {"start": "12", "end": "13", "voiceover": "At the end."}]
    rc, out, err, requests = command.recap("-q", segments=segments)
    assert (rc, out) == (1, "") and requests["speech"] == [] and len(requests["download"]) >= 3
    head, second, third = err.splitlines()  # a line each
    assert re.fullmatch(r"vantor: 2 segments start past the end of the video \(12\.\d\d s\); nothing was narrated:",
                        head), head
    assert re.fullmatch(r"  segment 2 'start': starts at 00:00:20 \(20 s\), past the end of the video "
                        r"\(12\.\d\d s\); fix its \"start\"", second), second
    assert third.startswith("  segment 3 'start': starts at 12 (12 s), past the end")
    assert os.listdir(command.tmp / "out") == []  # the working folder, with its copy of the movie, is gone


@pytest.mark.slow
def test_stdout_holds_only_the_result(command):
    # Segment 3 runs past the video's end, with a narration too long for it: two warnings.
    late = {"start": "11", "end": "14", "voiceover": "one two three four five six seven eight"}
    rc, out, err, requests = command.recap(segments=TWO + [late])
    final = f"{command.tmp}/out/FINAL_RECAP.mp4"
    assert (rc, out) == (0, final + "\n"), err
    progress = err.splitlines()
    assert progress[0] == ("warning: segment 3 'voiceover': narration of about 3.2 s will probably be cut off: "
                           "the segment lasts 3.0 s")
    (ends,) = [line for line in progress if line.startswith("warning: segment 3 'end'")]
    assert re.fullmatch(r"warning: segment 3 'end': ends at 14 \(14 s\), after the end of the video "
                        r"\(12\.\d\d s\): its clip will be shorter", ends)
    assert "  Segment 1/3: 1 \u2192 2.5" in progress and "  Segment 2/3: 00:00:04 \u2192 6" in progress
    assert progress[-1] == f"\u2705 Done! Vertical Output: {final}"
    assert "  100%" in progress and not any("\r" in line for line in progress)  # the job figure, once

    rc, out, err, _ = command.recap("--json", "--quiet", "--force")
    assert (rc, err) == (0, "")
    result = json.loads(out)
    assert result["outputs"] == {"final": final, "horizontal": f"{command.tmp}/out/horizontal_final.mp4"}
    assert result["segments"] == 2 and result["encoder"] in ("h264_nvenc", "libx264")
    assert result["durations"]["final"] == pytest.approx(result["durations"]["horizontal"] / 1.5, abs=0.25)
    assert result["sizes"]["final"] == os.path.getsize(final) and result["wall_time"] > 0


def test_version_line():
    done = subprocess.run([sys.executable, "-m", "vantor", "--version"], cwd=ROOT, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and done.stderr == ""
    assert re.fullmatch(r"vantor \d+\.\d+\.\d+ \(engine for CPython 3\.13, ffmpeg \S+ on PATH, "
                        r"hosts \S+, \S+\)\n", done.stdout), done.stdout


@pytest.mark.parametrize("argv", [["recap", URL], ["check"], ["doctor", "x"], ["demo", "--bogus"],
                                  ["nope"], []])
def test_usage_errors_exit_2(argv):
    done = subprocess.run([sys.executable, "-m", "vantor", *argv], cwd=ROOT, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and done.stdout == "" and "usage: vantor" in done.stderr


def test_every_subcommand_has_help_with_an_example():
    for command in ("recap", "check", "doctor", "serve", "voices", "demo"):
        done = subprocess.run([sys.executable, "-m", "vantor", command, "--help"], cwd=ROOT, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0 and re.search(r"\nexample:\n  vantor " + command, done.stdout), done.stdout
    recap = subprocess.run([sys.executable, "-m", "vantor", "recap", "--help"], cwd=ROOT, capture_output=True,
                           text=True, timeout=60).stdout
    assert "(default: 1.0)" in recap and "(default: .)" in recap and "(default: auto)" in recap
    assert "(default: en-US-GuyNeural)" in recap
    # Each option's default said once, as typed: no Python value's repr, no "(default x) (default: x)".
    options = re.split(r"\n  (?=-)", recap.split("options:", 1)[1])
    assert all(o.count("default") <= 1 for o in options) and "ServicesChoice" not in recap, recap


def test_demo_failure_is_one_line(tmp_path):
    blocker = tmp_path / "taken"
    blocker.write_text("")
    done = subprocess.run([sys.executable, "-m", "vantor", "demo", "--output-dir", str(blocker)], cwd=ROOT,
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (1, "")
    (line,) = done.stderr.splitlines()
    assert line == f"vantor: output directory {str(blocker)!r} is not a directory"


@pytest.mark.slow
def test_demo_interrupted_exits_130(tmp_path):
    demo = subprocess.Popen([sys.executable, "-m", "vantor", "demo", "--output-dir", str(tmp_path)], cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert demo.stderr is not None and demo.stderr.readline().startswith("vantor demo: 4 segments")
        demo.send_signal(signal.SIGINT)
        out, err = demo.communicate(timeout=120)
    finally:
        demo.kill()
    assert (demo.returncode, out) == (130, "")
    assert err.splitlines()[-1] == "vantor: interrupted" and "Traceback" not in err


@pytest.mark.slow
def test_ctrl_c_during_the_conversion_is_interrupted_exit_130_even_where_sigint_is_ignored(command):
    """A terminal's Ctrl-C signals the whole group; a recap started in the
    background of a script ignores SIGINT itself and sees only its ffmpeg stop."""
    from test_interrupt import processes_naming

    out = command.tmp / "out"
    argv = ["recap", URL, command.segments([{"start": "0", "end": "11", "voiceover": "The whole film."}]),
            "--output-dir", str(out), "--services", "configured", "--frame", "center"]
    child = subprocess.Popen([sys.executable, str(ROOT / "tests" / "standin_command.py"), str(command.tmp / "r.json"),
                              command.video, *argv], cwd=command.tmp, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    try:
        for _ in range(6000):  # the software conversion writing (past ffmpeg's start: it has its handler)
            if any("libx264" in p[2] for p in processes_naming(str(out))) and any(
                    f.stat().st_size for f in out.glob(".vantor-run-*/FINAL_RECAP.mp4")):
                break
            assert child.poll() is None, child.communicate()
            time.sleep(0.02)
        os.killpg(child.pid, signal.SIGINT)
        stdout, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    assert (child.returncode, stdout) == (130, "") and err.splitlines()[-1] == "vantor: interrupted", err
    assert processes_naming(str(out)) == [] and os.listdir(out) == []  # no ffmpeg left, nothing kept
