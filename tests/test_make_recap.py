"""`vantor.make_recap` from Python: paths or in-memory segments, the same
checks as the command line, a result with Paths and durations."""

from __future__ import annotations

import io
import os
from pathlib import Path

import pytest

import vantor
from vantor.recap.checks.preflight import SegmentsError

URL = "https://www.youtube.com/watch?v=api-test"
SEGMENTS = [{"start": "1", "end": "2.5", "voiceover": "Hello."}, {"start": "4", "end": "6", "voiceover": "Again."}]


@pytest.fixture
def services(standins):
    download, speech, router = standins
    return download, speech


@pytest.mark.slow
def test_paths_and_a_list(services, engine, tmp_path):
    original = engine._download_video
    segments_file = tmp_path / "segments.json"
    segments_file.write_text('[{"start": "1", "end": "3", "voiceover": "From a file."}]', encoding="utf-8")
    progress = io.StringIO()
    from_file = vantor.make_recap(URL, segments_file, voice="v", speed=2, output_dir=tmp_path / "a", mkdir=True,
                                  progress=progress, services="configured")
    assert from_file.final == tmp_path / "a" / "FINAL_RECAP.mp4" and isinstance(from_file.final, Path)
    assert from_file.segments == 1 and from_file.final_duration == pytest.approx(from_file.horizontal_duration / 2,
                                                                                  abs=0.25)
    assert "  Segment 1/1: 1 \u2192 3" in progress.getvalue().splitlines()

    with pytest.raises(vantor.PreflightError, match="FINAL_RECAP.mp4 exists; pass overwrite=True to replace it, "
                                                    "or choose another output_name$"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path / "a", quiet=True, services="configured")
    from_list = vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path / "a", quiet=True,
                                  services="configured", overwrite=True)
    assert from_list.segments == 2 and from_list.final.stat().st_size == from_list.final_size > 0
    assert from_list.horizontal == tmp_path / "a" / "horizontal_final.mp4" and from_list.wall_time > 0
    assert engine._download_video is original  # the duration check is unwound after each run


def test_refusals_come_before_any_request(services, engine, tmp_path):
    original = engine._download_video
    with pytest.raises(vantor.PreflightError, match=r"^speed must be at least 0\.5, not 0\.2"):
        vantor.make_recap(URL, SEGMENTS, voice="v", speed=0.2, output_dir=tmp_path, services="configured")
    with pytest.raises(SegmentsError, match=r"^segments: 1 error in the segments file \(first: segment 2 'end': "
                                            r"must be a time, a string like \"1.5\" or a number, not true\)"):
        vantor.make_recap(URL, [SEGMENTS[0], {**SEGMENTS[1], "end": True}], voice="v", output_dir=tmp_path,
                          services="configured")
    drafts = [{**SEGMENTS[0], "voiceover": "REWRITE: the film's words"}] * 5
    with pytest.raises(SegmentsError, match=r"^segments: 5 errors in the segments file \(first: segments 1, 2, 3 and 2 "
                                            r"more 'voiceover': still the draft of vantor suggest"):
        vantor.make_recap(URL, drafts, output_dir=tmp_path, services="configured")
    with pytest.raises(vantor.PreflightError, match="nor does its parent .*; create them or pass mkdir=True$"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path / "no" / "out", services="configured")
    with pytest.raises(vantor.PreflightError, match="unknown services 'elsewhere'; use auto, configured, local or"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path, services="elsewhere")
    with pytest.raises(vantor.PreflightError, match=r"^unknown voice 'v'; see vantor voices"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path, services="local")
    with pytest.raises(TypeError, match="segments must be a path or a list of segments, not bytes"):
        vantor.make_recap(URL, b"[]", voice="v", output_dir=tmp_path)  # type: ignore[arg-type]
    assert services[0].requests == [] and services[1].requests == [] and engine._download_video is original


def test_a_failed_run_unwinds_the_duration_check_and_the_folder_it_made(services, engine, tmp_path):
    original = engine._download_video
    services[0].script_job(body={"success": False, "error": "quota"})
    progress = io.StringIO()
    with pytest.raises(Exception, match="Download API error"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path / "new", progress=progress,
                          services="configured")
    assert engine._download_video is original
    assert progress.getvalue().startswith(f"vantor: created the output directory {str(tmp_path / 'new')!r}\n")
    assert os.listdir(tmp_path) == []  # nothing was written: the folder it made is gone


@pytest.mark.parametrize("argument, value, expected", [
    ("url", 123, "url must be a str, not int"),
    ("voice", ["en-us"], "voice must be a str, not list"),
    ("speed", "fast", r"speed must be a number \(int or float\), not str"),
    ("speed", True, r"speed must be a number \(int or float\), not bool"),  # True is no speed of 1
    ("output_dir", 1, "output_dir must be a str or os.PathLike, not int"),
    ("mkdir", "yes", "mkdir must be a bool, not str"),
    ("services", None, "services must be a str, not NoneType"),
    ("quiet", 1, "quiet must be a bool, not int"),
    ("progress", "stderr", r"progress must be a stream with a write\(\) method, such as sys.stderr, or None, "
                           "not str"),
    ("output_name", Path("a.mp4"), "output_name must be a str, not PosixPath"),
    ("overwrite", "no", "overwrite must be a bool, not str"),
    ("on_event", "print", "on_event must be a callable or None, not str"),
])
def test_a_wrong_type_is_named_before_anything_starts(services, tmp_path, argument, value, expected):
    arguments = dict(url=URL, segments=SEGMENTS, voice="v", output_dir=tmp_path / "out", services="configured")
    with pytest.raises(TypeError, match=f"^make_recap: {expected} "):
        vantor.make_recap(**{**arguments, argument: value})
    assert not (tmp_path / "out").exists()
    assert services[0].requests == [] and services[1].requests == []


def test_streams_and_callbacks_of_any_kind_are_taken(services, tmp_path):
    # What passes the type checks goes on to the ordinary checks: here the missing directory.
    for extra in (dict(progress=io.StringIO()), dict(progress=None, on_event=print, speed=2),
                  dict(output_dir=str(tmp_path / "no" / "out"), on_start=lambda run: None)):
        arguments = dict(voice="v", output_dir=tmp_path / "no" / "out", services="configured") | extra
        with pytest.raises(vantor.PreflightError, match="does not exist"):
            vantor.make_recap(URL, SEGMENTS, **arguments)


@pytest.mark.slow
def test_numbers_of_seconds_run_from_python_and_in_a_batch(services, tmp_path):
    from vantor.batch.jobs import Job
    from vantor.recap.engine.options import RecapSpec
    from vantor.batch.services import ConfiguredServices
    from vantor.batch.task import run_job

    numbers = [{"start": 1, "end": 2.5, "voiceover": "Hello."}, {"start": 4, "end": 6, "voiceover": "Again."}]
    progress = io.StringIO()
    made = vantor.make_recap(URL, numbers, voice="v", output_dir=tmp_path / "a", mkdir=True, progress=progress,
                             services="configured")
    lines = progress.getvalue().splitlines()
    assert made.segments == 2 and made.final_size > 0
    assert "  Segment 1/2: 1 \u2192 2.5" in lines and "  Segment 2/2: 4 \u2192 6" in lines

    segments_file = tmp_path / "segments.json"
    written = '[{"start": 1, "end": 2.5, "voiceover": "Hello."}]'
    segments_file.write_text(written, encoding="utf-8")
    # What a killed earlier attempt left goes; a file or a link of that name is the user's.
    (tmp_path / "b" / ".vantor-run-old").mkdir(parents=True)
    (tmp_path / "b" / ".vantor-run-old" / "movie.mp4").write_bytes(b"24 MB once")
    (tmp_path / "b" / ".vantor-run-note").write_text("mine")
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "b" / ".vantor-run-link").symlink_to(tmp_path / "elsewhere")
    outcome = run_job(Job(URL, str(segments_file), str(tmp_path / "b"), RecapSpec(voice="v")), ConfiguredServices())
    assert outcome["status"] == "ok", outcome
    assert segments_file.read_text(encoding="utf-8") == written  # the user's file is never rewritten
    assert "FINAL_RECAP.mp4" in os.listdir(tmp_path / "b") and (tmp_path / "elsewhere").is_dir()
    assert sorted(n for n in os.listdir(tmp_path / "b") if n.startswith(".vantor-run")) == [
        ".vantor-run-link", ".vantor-run-note"]
