"""The batch's jobs file, its checks, the resume marker and the retry
classification: no cluster needed."""

from __future__ import annotations

import json
import os
import re
import subprocess

import pytest
import requests

from vantor.batch.check import check_jobs
from vantor.batch.jobs import JobsFileError, load_jobs
from vantor.batch.marker import MARKER_NAME, finished_outputs, write_marker
from vantor.batch.retry import is_transient
from vantor.cli import main

GOOD_SEGMENTS = [{"start": "1", "end": "2", "voiceover": "one"}]


def jobs_file(tmp_path, *lines):
    path = tmp_path / "jobs.jsonl"
    path.write_text("\n".join(line if isinstance(line, str) else json.dumps(line) for line in lines) + "\n")
    return path


def job(out="out/a", segments="seg.json", **extra):
    return {"url": "https://v.test/1", "segments": segments, "voice": "v", "speed": 1.0, "output_dir": out, **extra}


def test_jobs_file_paths_are_relative_to_it_and_every_bad_line_is_named(tmp_path):
    unvoiced = {k: v for k, v in job("b").items() if k != "voice"}
    path = jobs_file(tmp_path, "# comment", "", job(), {**unvoiced, "speed": 2})
    jobs = load_jobs(path)
    assert [(j.line, j.output_dir, j.segments, j.spec.speed, j.spec.voice) for j in jobs] == [
        (3, str(tmp_path / "out/a"), str(tmp_path / "seg.json"), 1.0, "v"),
        (4, str(tmp_path / "b"), str(tmp_path / "seg.json"), 2.0, "en-US-GuyNeural"),  # the neural voice
    ]
    bad = jobs_file(tmp_path, job(), "{not json", {**job(), "speed": 0}, {**job(), "speed": True},
                    {"url": "u"}, {**job(), "extra": 1}, [1], {**job(), "voice": ""}, {**job(), "speed": "nan"},
                    {**job(), "speed": 0.49}, {**job(), "speed": float("inf")})
    with pytest.raises(JobsFileError) as caught:
        load_jobs(bad)
    lines = str(caught.value).splitlines()
    assert [line.split(":")[1] for line in lines] == ["2", "3", "4", "5", "6", "7", "8", "9", "10", "11"]
    assert "missing 'segments', 'output_dir'" in lines[3]
    # One speed rule with `vantor recap`: a finite number, at least 0.5.
    assert lines[8].endswith("'speed': speed must be at least 0.5, not 0.49: ffmpeg's audio tempo filter "
                             "cannot slow the narration below half speed")
    assert "finite" in lines[9] and "bool" in lines[2]
    with pytest.raises(JobsFileError, match="no jobs"):
        load_jobs(jobs_file(tmp_path, "# nothing"))


def test_check_reports_segments_output_dirs_and_shared_dirs_naming_both_jobs(tmp_path, capsys):
    (tmp_path / "seg.json").write_text(json.dumps(GOOD_SEGMENTS))
    (tmp_path / "bad.json").write_text(json.dumps([{"start": "2", "end": "1", "voiceover": "x"}]))
    (tmp_path / "file").write_text("")
    (tmp_path / "locked").mkdir(mode=0o500)
    path = jobs_file(tmp_path, job("out/a"), job("out/b", "bad.json"), job("file"), job("out/a/"),
                     job("locked/deeper/out"), {**job("out/c"), "voice": " "})
    problems = [str(p) for p in check_jobs(load_jobs(path))]
    expected = [
        f"error: line 2: {tmp_path}/bad.json: segment 1 'end': '1' is not after start '2'; "
        "end is a position in the video, not a length",
        f"error: line 3: output directory '{tmp_path}/file' is not a directory; fix its \"output_dir\"",
        f"error: line 5: cannot write to output directory '{tmp_path}/locked' "
        f"(creating {tmp_path}/locked/deeper/out); fix its \"output_dir\"",
        "error: line 6: the voice is empty; give the name of a voice of the speech service",
        f"error: line 4: shares output directory {tmp_path}/out/a with line 1",
    ]
    if os.geteuid() == 0:  # root writes anywhere
        del expected[2]
    assert problems == expected
    assert main(["batch", "--check", str(path), "--services", "configured"]) == 1
    assert capsys.readouterr().out.splitlines()[-1] == f"6 jobs: {len(expected)} errors"
    # With the local services the voice must be one of theirs.
    assert main(["batch", "--check", "--json", "--services", "local", str(jobs_file(tmp_path, job()))]) == 1
    checked = json.loads(capsys.readouterr().out)
    assert not checked["ok"] and "unknown voice" in checked["problems"][0]["message"]
    assert main(["batch", "--check", "--services", "configured", str(jobs_file(tmp_path, job()))]) == 0
    assert not os.path.exists(tmp_path / "out")  # checking creates nothing


def test_bad_jobs_file_runs_nothing(tmp_path, capsys):
    assert main(["batch", str(jobs_file(tmp_path, "{"))]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == "vantor: the jobs file has errors; nothing was run"


def test_marker_belongs_to_one_job_description_and_its_outputs(tmp_path):
    (tmp_path / "seg.json").write_text(json.dumps(GOOD_SEGMENTS))
    [first] = load_jobs(jobs_file(tmp_path, job()))
    os.makedirs(first.output_dir)
    for name in ("FINAL_RECAP.mp4", "horizontal_final.mp4"):
        (tmp_path / "out/a" / name).write_bytes(b"x")
    write_marker(first, {"FINAL_RECAP.mp4": 1.0})
    assert finished_outputs(first)["outputs"] == {"FINAL_RECAP.mp4": 1.0}
    [faster] = load_jobs(jobs_file(tmp_path, {**job(), "speed": 1.5}))
    [other_voice] = load_jobs(jobs_file(tmp_path, {**job(), "voice": "w"}))
    assert finished_outputs(faster) is None and finished_outputs(other_voice) is None
    (tmp_path / "out/a/FINAL_RECAP.mp4").unlink()
    assert finished_outputs(first) is None  # the recap is gone: redo it
    (tmp_path / "out/a/FINAL_RECAP.mp4").write_bytes(b"x")
    (tmp_path / "out/a" / MARKER_NAME).write_text("{truncated")
    assert finished_outputs(first) is None


def http_error(status):
    response = requests.Response()
    response.status_code = status
    return requests.HTTPError(f"{status} error", response=response)


@pytest.mark.parametrize("error, transient", [
    (requests.ConnectionError("refused"), True),
    (requests.ReadTimeout("slow"), True),
    (http_error(503), True),
    (http_error(404), False),
    (Exception("Download API error: {'success': False}"), True),
    (Exception("Download timed out after 3 minutes"), True),
    (Exception("TTS failed for voice v: HTTP 502"), True),
    (Exception("TTS failed for voice v: HTTP 400"), False),
    (Exception("something else"), False),
    (subprocess.CalledProcessError(4, ["wget", "-O", "x", "u"]), True),
    (subprocess.CalledProcessError(8, ["wget", "-O", "x", "u"]), False),
    (subprocess.CalledProcessError(1, ["ffmpeg", "-i", "x"]), False),
    (json.JSONDecodeError("bad", "[", 1), False),
    (KeyError("start"), False),
    (TypeError("bad segment"), False),
    (FileNotFoundError("ffmpeg"), False),
])
def test_retry_classification(error, transient):
    assert is_transient(error) is transient


def test_services_open_once_per_process_and_a_new_provider_replaces_the_old(monkeypatch):
    import contextlib
    from dataclasses import dataclass

    from vantor.batch import services

    events: list[str] = []

    @dataclass(frozen=True)
    class Counting:
        name: str

        @contextlib.contextmanager
        def open(self):
            events.append(f"open {self.name}")
            yield
            events.append(f"close {self.name}")

    monkeypatch.setattr(services, "_current", None)
    for provider in (Counting("a"), Counting("a"), Counting("b"), Counting("b")):
        services.ensure_open(provider)
    services._close_current()
    assert events == ["open a", "close a", "open b", "close b"]


def test_command_interrupted_writes_the_report_and_exits_130(tmp_path, monkeypatch, capsys):
    from vantor.batch import runner
    from vantor.batch.report import JobReport, Report

    def interrupted(jobs, **options):
        report = Report([JobReport.for_job(job) for job in jobs], interrupted=True)
        report.jobs[0].status = "cancelled"
        raise runner.BatchInterrupted(report)

    monkeypatch.setattr(runner, "run", interrupted)
    (tmp_path / "seg.json").write_text(json.dumps(GOOD_SEGMENTS))
    report_path = tmp_path / "report.json"
    assert main(["batch", str(jobs_file(tmp_path, job())), "--services", "configured",
                 "--report", str(report_path)]) == 130
    out, err = capsys.readouterr()
    shown = [line for line in err.splitlines() if line]
    assert out == "" and shown[-1] == "vantor: interrupted"
    assert re.fullmatch(r"vantor: 1 job: 0 ok, 0 skipped \(already done\), 0 failed, 1 cancelled in .*", shown[-2])
    saved = json.loads(report_path.read_text())
    assert saved["interrupted"] and saved["jobs"][0]["status"] == "cancelled"



def test_check_with_the_speech_service_reports_in_line_order(tmp_path, monkeypatch, capsys):
    # Spoken voice by voice (en-gb: lines 1 and 3), reported line by line.
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    (tmp_path / "a.json").write_text(json.dumps([{"start": "0", "end": "9", "voiceover": "Red."}]))
    (tmp_path / "b.json").write_text(json.dumps([{"start": "0", "end": "1", "voiceover": "Too long for a second " * 3}]))
    voices = [("a.json", "en-gb"), ("b.json", "en-us"), ("a.json", "en-gb")]
    path = jobs_file(tmp_path, *[{**job(f"o{n}", segments), "voice": v, "fit": "narration"}  # its cuts are warned
                                 for n, (segments, v) in enumerate(voices)])
    assert main(["batch", "--check", "--services", "local", str(path)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [line.split(": ")[1] for line in out[:-1]] == ["line 1", "line 2", "line 2", "line 3"], out
