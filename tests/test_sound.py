"""The sound of a recap: the source's steady tone under the narration (lower
while it speaks, gone with "off"), the music bed ducked the same way, the
final mix at its loudness, and clips that keep their range ("extend",
"range") with a long narration heard to its end."""

from __future__ import annotations

import io
import re
import subprocess
from pathlib import Path

import pytest

from vantor.errors import PreflightError
from vantor.recap.api import make_recap
from vantor.recap.sound.sound_step import SoundChoice, SoundPlan, duck_expression, pick_music
from vantor.recap.timeline.command import CutCommand
from vantor.recap.timeline.join_step import RecapJoin
from vantor.recap.engine.steps import Cut
from vantor.recap.timeline.model import RangeTime, Timeline

TONE, MUSIC = 5000, 800  # Hz: the source's tone, the music's; both clear of the narration's band
SEGMENTS = [{"start": "0", "end": "14", "voiceover": "Blue."},
            {"start": "15", "end": "17",
             "voiceover": "This narration is much longer than its short range, to the end."}]
SPEED = 1.5


def ffmpeg(*args: str) -> str:
    return subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", *args], capture_output=True, text=True,
                          check=True).stderr


def level(video: Path, start: float, end: float, band: int | None = None) -> float:
    """RMS dB of the video's sound from `start` to `end` s (in a narrow band around `band` Hz)."""
    chain = f"atrim={start}:{end}" + (f",bandpass=f={band}:width_type=q:w=20" * 2 if band else "")
    found = re.findall(r"RMS level dB: (\S+)", ffmpeg("-i", str(video), "-af", f"{chain},astats=measure_perchannel="
                                                      "none:measure_overall=RMS_level", "-f", "null", "-"))
    return float(found[-1])


def loudness(video: Path) -> float:
    return float(re.findall(r"I:\s+(\S+) LUFS", ffmpeg("-i", str(video), "-af", "ebur128", "-f", "null", "-"))[-1])


@pytest.fixture(scope="module")
def recaps(tmp_path_factory):
    from vantor.demo.video_site import VideoSite

    root = tmp_path_factory.mktemp("sound")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-f", "lavfi", "-i", f"sine={TONE}", "-t", "20",
           "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-c:a", "aac", "-shortest", str(root / "film.mp4"))
    (root / "beds").mkdir()
    ffmpeg("-f", "lavfi", "-i", f"sine={MUSIC}:duration=4", "-ac", "2", str(root / "beds" / "bed.mp3"))
    made, lines = {}, []
    runs = {"duck": dict(music=str(root / "beds")), "off": dict(source_audio="off", loudness=-14),
            "range": dict(source_audio="mix", fit="range")}
    with VideoSite(root / "www") as site:
        page = site.publish(str(root / "film.mp4"), "film")[0]
        for name, options in runs.items():
            shown = io.StringIO()
            made[name] = make_recap(page, SEGMENTS, voice="en-us", speed=SPEED, output_dir=root / name, mkdir=True,
                                    services="local", progress=shown, **options)
            lines += shown.getvalue().splitlines()
    return made, lines


def test_the_source_and_the_music_duck_under_the_narration(recaps):
    made, _ = recaps
    duck, off = made["duck"].final, made["off"].final
    speaking, between = (0.05, 0.35), (2.0, 8.0)  # "Blue." starts the recap; the range plays on without words
    under, open_ = level(duck, *speaking, band=TONE), level(duck, *between, band=TONE)
    assert under > -60 and open_ - under > 8  # present, about 12 dB down while the narration speaks
    assert level(off, *between, band=TONE) < -70  # "off": the narration alone
    music_under, music_open = level(duck, *speaking, band=MUSIC), level(duck, *between, band=MUSIC)
    assert music_under > -60 and music_open - music_under > 8
    assert level(duck, made["duck"].final_duration - 0.3, made["duck"].final_duration, band=MUSIC) < music_open - 10
    assert made["duck"].as_json()["sound"]["music"].endswith("beds")


def test_the_final_mix_is_at_its_loudness(recaps):
    made, _ = recaps
    assert loudness(made["duck"].final) == pytest.approx(-16, abs=0.5)  # with music
    assert loudness(made["off"].final) == pytest.approx(-14, abs=0.5)


def test_clips_keep_their_range_and_long_narrations_are_heard_to_the_end(recaps):
    made, lines = recaps
    off = made["off"]
    # "extend": "Blue." over 14 s keeps its 14 s (silence with "off", then the next narration)...
    second = 14.0 / SPEED
    assert level(off.final, 1.0, second - 0.15) < -70 and level(off.final, second + 0.05, second + 0.5) > -40
    # ...and the long narration plays on past its 2 s range to its end; "range" keeps 2 s.
    assert off.horizontal_duration - 14.0 > 2.0 + 1.0
    assert level(off.final, 16.0 / SPEED + 0.2, off.final_duration - 0.1) > -40
    assert off.final_duration == pytest.approx(off.horizontal_duration / SPEED, abs=0.15)
    assert made["range"].horizontal_duration == pytest.approx(16.0, abs=0.3)
    assert any("longer than its range" in line and "is cut" in line for line in lines)
    assert not any("will probably be cut off" in line for line in lines)  # one length: the voiced one


def test_duck_envelope_and_choices(tmp_path):
    gain = lambda t: eval(duck_expression([(1.0, 3.0)]), {"clip": lambda x, lo, hi: min(max(x, lo), hi), "t": t})
    assert gain(0.74) == 1 and gain(1.0) == gain(3.0) == pytest.approx(10 ** (-12 / 20), abs=1e-4)
    assert gain(0.875) == pytest.approx((1 + gain(1.0)) / 2, abs=1e-3) and gain(3.5) == 1 and gain(3.49) < 1
    for name in ("b.mp3", "a.wav", "notes.txt"):
        (tmp_path / name).write_text("x")
    picks = {pick_music(str(tmp_path), str(key)) for key in range(20)}
    assert picks == {str(tmp_path / "a.wav"), str(tmp_path / "b.mp3")}
    assert pick_music(str(tmp_path), "k") == pick_music(str(tmp_path), "k")
    for bad in (SoundChoice(loudness=-4.9), SoundChoice(loudness=-70.1), SoundChoice(fit="loop"),
                SoundChoice(source_audio="on"), SoundChoice(music=str(tmp_path / "none"))):
        with pytest.raises(ValueError):
            bad.check()
    SoundChoice(loudness=-5).check(), SoundChoice(loudness=-70).check()
    with pytest.raises(PreflightError, match="choose one of extend, range, narration"):
        make_recap("http://127.0.0.1:9/film", SEGMENTS, voice="en-us", output_dir=tmp_path, fit="loop", quiet=True)
    with pytest.raises(TypeError, match="loudness must be a number"):
        make_recap("http://127.0.0.1:9/film", SEGMENTS, voice="en-us", output_dir=tmp_path, loudness="-14")


def test_the_fit_report_and_the_jobs_file_speak_of_the_chosen_fit(tmp_path):
    import json

    from vantor.batch.jobs import JobsFileError, load_jobs
    from vantor.recap.fit.fit_report import SegmentFit

    def outcome(mode, range_length, narration=2.0, spoken_end=1.5):
        return SegmentFit(1, range_length, narration, spoken_end, "test", mode=mode).outcome

    assert [outcome("extend", 1.0), outcome("extend", 9.0)] == ["fits", "fits"]  # nothing lost, nothing shortened
    assert [outcome("range", 1.49), outcome("range", 1.5), outcome("range", 9.0)] == ["words-cut", "fits", "fits"]
    assert [outcome("narration", 1.49), outcome("narration", 9.0)] == ["words-cut", "range-cut"]
    line = {"url": "u", "segments": "s.json", "voice": "en-us", "output_dir": "o"}
    jobs = tmp_path / "jobs.jsonl"
    (tmp_path / "bed.mp3").write_text("x")
    jobs.write_text(json.dumps(line) + "\n" + json.dumps({**line, "music": "bed.mp3", "fit": "range",
                                                          "source_audio": "off", "loudness": -14}) + "\n")
    plain, sound = load_jobs(jobs)
    assert (plain.spec.source_audio, plain.spec.music, plain.spec.loudness, plain.spec.fit) == ("duck", None, -16.0, "extend")
    assert sound.spec.music == str(tmp_path / "bed.mp3") and (sound.spec.fit, sound.spec.loudness) == ("range", -14.0)
    jobs.write_text(json.dumps({**line, "fit": "loop"}) + "\n" + json.dumps({**line, "loudness": True}) + "\n")
    with pytest.raises(JobsFileError, match=r"(?s):1: .*fit 'loop' is unknown.*:2: 'loudness' must be a number"):
        load_jobs(jobs)


def test_check_notes_each_clip_extend_plays_past_its_range_and_by_how_much():
    import io

    from vantor.commands.check import print_fit
    from vantor.recap.fit.fit_report import SegmentFit

    fits = [SegmentFit(n, 6.0, narration, narration - 0.2, "test", mode=mode) for n, narration, mode in (
        (1, 9.8, "extend"), (2, 6.04, "extend"), (3, 6.06, "extend"), (4, 5.0, "extend"), (5, 9.8, "range"))]
    out = io.StringIO()
    print_fit(fits, out)
    notes = [line for line in out.getvalue().splitlines() if line.startswith("note: segment")]
    assert notes == ["note: segment 1: the clip plays 3.8 s past its range's end, over the source (the narration "
                     "lasts 9.8 s, the range 6.0 s)",
                     "note: segment 3: the clip plays 0.1 s past its range's end, over the source (the narration "
                     "lasts 6.1 s, the range 6.0 s)"]
    assert [f.as_json()["past_range"] for f in fits] == [3.8, 0.04, 0.06, 0.0, 0.0]


def test_extend_runs_the_cut_to_the_narrations_end_and_warns_into_the_next_range(tmp_path):
    movie, clip = str(tmp_path / "movie.mp4"), str(tmp_path / "clip_0.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=d=20:size=64x64", "-f", "lavfi", "-i", "sine=d=20", "-shortest", movie)
    ffmpeg("-f", "lavfi", "-i", "sine=d=3", str(tmp_path / "voice_0.mp3"))
    argv = ["ffmpeg", "-y", "-ss", "0", "-to", "1", "-i", movie, "-c", "copy", "-an", clip]
    for next_start, warns in (("2", True), ("1", True), ("3.2", False), ("0.5", False)):
        warned: list[str] = []
        plan = SoundPlan(SoundChoice(), 1.0, lambda: [{"start": "0", "end": "1"}, {"start": next_start}], warned.append)
        shaped = plan.cut(Cut(argv, 0, movie, clip, "0", "1"), CutCommand(movie, "0", "1", clip))
        assert float(shaped.stop) == pytest.approx(3.0, abs=0.1) and shaped.sound_target is not None
        assert bool(warned) is warns and all("into the next range" in line for line in warned), next_start


def test_fit_narration_keeps_the_source_sound_under_the_narration(tmp_path):
    from vantor.recap.engine.steps import Merge

    movie, clip = str(tmp_path / "movie.mp4"), str(tmp_path / "clip_0.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=d=4:size=64x64", "-f", "lavfi", "-i", "sine=d=4", "-shortest", movie)
    ffmpeg("-f", "lavfi", "-i", "sine=d=1", str(tmp_path / "voice_0.mp3"))
    cut = ["ffmpeg", "-y", "-ss", "0", "-to", "3", "-i", movie, "-c", "copy", "-an", clip]
    merge = ["ffmpeg", "-y", "-i", clip, "-i", str(tmp_path / "voice_0.mp3"), "-c:v", "copy", "-c:a", "aac",
             "-shortest", str(tmp_path / "merged_0.mp4")]
    for source_audio, kept in (("duck", True), ("off", False)):
        plan = SoundPlan(SoundChoice(source_audio=source_audio, fit="narration"), 1.0, lambda: [], print)
        made = plan.cut(Cut(cut, 0, movie, clip, "0", "3"), CutCommand(movie, "0", "3", clip))
        assert (made.sound_target is not None) is kept
        shaped = plan.merge(Merge(merge, 0, clip, str(tmp_path / "voice_0.mp3"), merge[-1]), list(merge))
        graph = shaped[shaped.index("-filter_complex") + 1] if "-filter_complex" in shaped else ""
        assert ("[2:a]" in graph and "[n][s]amix" in graph) is kept and "-shortest" in shaped  # ends with the words
        assert (made.sound_target in shaped) is kept  # the source's sound cut from the range's start


def test_the_last_gain_never_lifts_the_true_peak_past_its_bound():
    from vantor.recap.engine.steps import Conversion

    readings = iter([(-20.0, -3.0), (-18.0, -1.8)])  # the mix, then the mix through the limiter

    def meter(argv, **kwargs):
        i, peak = next(readings)
        said = f"Summary:\n  Integrated loudness:\n    I: {i} LUFS\n  True peak:\n    Peak: {peak} dBFS\n"
        return subprocess.CompletedProcess(argv, 0, b"", said.encode())

    plan = SoundPlan(SoundChoice(source_audio="off"), 1.0, lambda: [], print, meter)
    argv = ["ffmpeg", "-y", "-i", "h.mp4", "-vf", "scale", "-af", "atempo=1.0", "-c:a", "aac", "FINAL_RECAP.mp4"]
    timeline = Timeline("s.mp4", 64, 64, (25, 1), 1.0, 1080, 1920, (RangeTime(1, 0.0, 2.0, 0.0, 2.0),))
    join = RecapJoin(timeline, ["merged_0.mp4"], [0.0], "FINAL_RECAP.mp4", "h.mp4", "libx264", "atempo=1.0")
    plan.conversion(Conversion(argv, "h.mp4", "FINAL_RECAP.mp4", 1.0, "libx264", True), join)
    levelled = ",".join(join.sound.get("level"))
    assert "alimiter" in levelled  # +4 dB would lift -3 dBTP past the bound: the limiter first
    assert levelled.rsplit("volume=", 1)[1].startswith("0.70dB")  # then at most -1.1 dBTP, not the 2 dB to -16 LUFS


def test_the_extended_cut_stops_where_the_runs_timeline_ends_the_clip(tmp_path):
    from vantor.recap.timeline.timeline_plan import RunTimeline

    movie, clip = str(tmp_path / "movie.mp4"), str(tmp_path / "clip_0.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=d=20:size=64x64:rate=25", "-f", "lavfi", "-i", "sine=d=20", "-shortest",
           movie)
    ffmpeg("-f", "lavfi", "-i", "sine=d=3.01", str(tmp_path / "voice_0.mp3"))
    segments = [{"start": "0.5", "end": "1"}, {"start": "8", "end": "9"}]
    run = RunTimeline(lambda: segments, speed=1.0, fit="extend")
    run.start(movie, lambda argv, captured=False: subprocess.run(argv, capture_output=captured))
    plan = SoundPlan(SoundChoice(), 1.0, lambda: segments, print)
    plan.timeline = run
    spoken = plan.media.narration_length(0, str(tmp_path / "voice_0.mp3"))
    run.cut(0, "0.5", "1", spoken)  # as the host refines the range before the cut's shapers
    rng = run.current.range(1)
    shaped = plan.cut(Cut([], 0, movie, clip, "0.5", "1"), CutCommand(movie, "0.5", "1", clip))
    assert rng.fit == "extended" and float(shaped.stop) == pytest.approx(rng.source_out, abs=5e-4)
    assert round(rng.source_out * 25, 6).is_integer() and rng.source_out > 0.5 + spoken  # the frame past the words
