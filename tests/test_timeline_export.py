"""The recap's timeline handed to an editor and taken back, with the real
parts: a recap with the local services, melt rendering the Kdenlive
project, OTIO and its adapters reading each export, `vantor from-timeline`
and `vantor check` on what comes back."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import numpy as np
import opentimelineio as otio
import pytest

from child_env import child_env
from service_helpers import streams
from test_framing_ranges import LEFT_THEN_RIGHT, make_film, white_frames
from vantor.demo.video_site import VideoSite
from vantor.interchange.fcpxml import adapter_quietly
from vantor.interchange.planned import for_editor
from vantor.recap.fit.fit_report import SegmentFit
from vantor.recap.engine.options import RecapSpec
from vantor.recap.sound.sound_step import DUCK_DB, FADE_OUT_S, MUSIC_DB
from vantor.recap.timeline.model import Music, Narration, RangeTime, SoundBed, Timeline
from vantor.services.narration_timing import NarrationTiming, WordTiming

ROOT = Path(__file__).resolve().parents[1]
RATE = 25
FRAME = 1 / RATE
SPEED = 1.25
SEGMENTS = [{"start": "1", "end": "4", "voiceover": "Here is the start."},
            {"start": "5", "end": "6.5", "voiceover": "A middle part."},
            {"start": "8", "end": "11", "voiceover": "And the end."}]


def vantor(*args, cache, cwd=ROOT):
    env = child_env(VANTOR_CACHE_DIR=str(cache))
    env.pop("VANTOR_SERVICES_URL", None)
    return subprocess.run([sys.executable, "-m", "vantor", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=500)


@pytest.fixture(scope="module")
def made(film, tmp_path_factory):
    """A centre-framed recap at 1.25x with every timeline beside it."""
    root = tmp_path_factory.mktemp("export")
    (root / "segments.json").write_text(json.dumps(SEGMENTS))
    done = vantor("recap", film, str(root / "segments.json"), "--services", "local", "--frame", "center",
                  "--speed", str(SPEED), "--output-dir", str(root / "out"), "--timeline", "otio,fcpxml,edl,kdenlive",
                  "--json", "-q", cache=root / "cache")
    assert done.returncode == 0, done.stderr
    return root, json.loads(done.stdout)


def _audio(path, start, end, rate=8000):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-ss", f"{start:.3f}", "-t", f"{end - start:.3f}", "-i", str(path),
                          "-ac", "1", "-ar", str(rate), "-f", "f32le", "-"], capture_output=True, check=True).stdout
    return np.frombuffer(raw, dtype=np.float32)


def _band(samples, low, high, rate=8000):
    """Mean power of `samples` between `low` and `high` Hz."""
    spectrum = np.abs(np.fft.rfft(samples)) ** 2 / max(1, len(samples))
    freqs = np.fft.rfftfreq(len(samples), 1 / rate)
    return float(spectrum[(freqs >= low) & (freqs <= high)].mean())


def _tone(samples, frequency=330.0, rate=8000):
    """The amplitude of the source's sine in `samples` (speech around it hardly counts)."""
    t = np.arange(len(samples)) / rate
    return 2 * float(np.hypot((samples * np.sin(2 * np.pi * frequency * t)).mean(),
                              (samples * np.cos(2 * np.pi * frequency * t)).mean()))


def _frame(path, at, crop=None):
    """A grey 108x192 picture of `path` at `at` s (`crop`: first cut to that window of it)."""
    scale = (f"crop={crop}," if crop else "") + "scale=108:192:in_range=tv:out_range=tv,format=gray"
    raw = subprocess.run(["ffmpeg", "-v", "error", "-ss", f"{at:.3f}", "-i", str(path), "-frames:v", "1",
                          "-vf", scale, "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
    return np.frombuffer(raw, dtype=np.uint8).astype(float)


def _difference(a, b):
    # A window 20 px aside differs by about 100; the same window a frame apart by 10 to 15.
    return float(np.abs(a - b).mean())


def _melt(project, rendered):
    """`project` rendered by melt, as Kdenlive would render it."""
    done = subprocess.run(["melt", project.name, "-consumer", f"avformat:{rendered}", "vcodec=libx264",
                           "preset=ultrafast", "acodec=aac", "-silent"], cwd=project.parent,
                          capture_output=True, text=True, timeout=400)
    assert done.returncode == 0 and rendered.stat().st_size > 0, done.stderr[-2000:]
    return rendered


def _ranges(made):
    model = otio.adapters.read_from_file(made[1]["timelines"][0])
    return [clip.metadata["vantor"] for clip in model.tracks[0]], model


def test_the_runs_timeline_gets_its_film_words_duck_and_music_for_the_editor():
    # One range of 3 s of film at 1.25x, its narration from 0.02 s before the range's first frame.
    narration = Narration("one edge late", -0.016, 3.2 / SPEED)
    run = Timeline("/work/gone/source.mp4", 320, 180, (RATE, 1), SPEED, 1080, 1920,
                   (RangeTime(1, 2.0, 5.0, 0.0, 3.0 / SPEED, "range", narration),), SoundBed("duck"))
    timing = NarrationTiming(3.2, (WordTiming("one", 0.1, 0.4), WordTiming("edge", 3.0, 3.1),
                                   WordTiming("late", 3.05, 3.2)), "test")
    fits = [SegmentFit(1, 3.0, 3.2, 3.2, "test", timing, "range")]
    made = for_editor(run, "/cache/film.mp4", fits, "/music/bed.mp3", RecapSpec())
    assert made.source == "/cache/film.mp4"
    # The words on the recap's clock from the narration's own start; one that begins after the clip ends is not heard.
    assert [(w.text, round(w.start, 4)) for w in made.ranges[0].narration.words] == [("one", 0.064), ("edge", 2.384)]
    # The duck down where the narration speaks in the range (it outlasts the clip) and back up after it.
    low = 10 ** (DUCK_DB / 20)
    assert [x for key in made.sound.duck for x in key] == pytest.approx([0.0, low, 2.4, low, 2.9, 1.0])
    assert made.sound.music == Music("/music/bed.mp3", MUSIC_DB, FADE_OUT_S)
    mixed = for_editor(replace(run, sound=SoundBed("mix")), "/cache/film.mp4", None, None, RecapSpec())
    assert mixed.sound.duck == () and mixed.sound.music is None and mixed.ranges[0].narration.words == ()


@pytest.mark.slow
def test_the_kdenlive_project_renders_in_melt_as_the_recap_plays(made):
    root, result = made
    project = Path(result["timelines"][3])
    rendered = _melt(project, root / "melt.mp4")
    recap = Path(result["outputs"]["final"])
    ranges, model = _ranges(made)
    length = streams(rendered)["duration"]
    assert length == pytest.approx(model.duration().to_seconds(), abs=FRAME)
    # The export is the recap's own timeline, with its cuts' exact frame times.
    assert length == pytest.approx(streams(recap)["duration"], abs=FRAME)
    narrations = [clip for clip in model.tracks[2] if isinstance(clip, otio.schema.Clip)]
    assert [clip.name for clip in narrations] == ["narration 1", "narration 2", "narration 3"]
    spoken = [(c.range_in_parent().start_time.to_seconds(), c.range_in_parent().end_time_exclusive().to_seconds())
              for c in narrations]
    # Where nothing speaks and the duck is back up (its ramps take 0.25 s down and 0.5 s up).
    quiet = [(end + 0.55, start - 0.3) for (_, end), (start, _) in zip(spoken, [*spoken[1:], (length, 0)])
             if start - end > 1.1]
    assert quiet
    for played in (rendered, recap):
        voice_at = [_band(_audio(played, a + 0.05, b - 0.05), 600, 3000) for a, b in spoken]
        voice_off = max(_band(_audio(played, a, b), 600, 3000) for a, b in quiet)
        # The narrations are heard where the recap speaks them, in both ...
        assert min(voice_at) > 4 * voice_off, played
        # ... and the source's 330 Hz tone is lower under them than between them (a 12 dB duck).
        tone_at = max(_tone(_audio(played, a + 0.05, b - 0.05)) for a, b in spoken)
        tone_off = min(_tone(_audio(played, a, b)) for a, b in quiet)
        assert tone_at < tone_off / 2.5, played
    # The picture: the crop window of each range's source frames, as the recap frames it.
    film = project.parent / "FINAL_RECAP.media" / "source.mp4"
    for item, clip in zip(ranges, model.tracks[0]):
        middle = clip.range_in_parent().start_time.to_seconds() + clip.range_in_parent().duration.to_seconds() / 2
        ours = _frame(rendered, middle)
        key = item["crop"][0]
        window = f"{key['width']}:{key['height']}:{key['x']}:{key['y']}"
        source_at = item["source_in"] + (middle - clip.range_in_parent().start_time.to_seconds()) * SPEED
        assert _difference(ours, _frame(film, source_at, window)) < 25, clip.name
        assert min(_difference(ours, _frame(recap, middle + shift * FRAME)) for shift in range(-1, 2)) < 25, clip.name


@pytest.mark.slow
def test_otio_reads_each_export_and_every_clip_keeps_its_in_and_out_within_a_frame(made):
    _, result = made
    ranges, _ = _ranges(made)
    for item, segment in zip(ranges, SEGMENTS):
        assert item["source_in"] == float(segment["start"])
    paths = dict(zip(("otio", "fcpxml", "edl", "kdenlive"), result["timelines"]))
    for name, kwargs in (("otio", {}), ("fcpxml", {}), ("edl", {"rate": RATE})):
        with adapter_quietly():
            model = otio.adapters.read_from_file(paths[name], **kwargs)
        picture = next(track for track in model.tracks if track.kind == otio.schema.TrackKind.Video)
        clips = list(picture.find_clips(shallow_search=True))
        assert [clip.name for clip in clips] == ["range 1", "range 2", "range 3"], name
        for clip, item in zip(clips, ranges):
            start = clip.source_range.start_time.to_seconds()
            warps = [e.time_scalar for e in clip.effects if isinstance(e, otio.schema.LinearTimeWarp)]
            # The FCP X adapter drops the speed; the file's own time map holds it (checked by the reader).
            scalar = warps[0] if warps else SPEED
            end = start + clip.source_range.duration.to_seconds() * scalar
            assert start == pytest.approx(item["source_in"], abs=FRAME), name
            assert end == pytest.approx(item["source_out"], abs=FRAME * SPEED), name
    edl = Path(paths["edl"]).read_text()
    assert edl.count("M2   range") == 3  # the speed, as CMX 3600 writes it
    fcpxml = Path(paths["fcpxml"]).read_text()
    assert fcpxml.count("<timeMap>") == 3 and "<adjust-volume>" in fcpxml and "<adjust-transform>" in fcpxml


@pytest.mark.slow
def test_an_edited_timeline_comes_back_as_exactly_its_segments(made, tmp_path):
    root, result = made
    out = Path(result["timelines"][0]).parent
    model = otio.adapters.read_from_file(result["timelines"][0])
    picture, narration = model.tracks[0], model.tracks[2]
    first = picture[0]
    # As an editor would: a second of film off the first range's head (0.8 s of the recap at 1.25x),
    # the second range and its narration gone, the third range's narration clip removed too.
    second, played = otio.opentime.RationalTime(RATE, RATE), otio.opentime.RationalTime(RATE / SPEED, RATE)
    first.source_range = otio.opentime.TimeRange(first.source_range.start_time + second,
                                                 first.source_range.duration - played)
    del picture[1]
    for clip in [c for c in narration if c.name in ("narration 2", "narration 3")]:
        narration[narration.index(clip)] = otio.schema.Gap(source_range=clip.source_range)
    edited = out / "edited.otio"
    otio.adapters.write_to_file(model, str(edited))
    segments = tmp_path / "segments.json"
    done = vantor("from-timeline", str(edited), "-o", str(segments), cache=root / "cache")
    assert done.returncode == 0, done.stderr
    back = json.loads(segments.read_text())
    assert back == [{"start": 2.0, "end": 4.0, "voiceover": "Here is the start."},
                    {"start": 8.0, "end": 11.0, "voiceover": "And the end."}]
    notes = [line for line in done.stderr.splitlines() if line.startswith("note:")]
    assert len(notes) == 1 and notes[0].startswith("note: range 3: its narration clip was removed")
    assert vantor("check", str(segments), cache=root / "cache").returncode == 0
    paths = dict(zip(("otio", "fcpxml", "edl", "kdenlive"), result["timelines"]))
    for name in ("fcpxml", "kdenlive"):
        done = vantor("from-timeline", paths[name], "-o", "-", cache=root / "cache")
        assert done.returncode == 0, done.stderr
        # The out points come back through each format's own speed: FCPXML's time maps, Kdenlive's timewarp.
        assert [(s["start"], s["end"], s["voiceover"]) for s in json.loads(done.stdout)] == \
            [(pytest.approx(float(s["start"]), abs=FRAME), pytest.approx(float(s["end"]), abs=FRAME * SPEED),
              s["voiceover"]) for s in SEGMENTS], name


@pytest.mark.slow
def test_timeline_only_writes_the_media_with_the_film_linked_and_renders_nothing(made, film, tmp_path):
    root, _ = made
    out = tmp_path / "only"
    done = vantor("recap", film, str(root / "segments.json"), "--services", "local", "--output-dir", str(out),
                  "--frame", "center", "--speed", str(SPEED), "--timeline", "kdenlive,otio", "--timeline-only", "-q",
                  cache=root / "cache")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{out / 'FINAL_RECAP.kdenlive'}\n{out / 'FINAL_RECAP.otio'}\n"
    assert sorted(os.listdir(out)) == ["FINAL_RECAP.kdenlive", "FINAL_RECAP.media", "FINAL_RECAP.otio"]
    # Planned without a render, the timeline is the one the recap had: the same frames, crops and narrations.
    planned = otio.adapters.read_from_file(str(out / "FINAL_RECAP.otio"))
    _, recapped = _ranges(made)
    for track in (0, 2):
        assert [(c.name, c.source_range, c.range_in_parent(), str(c.metadata["vantor"]))
                for c in planned.tracks[track].find_clips()] == \
            [(c.name, c.source_range, c.range_in_parent(), str(c.metadata["vantor"]))
             for c in recapped.tracks[track].find_clips()]
    media = out / "FINAL_RECAP.media"
    assert sorted(os.listdir(media)) == ["captions.srt", "narration 1.wav", "narration 2.wav", "narration 3.wav",
                                         "source.mp4"]
    # The film is the cache's own file under a second name: nothing copied, nothing re-encoded.
    assert (media / "source.mp4").stat().st_nlink >= 2
    cached = [p for p in (root / "cache").rglob("*") if p.is_file() and p.stat().st_ino == (media / "source.mp4").stat().st_ino]
    assert cached
    assert "-->" in (media / "captions.srt").read_text()
    assert streams(media / "narration 1.wav")["audio"] == "pcm_s16le"


@pytest.mark.slow
def test_a_smart_framed_project_keeps_the_subject_in_the_picture_in_melt(tmp_path):
    # One steady shot, the subject at the left in the first range and at the right in the second.
    film = make_film(tmp_path / "film.mp4", LEFT_THEN_RIGHT, 8)
    (tmp_path / "segments.json").write_text(json.dumps([
        {"start": "0.5", "end": "3.5", "voiceover": "A box on the left."},
        {"start": "4.5", "end": "7.5", "voiceover": "Now it is on the right."}]))
    with VideoSite(tmp_path / "www") as site:
        done = vantor("recap", site.publish(film, "film")[0], str(tmp_path / "segments.json"), "--services", "local",
                      "--frame", "smart", "--output-dir", str(tmp_path / "out"), "--timeline", "kdenlive", "--json",
                      "-q", cache=tmp_path / "cache")
    assert done.returncode == 0, done.stderr
    rendered = _melt(Path(json.loads(done.stdout)["timelines"][0]), tmp_path / "melt.mp4")
    seen = white_frames(rendered)
    assert seen.size > 100 and seen[::5].all(), np.flatnonzero(~seen)
