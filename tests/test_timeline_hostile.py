"""Edited timelines are input from anywhere: `vantor from-timeline` refuses,
in one line, media outside the timeline's folder, times no recap has, more
clips than a recap holds and XML that declares entities; the export never
copies a film it can link, and copies one it cannot."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
from pathlib import Path

import opentimelineio as otio
import pytest

from child_env import child_env
from vantor.interchange import parse_formats
from vantor.interchange import media as media_module
from vantor.interchange.export import export_timeline
from vantor.interchange.guard import MAX_BYTES, MAX_CLIPS
from vantor.interchange.planned import for_editor, planned_timeline, source_picture
from vantor.interchange.reader import TimelineRefused, read_timeline
from vantor.recap.engine.checked_run import prepare
from vantor.recap.fit.fit_report import SegmentFit
from vantor.recap.engine.options import RecapSpec
from vantor.recap.checks.preflight import PreflightError

ROOT = Path(__file__).resolve().parents[1]
SEGMENTS = [{"start": "0.2", "end": "0.8", "voiceover": "One."}, {"start": "1.0", "end": "1.6", "voiceover": "Two."}]


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    root = tmp_path_factory.mktemp("hostile")
    film, spoken = root / "film.mp4", root / "spoken.mp3"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x90:rate=25:duration=2",
                    "-f", "lavfi", "-i", "sine=duration=2", "-c:v", "libx264", "-c:a", "aac", "-shortest", str(film)],
                   check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=900:duration=0.3", str(spoken)],
                   check=True)
    out = root / "out"
    out.mkdir()
    source = source_picture(str(film))
    fits = [SegmentFit(number, 0.6, 0.3, 0.3, "test", mode="extend") for number in (1, 2)]
    timeline = for_editor(planned_timeline(SEGMENTS, fits, source, RecapSpec()), str(film), fits, None, RecapSpec())
    done = export_timeline(timeline, str(out), "R", ("otio", "kdenlive", "fcpxml"), lambda n: spoken.read_bytes(),
                           film_length=source.duration)
    return out, done


def _refused(path) -> str:
    done = subprocess.run([sys.executable, "-m", "vantor", "from-timeline", str(path), "-o", "-"], cwd=ROOT,
                          env=child_env(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.count("\n") == 1, done.stderr  # one line, no traceback
    return done.stderr


def test_every_export_reads_back_as_the_segments_it_was_made_of(exported):
    out, done = exported
    for path in done.timelines:
        back = read_timeline(path)
        assert [(s["start"], s["end"], s["voiceover"]) for s in back.segments] == \
            [(float(s["start"]), float(s["end"]), s["voiceover"]) for s in SEGMENTS], path
        assert back.notes == []


@pytest.mark.parametrize("target", ["../elsewhere.mp4", "/etc/passwd", "file:///etc/passwd",
                                    "http://example.org/film.mp4", "R.media/../../x.mp4"])
def test_media_outside_the_timeline_folder_is_refused(exported, target, tmp_path):
    out, _ = exported
    model = otio.adapters.read_from_file(str(out / "R.otio"))
    model.find_clips()[0].media_reference.target_url = target
    edited = out / "outside.otio"
    otio.adapters.write_to_file(model, str(edited))
    said = _refused(edited)
    assert "outside its folder" in said or "not a file in its folder" in said


def test_a_link_out_of_the_folder_is_refused_as_its_target(exported, tmp_path):
    out, _ = exported
    link = out / "R.media" / "link.mp4"
    if not link.exists():
        link.symlink_to(tmp_path / "secret.mp4")
    kdenlive = (out / "R.kdenlive").read_text().replace("R.media/source.mp4", "R.media/link.mp4")
    (out / "link.kdenlive").write_text(kdenlive)
    assert "outside its folder" in _refused(out / "link.kdenlive")


@pytest.mark.parametrize("start, length", [(-5.0, 1.0), (1e12, 1.0), (0.5, 0.0), (float("nan"), 1.0)])
def test_absurd_times_are_refused(exported, start, length):
    out, _ = exported
    model = otio.adapters.read_from_file(str(out / "R.otio"))
    clip = model.find_clips()[0]
    clip.source_range = otio.opentime.TimeRange(otio.opentime.RationalTime(start * 25, 25),
                                                otio.opentime.RationalTime(length * 25, 25))
    edited = out / "absurd.otio"
    otio.adapters.write_to_file(model, str(edited))
    assert "no recap can have" in _refused(edited)


def test_an_absurd_speed_is_refused(exported):
    out, _ = exported
    model = otio.adapters.read_from_file(str(out / "R.otio"))
    model.find_clips()[0].effects.append(otio.schema.LinearTimeWarp(time_scalar=1e9))
    edited = out / "fast.otio"
    otio.adapters.write_to_file(model, str(edited))
    assert "times its speed" in _refused(edited)


def test_a_flood_of_clips_is_refused_before_it_is_parsed(exported, tmp_path):
    out, _ = exported
    text = (out / "R.otio").read_text()
    clip = '{"OTIO_SCHEMA": "Clip.2", "name": "x"}'
    flood = out / "flood.otio"
    flood.write_text(text.replace('"children": [', '"children": [' + ",".join([clip] * (MAX_CLIPS + 1)) + ",", 1))
    assert f"more than the {MAX_CLIPS}" in _refused(flood)
    huge = out / "huge.otio"
    with open(huge, "wb") as f:
        f.truncate(MAX_BYTES + 1)  # sparse: a billion clips' worth is never read
    assert "larger than" in _refused(huge)
    xml = (out / "R.kdenlive").read_text().replace("</mlt>", "<entry/>" * (MAX_CLIPS * 41) + "</mlt>")
    (out / "flood.kdenlive").write_text(xml)
    assert "XML elements" in _refused(out / "flood.kdenlive")


@pytest.mark.parametrize("declaration", [
    '<!DOCTYPE mlt [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>',
    '<!DOCTYPE mlt [<!ENTITY secret SYSTEM "file:///etc/passwd">]>',
])
def test_xml_that_declares_entities_is_refused(exported, declaration):
    out, _ = exported
    for name in ("R.kdenlive", "R.fcpxml"):
        text = (out / name).read_text().replace("<!DOCTYPE fcpxml>", "")
        head, body = text.split("\n", 1) if text.startswith("<?xml") else ("", text)
        bad = out / f"entities{Path(name).suffix}"
        bad.write_text(head + "\n" + declaration.replace("mlt", "fcpxml" if name.endswith("fcpxml") else "mlt") + body)
        assert "declares XML entities" in _refused(bad)


def test_what_is_not_a_timeline_is_refused(exported, tmp_path):
    out, _ = exported
    (tmp_path / "x.edl").write_text("TITLE: x\n")
    assert "an EDL keeps no narration" in _refused(tmp_path / "x.edl")
    (tmp_path / "x.otio").write_text("{not json")
    assert "is not an OTIO timeline" in _refused(tmp_path / "x.otio")
    assert "is not a timeline file" in _refused(tmp_path / "missing.kdenlive")


def test_the_film_is_linked_and_copied_only_where_no_link_can_be_made(exported, tmp_path, monkeypatch):
    out, _ = exported
    film = out / "R.media" / "source.mp4"
    assert film.stat().st_nlink >= 2
    assert media_module.place_film(str(film), str(tmp_path / "linked.mp4")) == "linked"

    def cross_device(source, target):  # another file system: the one fault a test cannot make with real files
        raise OSError(errno.EXDEV, "Invalid cross-device link")

    monkeypatch.setattr(media_module.os, "link", cross_device)
    assert media_module.place_film(str(film), str(tmp_path / "copied.mp4")) == "copied"
    assert (tmp_path / "copied.mp4").read_bytes() == film.read_bytes()


def test_the_options_are_checked_before_anything_is_fetched(tmp_path):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS))
    assert parse_formats("OTIO, edl,otio") == ("otio", "edl")
    with pytest.raises(ValueError, match="no timeline format 'avid'"):
        parse_formats("otio,avid")
    with pytest.raises(PreflightError, match="local services' cache"):
        prepare("https://example.org/v", segments, RecapSpec(voice="en-US-GuyNeural", speed=1.0), output_dir=tmp_path,
                services="configured", timeline="otio")
    with pytest.raises(PreflightError, match="needs --timeline"):
        prepare("https://example.org/v", segments, RecapSpec(voice="en-US-GuyNeural", speed=1.0), output_dir=tmp_path,
                services="local", timeline_only=True)
    (tmp_path / "FINAL_RECAP.media").mkdir()
    with pytest.raises(PreflightError, match="FINAL_RECAP.media already exist"):
        prepare("https://example.org/v", segments, RecapSpec(voice="en-US-GuyNeural", speed=1.0), output_dir=tmp_path,
                services="local", timeline="kdenlive")


def test_make_recap_and_a_batch_job_take_the_formats(tmp_path):
    import vantor
    from vantor.batch.jobs import job_from_mapping

    with pytest.raises(TypeError, match="timeline must be"):
        vantor.make_recap("https://example.org/v", SEGMENTS, output_dir=tmp_path, timeline=5)  # type: ignore[arg-type]
    with pytest.raises(PreflightError, match='services="local"'):
        vantor.make_recap("https://example.org/v", SEGMENTS, output_dir=tmp_path, services="configured",
                          timeline=["otio"])
    job = {"url": "https://example.org/v", "segments": "s.json", "output_dir": "out"}
    assert job_from_mapping({**job, "timeline": "kdenlive,otio"}, str(tmp_path)).timeline == ("kdenlive", "otio")
    assert job_from_mapping(job, str(tmp_path)).timeline == ()
    with pytest.raises(ValueError, match="'timeline': no timeline format 'mov'"):
        job_from_mapping({**job, "timeline": ["mov"]}, str(tmp_path))
