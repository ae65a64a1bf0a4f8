"""The outside programs a run needs, looked up before anything starts, and
`doctor`'s advice for each missing one, with PATH a folder that lacks some."""

from __future__ import annotations

import io
import os
import re
import shutil

import pytest

from vantor import doctor
from vantor.tools import MissingToolError, missing_tools, require_tools

ALL = ("ffmpeg", "ffprobe", "wget", "espeak-ng")


def bin_dir(path, lacking=(), not_executable=()):
    """A PATH folder with links to the real tools, less `lacking`."""
    path.mkdir()
    for name in ALL:
        if name in not_executable:
            (path / name).write_text("#!/bin/sh\n")  # there, but no program
        elif name not in lacking:
            (path / name).symlink_to(shutil.which(name))
    return str(path)


@pytest.mark.parametrize(("lacking", "local", "message"), [
    ((), True, None),
    (("espeak-ng",), False, None),  # only the local speech service speaks with it
    (("ffprobe",), False, "ffprobe is not installed (not found on PATH): install with: apt-get install ffmpeg"),
    (("wget",), True, "wget is not installed (not found on PATH): install with: apt-get install wget"),
    (("espeak-ng",), True,
     "espeak-ng is not installed (not found on PATH): install with: apt-get install espeak-ng"),
    (("ffmpeg", "ffprobe"), False,  # one package brings both
     "ffmpeg and ffprobe are not installed (not found on PATH): install with: apt-get install ffmpeg"),
    (ALL, True, "ffmpeg, ffprobe, wget and espeak-ng are not installed (not found on PATH): "
                "install with: apt-get install ffmpeg wget espeak-ng"),
])
def test_run_refused_in_one_line_naming_the_package(tmp_path, lacking, local, message):
    path = bin_dir(tmp_path / "bin", lacking)
    if message is None:
        require_tools(local, path=path)
        return
    with pytest.raises(MissingToolError) as refused:
        require_tools(local, path=path)
    assert str(refused.value) == message and "\n" not in message
    assert tuple(tool.name for tool in refused.value.missing) == tuple(n for n in ALL if n in lacking)


def test_a_file_that_is_not_a_program_counts_as_missing(tmp_path):
    path = bin_dir(tmp_path / "bin", not_executable=("wget",))
    assert [tool.name for tool in missing_tools(False, path=path)] == ["wget"]


def test_the_run_path_looks_on_the_process_path(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", bin_dir(tmp_path / "bin", lacking=("ffmpeg",)))
    with pytest.raises(MissingToolError, match=r"^ffmpeg is not installed"):
        require_tools(False)


def test_doctor_advises_an_install_for_each_missing_tool(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", bin_dir(tmp_path / "bin", lacking=("ffprobe", "wget")))
    out = io.StringIO()
    ready = doctor.check_tools(doctor.RUN_TOOLS, out)
    lines = out.getvalue().splitlines()
    assert not ready and [line.split(":")[0] for line in lines] == ["✓ ffmpeg", "✗ ffprobe", "✗ wget"]
    assert lines[1].endswith("install with: apt-get install ffmpeg")
    assert lines[2].endswith("install with: apt-get install wget")
    assert lines[0].startswith(f"✓ ffmpeg: {os.path.join(tmp_path, 'bin', 'ffmpeg')} (ffmpeg version ")


def test_doctor_says_the_software_fallback_once_as_news(monkeypatch):
    monkeypatch.setattr(doctor, "try_encoder", lambda encoder: (encoder == "libx264", "No NVENC capable devices found"))
    out = io.StringIO()
    assert doctor.check_encoders(out)
    assert out.getvalue().splitlines() == [
        "i encoder h264_nvenc: not available (GPU unavailable, using CPU encoder libx264 instead): "
        "No NVENC capable devices found",
        "✓ encoder libx264: works"]
    monkeypatch.setattr(doctor, "try_encoder", lambda encoder: (False, "Unknown encoder"))
    assert not doctor.check_encoders(io.StringIO())  # without libx264 nothing converts


class _RecordingProvider:
    """Batch services that only note being opened (the first request's cue)."""

    opened: list[str] = []

    def open(self):
        self.opened.append("open")
        raise AssertionError("the services were opened")


def test_every_front_end_refuses_before_any_request(tmp_path, monkeypatch, standins):
    import vantor
    from vantor.batch.jobs import Job
    from vantor.recap.engine.options import RecapSpec
    from vantor.batch.task import run_job
    from vantor.demo import run_demo

    download, speech, _ = standins
    segments = tmp_path / "segments.json"
    segments.write_text('[{"start": "1", "end": "2", "voiceover": "Hi."}]', encoding="utf-8")
    no_ffmpeg = bin_dir(tmp_path / "bin", lacking=("ffmpeg", "ffprobe"))
    no_espeak = bin_dir(tmp_path / "bin2", lacking=("espeak-ng",))
    monkeypatch.setenv("PATH", no_ffmpeg)
    says = r"^ffmpeg and ffprobe are not installed \(not found on PATH\): install with: apt-get install ffmpeg$"
    with pytest.raises(vantor.PreflightError, match=says):
        vantor.make_recap("https://example.org/v", segments, voice="v", output_dir=tmp_path / "out", mkdir=True,
                          services="configured")
    assert not (tmp_path / "out").exists()

    outcome = run_job(Job("https://example.org/v", str(segments), str(tmp_path / "job"), RecapSpec(voice="v")),
                      _RecordingProvider())
    assert outcome["status"] == "failed" and not outcome["transient"] and _RecordingProvider.opened == []
    assert re.match(says, outcome["error"]) and outcome["error_type"] == "vantor.tools.MissingToolError"

    monkeypatch.setenv("PATH", no_espeak)
    with pytest.raises(MissingToolError, match="^espeak-ng is not installed"):
        run_demo(str(tmp_path / "demo"))
    assert not (tmp_path / "demo").exists()
    assert download.requests == [] and speech.requests == []


def test_the_batch_and_demo_commands_refuse_before_they_start_anything(tmp_path, monkeypatch, capsys):
    from vantor.cli import main

    jobs = tmp_path / "jobs.jsonl"
    (tmp_path / "s.json").write_text('[{"start": "1", "end": "2", "voiceover": "Hi."}]', encoding="utf-8")
    jobs.write_text('{"url": "https://example.org/v", "segments": "s.json", "voice": "v", "output_dir": "a"}\n',
                    encoding="utf-8")
    no_wget, no_espeak = bin_dir(tmp_path / "bin", lacking=("wget",)), bin_dir(tmp_path / "bin2", lacking=("espeak-ng",))
    monkeypatch.setenv("PATH", no_wget)
    assert main(["batch", str(jobs), "--services", "configured"]) == 1
    assert capsys.readouterr() == ("", "vantor: wget is not installed (not found on PATH): "
                                       "install with: apt-get install wget\n")
    assert not (tmp_path / "a").exists()

    monkeypatch.setenv("PATH", no_espeak)
    assert main(["demo", "--output-dir", str(tmp_path / "demo")]) == 1
    assert capsys.readouterr().err.startswith("vantor: espeak-ng is not installed")
    assert not (tmp_path / "demo").exists()
