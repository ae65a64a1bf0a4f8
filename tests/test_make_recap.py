"""`vantor.make_recap` from Python: paths or in-memory segments, the same
checks as the command line, a result with Paths and durations."""

from __future__ import annotations

import io
from pathlib import Path

import pytest

import vantor
from vantor.recap.preflight import SegmentsError

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

    with pytest.raises(vantor.PreflightError, match="FINAL_RECAP.mp4 exists; pass --force"):
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
                                            r"must be a string: write it as \"6\" \(in quotes\)\)"):
        vantor.make_recap(URL, [SEGMENTS[0], {**SEGMENTS[1], "end": 6}], voice="v", output_dir=tmp_path, services="configured")
    with pytest.raises(vantor.PreflightError, match="does not exist; create it or pass --mkdir"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path / "missing", services="configured")
    with pytest.raises(vantor.PreflightError, match="unknown services 'elsewhere'; use auto, configured, local or"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path, services="elsewhere")
    with pytest.raises(vantor.PreflightError, match=r"^unknown voice 'v'; see vantor voices"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path, services="local")
    with pytest.raises(TypeError, match="segments must be a path or a list of segments, not bytes"):
        vantor.make_recap(URL, b"[]", voice="v", output_dir=tmp_path)  # type: ignore[arg-type]
    assert services[0].requests == [] and services[1].requests == [] and engine._download_video is original


def test_a_failed_run_unwinds_the_duration_check(services, engine, tmp_path):
    original = engine._download_video
    services[0].script_job(body={"success": False, "error": "quota"})
    with pytest.raises(Exception, match="Download API error"):
        vantor.make_recap(URL, SEGMENTS, voice="v", output_dir=tmp_path, quiet=True, services="configured")
    assert engine._download_video is original
