"""`vantor check` as its users run it: several files, stdin, --quiet, --json,
segments numbered from 1, and messages that say how to fix each problem."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
GOOD = [{"start": "0", "end": "9", "voiceover": "fine"}]
TIME_HINT = "hint: times are seconds like 90 or 1.5, or [HH:]MM:SS[.fraction] like 01:30 or 00:01:30.5"


def check(*args, stdin=None, cwd=ROOT):
    done = subprocess.run([sys.executable, "-m", "vantor", "check", *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def write(tmp_path):
    def write(name, content):
        path = tmp_path / name
        path.write_text(content if isinstance(content, str) else json.dumps(content), encoding="utf-8")
        return path
    return write


@pytest.mark.parametrize("segment, line", [
    ({"Start": "1", "end": "2", "voiceover": "x"}, "error: segment 2 'start': missing; found 'Start': did you mean 'start'?"),
    ({"start": "1", "ends": "2", "voiceover": "x"}, "error: segment 2 'end': missing; found 'ends': did you mean 'end'?"),
    ({"start": "1", "end": "2", "voice_over": "x"},
     "error: segment 2 'voiceover': missing; found 'voice_over': did you mean 'voiceover'?"),
    ({"start": "1", "end": "2"}, "error: segment 2 'voiceover': missing; add \"voiceover\""),
    ({"start": "1", "end": True, "voiceover": "x"},
     "error: segment 2 'end': must be a time, a string like \"1.5\" or a number, not true"),
    ({"start": "1", "end": 2, "voiceover": 2}, "error: segment 2 'voiceover': must be a string, not a number"),
    ({"start": "1", "end": 0.5, "voiceover": "x"},
     "error: segment 2 'end': 0.5 is not after start '1'; end is a position in the video, not a length"),
    ({"start": "1", "end": "2", "voiceover": None}, "error: segment 2 'voiceover': must be a string, not null"),
    ({"start": "1", "end": "2", "voiceover": {}}, "error: segment 2 'voiceover': must be a string, not an object"),
    ({"start": "1", "end": "2", "voiceover": False}, "error: segment 2 'voiceover': must be a string, not false"),
    (["1", "2", "x"], "error: segment 2: must be an object like {\"start\": \"0\", \"end\": \"5\", \"voiceover\": \"...\"}, not an array"),
    ({"start": "5", "end": "2", "voiceover": "x"},
     "error: segment 2 'end': '2' is not after start '5'; end is a position in the video, not a length")])
def test_messages_say_how_to_fix(write, segment, line):
    rc, out, _ = check(write("s.json", GOOD + [segment]))
    assert rc == 1 and out.splitlines()[0] == line


def test_numbers_of_seconds_are_times_but_not_every_number(write):
    path = write("s.json", [{"start": 0, "end": 2.5, "voiceover": "x"}, {"start": 3, "end": "4", "voiceover": "y"}])
    assert check(path)[:2] == (0, f"{path}: OK\n")
    path.write_text('[{"start": NaN, "end": 1e400, "voiceover": "x"}, {"start": -Infinity, "end": 1e30, '
                    '"voiceover": "y"}, {"start": false, "end": 1, "voiceover": "z"}]', encoding="utf-8")
    rc, out, _ = check(path)
    assert rc == 1 and out.splitlines()[:5] == [
        "error: segment 1 'start': NaN is not a time; write a finite number of seconds",
        "error: segment 1 'end': Infinity is not a time; write a finite number of seconds",
        "error: segment 2 'start': -Infinity is not a time; write a finite number of seconds",
        "error: segment 2 'end': 1e+30 is not a time",  # more seconds than ffmpeg counts
        "error: segment 3 'start': must be a time, a string like \"1.5\" or a number, not false"]


def test_time_forms_are_listed_once(write):
    path = write("s.json", [{"start": "1:2:3:4", "end": "1.5.5", "voiceover": "x"},
                            {"start": "abc", "end": "9", "voiceover": "x"}])
    rc, out, _ = check(path)
    assert rc == 1 and out.splitlines() == [
        "error: segment 1 'start': '1:2:3:4' is not a time", "error: segment 1 'end': '1.5.5' is not a time",
        "error: segment 2 'start': 'abc' is not a time", TIME_HINT, f"{path}: 3 errors"]


def test_several_files_stdin_quiet_and_json(write, tmp_path):
    warned = write("warned.json", [{"start": "0", "end": "1", "voiceover": "far too many words for one second"}])
    bad = write("bad.json", [{"start": "x", "end": "2", "voiceover": "y"}])
    rc, out, _ = check(warned, "-", bad, stdin="[]")
    assert rc == 1 and out.splitlines() == [
        f"{warned}: warning: segment 1 'voiceover': narration of about 2.8 s will probably be cut off: "
        "the segment lasts 1.0 s", f"{warned}: OK (1 warning)",
        "<stdin>: error: file: the array is empty; add at least one segment like "
        "{\"start\": \"0\", \"end\": \"5\", \"voiceover\": \"...\"}", "<stdin>: 1 error",
        f"{bad}: error: segment 1 'start': 'x' is not a time", f"{bad}: {TIME_HINT}", f"{bad}: 1 error"]

    assert check("-q", warned, stdin="") == (0, "", "")  # warnings and summaries hidden
    rc, out, _ = check("--quiet", warned, bad)
    assert rc == 1 and out.splitlines() == [f"{bad}: error: segment 1 'start': 'x' is not a time", f"{bad}: {TIME_HINT}"]

    rc, out, _ = check("--json", warned, "-", stdin=json.dumps(GOOD))
    report = json.loads(out)
    assert rc == 0 and report["ok"] is True and [f["file"] for f in report["files"]] == [str(warned), "<stdin>"]
    assert report["files"][0]["segments"] == 1 and report["files"][0]["problems"] == [
        {"severity": "warning", "segment": 1, "member": "voiceover",
         "message": "narration of about 2.8 s will probably be cut off: the segment lasts 1.0 s"}]


@pytest.mark.parametrize("name, content, line", [
    ("missing.json", None, "error: file: no such file; check the path"),
    ("bom.json", "\ufeff[]", "error: file: the file starts with a byte-order mark (BOM); save it as UTF-8 without a BOM")])
def test_unreadable_files(write, tmp_path, name, content, line):
    path = tmp_path / name if content is None else write(name, content)
    assert check(path) == (1, f"{line}\n{path}: 1 error\n", "")


def test_drafts_and_many_alike_problems_are_a_line_each_then_a_count(write):
    drafts = [{"start": str(n), "end": str(n + 1), "voiceover": "REWRITE: what the film says"} for n in range(48)]
    rc, out, _ = check(write("s.json", drafts[:4] + [{**GOOD[0], "end": "x"}] + drafts[4:]))
    said = "'voiceover': still the draft of vantor suggest (it begins with 'REWRITE:'); write your own narration"
    lines = out.splitlines()
    assert rc == 1 and [line.split(said)[0] for line in lines[:3]] == [f"error: segment {n} " for n in (1, 2, 3)]
    assert lines[3].startswith(f"error: and 45 more segments {said}")  # where the fourth would be
    assert lines[4] == "error: segment 5 'end': 'x' is not a time" and len(lines) == 7  # then the hint, the sum
    rc, out, _ = check(write("s.json", drafts[:4]))  # four alike: each its own line, no count
    assert rc == 1 and len(out.splitlines()) == 5 and "more" not in out
