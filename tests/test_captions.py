"""Captions: where the cues land in a recap (checked against the recap's own
audio), the caption files, the subtitle track and burned-in words; and the
fit report of `vantor check --voice` in both directions and under --strict."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from child_env import child_env
from vantor.demo.video_site import VideoSite
from vantor.recap.api import make_recap
from vantor.recap.captions.cues import Cue, place_cues, to_srt, to_vtt
from vantor.services.narration_timing import NarrationTiming, WordTiming
from vantor.services.piper_backend import bundled_voice, piper_version

ROOT = Path(__file__).resolve().parents[1]
# The neural voice when installed (it pauses clearly at the dots), else espeak-ng.
VOICE = "en-US-GuyNeural" if piper_version() and bundled_voice() else "en-us"
PAUSED = [{"start": "0", "end": "7", "voiceover": "Red. ... Green. ... Blue."},
          {"start": "7.5", "end": "11.5", "voiceover": "Stone. ... River."}]


def timing(*words: tuple[str, float, float], duration: float) -> NarrationTiming:
    return NarrationTiming(duration, tuple(WordTiming(*w) for w in words), "test")


def test_cues_follow_the_clips_offsets_and_the_speed():
    first = timing(("one", 0.1, 0.4), ("two", 1.3, 1.5), duration=1.6)
    second = timing(("three", 0.2, 0.5), ("cut", 1.9, 2.4), ("gone", 2.6, 2.9), duration=3.0)
    cues = place_cues([first, second], [1.6, 2.0], speed=2.0)
    # The second clip starts at 1.6 s of the concatenation, 0.8 s in the recap;
    # a word past the clip's end is dropped, one running over it is cut.
    assert [c.text for c in cues] == ["one", "two", "three", "cut"]
    assert [c.start for c in cues] == pytest.approx([0.05, 0.65, 0.9, 1.75])
    assert cues[1].end == pytest.approx(0.8)  # a segment's last cue stays until its clip ends
    assert cues[3].end == pytest.approx(1.8)
    assert cues[0].end == pytest.approx(0.2)  # the pause to "two" is long: not held
    # A clip's sound running past its picture (whole coded frames) delays the next narration, not the picture's end.
    late = place_cues([first, second], [1.6, 2.0], speed=2.0, sound_lengths=[1.7, 2.0])
    assert [late[1].end, late[2].start] == pytest.approx([0.8, 0.95])
    with pytest.raises(ValueError):
        place_cues([first], [1.0, 2.0], speed=1.0)


def test_cues_hold_at_most_three_words_and_end_at_punctuation():
    words = [(w, i * 0.3, i * 0.3 + 0.25) for i, w in enumerate("a b c d e, f g".split())]
    cues = place_cues([timing(*words, duration=2.2)], [2.2], speed=1.0)
    assert [c.text for c in cues] == ["a b c", "d e,", "f g"]
    assert cues[0].end == pytest.approx(cues[1].start)  # a short gap: the cue stays up


def test_caption_files():
    cues = [Cue(3661.5, 3662.25, "a <b> & c\nd"), Cue(0.0, 0.0004, "x --> y")]
    assert to_srt(cues).splitlines()[:3] == ["1", "01:01:01,500 --> 01:01:02,250", "a <b> & c d"]
    vtt = to_vtt(cues).splitlines()
    # Drawn by players where the burned-in words go: above the bottom 20%, clear of the right 12%.
    assert vtt[:4] == ["WEBVTT", "", "01:01:01.500 --> 01:01:02.250 line:74% position:46% size:82%",
                       "a &lt;b&gt; &amp; c d"]
    assert vtt[5:7] == ["00:00:00.000 --> 00:00:00.000 line:74% position:46% size:82%", "x -&gt; y"]  # no "-->" is left in any form
    assert to_srt(cues).splitlines()[6] == "x -> y"


def onsets(video: Path) -> list[float]:
    """Where sound lasting like a word (not a click at the end) starts after
    silence in the video's audio."""
    done = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-i", str(video), "-af",
                           "silencedetect=noise=-40dB:d=0.06", "-f", "null", "-"], capture_output=True, text=True)
    ends = [float(x) for x in re.findall(r"silence_end: ([\d.]+)", done.stderr)]
    starts = [float(x) for x in re.findall(r"silence_start: ([\d.]+)", done.stderr)]
    if not starts or starts[0] > 0.01:  # sound from the first sample
        ends = [0.0] + ends
    else:
        starts = starts[1:]
    sounds = zip(ends, starts + [duration(video)])
    return [start for start, end in sounds if end - start >= 0.1]


def duration(video: Path) -> float:
    return float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                 str(video)], capture_output=True, text=True).stdout)


def cue_starts(srt: Path) -> list[tuple[float, float]]:
    def seconds(text: str) -> float:
        h, m, s = text.replace(",", ".").split(":")
        return int(h) * 3600 + int(m) * 60 + float(s)

    return [(seconds(a), seconds(b)) for a, b in re.findall(r"(\S+) --> (\S+)", srt.read_text())]


@pytest.fixture(scope="module")
def recaps(source_video, tmp_path_factory, monkeypatch_module):
    """The same recap at speed 1.5 with caption files and a track, and burned in."""
    root = tmp_path_factory.mktemp("captions")
    monkeypatch_module.setenv("VANTOR_CACHE_DIR", str(root / "cache"))
    monkeypatch_module.delenv("VANTOR_SERVICES_URL", raising=False)
    made = {}
    with VideoSite(root / "www") as site:
        page = site.publish(source_video, "film")[0]
        for mode in ("track", "burn"):
            children: list = []

            def on_start(run, children=children):
                start = run.start_child
                run.start_child = lambda argv, **kwargs: children.append((argv, start(argv, **kwargs))) or \
                    children[-1][1]

            made[mode] = make_recap(page, PAUSED, voice=VOICE, speed=1.5, output_dir=root / mode, mkdir=True,
                                    services="local", captions=mode, quiet=True, on_start=on_start,
                                    caption_style="bold" if mode == "burn" else None,
                                    source_audio="off")  # onsets are read from the narration alone
            made[mode + " children"] = children
    return made


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


@pytest.mark.slow
def test_every_caption_starts_where_its_word_is_heard(recaps):
    final = recaps["track"].final
    assert recaps["track"].as_json()["outputs"] == {"final": str(final), "horizontal": str(recaps["track"].horizontal),
                                                    "srt": str(final.with_suffix(".srt")),
                                                    "vtt": str(final.with_suffix(".vtt"))}
    cues = cue_starts(final.with_suffix(".srt"))
    assert len(cues) == 5 and final.with_suffix(".vtt").read_text().startswith("WEBVTT")
    heard = onsets(final)
    assert len(heard) == len(cues), (heard, cues)
    for (start, _), onset in zip(cues, heard):
        assert abs(start - onset) <= 0.05, (cues, heard)
    # The last cue leaves with its words (the clip may play on after them), never after the recap.
    assert cues[-1][1] <= duration(final) + 0.05
    streams = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                              str(final)], capture_output=True, text=True).stdout.split()
    assert streams == ["h264", "aac", "mov_text"]
    language = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "s", "-show_entries", "stream_tags=language",
                               "-of", "csv=p=0", str(final)], capture_output=True, text=True).stdout.split()
    assert language == ["eng"]
    engine = "piper" if VOICE == "en-US-GuyNeural" else "espeak-ng"
    assert recaps["track"].as_json()["voices"] == [{"segment": i, "voice": VOICE, "engine": engine} for i in (0, 1)]


def gray_frame(video: Path, at: float) -> np.ndarray:
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-ss", f"{at:.3f}", "-i", str(video),
                          "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"], capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(1920, 1080).astype(int)


@pytest.mark.slow
def test_a_burned_in_word_changes_the_lower_third_only(recaps):
    burned, plain = recaps["burn"].final, recaps["track"].final
    start, end = cue_starts(burned.with_suffix(".srt"))[1]
    change = np.abs(gray_frame(burned, (start + end) / 2) - gray_frame(plain, (start + end) / 2)) > 40
    lower, rest = change[1280:], change[:1280]
    assert lower.sum() > 2000  # the word's pixels, white on black outline
    assert rest.sum() < 50  # elsewhere only the encoder's noise
    rows = np.nonzero(change.any(axis=1))[0]
    assert rows.max() < 1920 - 300  # above the band the platforms' buttons cover
    # Drawn within the conversion: the one video encode that succeeded, and nothing reads the recap back.
    encodes = [(argv, child) for argv, child in recaps["burn children"]
               if "-c:v" in argv and argv[argv.index("-c:v") + 1] != "copy"]
    assert [argv[-1].endswith("FINAL_RECAP.mp4") for argv, _ in encodes] == [True] * len(encodes)
    assert [child.returncode for _, child in encodes].count(0) == 1
    assert not any("FINAL_RECAP.mp4" in str(item) for argv, _ in recaps["burn children"] for item in argv[:-1])


def test_every_ffmpeg_of_a_run_reads_local_files_and_pipes_only(recaps):
    ffmpeg = [argv for argv, _ in recaps["track children"] if argv[0] in ("ffmpeg", "ffprobe")]
    assert len(ffmpeg) >= 2 * len(PAUSED) + 2  # cuts, merges, the concat, the conversion
    for argv in ffmpeg:
        # Each input's own options (from the one before it) name the protocols; the run's
        # probes and analyses, started by its runner too, are among these, an ffprobe's file last.
        inputs = [i for i, item in enumerate(argv) if item == "-i"] or [len(argv) - 1]
        for begin, at in zip([0] + [i + 2 for i in inputs], inputs):
            options = argv[begin:at]
            assert any(options[j:j + 2] == ["-protocol_whitelist", "file,pipe"] for j in range(len(options))), argv


@pytest.mark.slow
def test_a_failed_burn_publishes_nothing(source_video, tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)

    def on_start(run):
        start = run.start_child

        def failing_burn(argv, **kwargs):  # the conversion's ffmpeg cannot write where it is told
            if any(",ass=" in str(item) for item in argv):
                argv = [*argv[:-1], str(tmp_path / "no such folder" / "x.mp4")]
            return start(argv, **kwargs)

        run.start_child = failing_burn

    out = tmp_path / "out"
    with VideoSite(tmp_path / "www") as site:
        page = site.publish(source_video, "film")[0]
        with pytest.raises(subprocess.CalledProcessError):  # both encoders' attempts
            make_recap(page, PAUSED[:1], voice="en-us", speed=1.5, output_dir=out, mkdir=True, services="local",
                       captions="burn", on_start=on_start, quiet=True, keep_work=True)
    [kept] = out.iterdir()  # the working folder, kept for the error; no result, no caption file
    assert kept.name.startswith(".vantor-run-") and (kept / "FINAL_RECAP.srt").exists()


def check(*args):
    env = child_env()
    env.pop("VANTOR_SERVICES_URL", None)
    done = subprocess.run([sys.executable, "-m", "vantor", "check", *map(str, args)], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout


def test_the_fit_report_both_ways_and_strict(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([
        {"start": "0", "end": "10", "voiceover": "Red."},
        {"start": "00:00:01", "end": "00:00:02.5",
         "voiceover": "This narration is far too long for a range of one and a half seconds."},
        # 0.9 s spoken (the MP3's samples, not its container's padded figure) in 1.1 s: within the slack.
        {"start": "1:00", "end": "1:01.1", "voiceover": "Blue sky."}]))
    code, out = check(segments, "--voice", "en-us", "--fit", "narration")
    lines = out.splitlines()
    assert code == 0
    assert re.fullmatch(r"warning: segment 1: the range \(10\.0 s\) will be cut to the narration \(0\.\d s\)", lines[0])
    assert re.fullmatch(r"warning: segment 2: the narration \((\d\.\d) s\) is (\d\.\d) s longer than its range "
                        r"\(1\.5 s\): its last words will be cut; widen the range or shorten the text", lines[1])
    assert lines[2].startswith("note: ") and "key frame" in lines[2]
    assert lines[3] == f"{segments}: OK (2 warnings)"  # the word-count guess gives way to the measure
    code, out = check(segments, "--voice", "en-us", "--fit", "narration", "--strict")
    assert code == 1 and out.splitlines()[0].startswith("error: segment 1: the range")
    code, out = check(segments, "--voice", "en-us", "--fit", "narration", "--json")
    fit = json.loads(out)["files"][0]["fit"]
    assert [f["outcome"] for f in fit] == ["range-cut", "words-cut", "fits"]
    assert [f["range"] for f in fit] == [10.0, 1.5, 1.1] and all(f["narration"] > 0 for f in fit)
    assert code == 0
    assert check(segments, "--strict")[0] != 0  # --strict means nothing without a voice


def test_strict_refuses_before_the_download_and_jobs_take_captions(tmp_path, monkeypatch, capsys):
    from vantor.batch.jobs import JobsFileError, load_jobs
    from vantor.cli import main
    from vantor.recap.fit.fit_report import FitError

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    misfit = [{"start": "0", "end": "9", "voiceover": "Red."}]
    with pytest.raises(FitError, match=r"segment 1: the range \(9\.0 s\) will be cut.*nothing was downloaded"):
        # an address nothing answers: reaching the download would be another error
        make_recap("http://127.0.0.1:9/film", misfit, voice="en-us", output_dir=tmp_path, services="local",
                   strict_fit=True, quiet=True, fit="narration")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cache"]
    with pytest.raises(Exception, match='captions need the local speech service.s word timings; pass services="local"'):
        make_recap("http://127.0.0.1:9/film", misfit, voice="en-us", output_dir=tmp_path, services="configured",
                   captions="files", quiet=True)
    with pytest.raises(Exception, match="captions must be one of files, burn, track"):
        make_recap("http://127.0.0.1:9/film", misfit, voice="en-us", output_dir=tmp_path, captions="srt", quiet=True)
    # Caption files are results: one already there is kept unless the run may replace it.
    (tmp_path / "talk.vtt").write_text("mine")
    with pytest.raises(Exception, match=r"talk\.vtt exists; pass overwrite=True"):
        make_recap("http://127.0.0.1:9/film", misfit, voice="en-us", output_dir=tmp_path, services="local",
                   output_name="talk.mp4", captions="files", quiet=True)
    (tmp_path / "talk.vtt").unlink()

    (tmp_path / "s.json").write_text(json.dumps(misfit))
    jobs = tmp_path / "jobs.jsonl"
    line = {"url": "u", "segments": "s.json", "voice": "en-us", "output_dir": "o", "fit": "narration"}
    jobs.write_text(json.dumps({**line, "captions": "karaoke"}) + "\n")
    with pytest.raises(JobsFileError, match=r"jobs.jsonl:1: 'captions' must be one of"):
        load_jobs(jobs)
    jobs.write_text(json.dumps({**line, "captions": "burn"}) + "\n" + json.dumps({**line, "output_dir": "p"}) + "\n")
    assert [job.spec.captions for job in load_jobs(jobs)] == ["burn", None]
    assert main(["batch", "--check", "--services", "local", str(jobs)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert [l.split(": ", 2)[:2] for l in out[:2]] == [["warning", "line 1"], ["warning", "line 2"]]
    assert out[0].endswith("the range (9.0 s) will be cut to the narration (0.7 s)") and out[2] == "2 jobs: OK (2 warnings)"


def test_fit_and_cue_boundaries():
    from vantor.recap.captions.cues import HOLD_GAP, PAUSE_SPLIT
    from vantor.recap.fit.fit_report import RANGE_SLACK, SegmentFit

    def outcome(range_length, narration=2.0, spoken_end=1.5):
        return SegmentFit(1, range_length, narration, spoken_end, "test").outcome

    assert [outcome(1.5), outcome(1.49), outcome(2.0 + RANGE_SLACK), outcome(2.0 + RANGE_SLACK + 0.01)] == [
        "fits", "words-cut", "fits", "range-cut"]
    # A pause of exactly PAUSE_SPLIT ends a cue; a gap of exactly HOLD_GAP is not held over.
    split = place_cues([timing(("a", 0.0, 0.5), ("b", 0.5 + PAUSE_SPLIT, 1.2), duration=1.2)], [1.2], 1.0)
    joined = place_cues([timing(("a", 0.0, 0.5), ("b", 0.5 + PAUSE_SPLIT - 0.01, 1.2), duration=1.2)], [1.2], 1.0)
    assert [c.text for c in split] == ["a", "b"] and [c.text for c in joined] == ["a b"]
    held = place_cues([timing(("a", 0.0, 0.5), ("b", 0.5 + HOLD_GAP - 0.01, 1.2), duration=1.2)], [1.2], 1.0)
    kept = place_cues([timing(("a", 0.0, 0.5), ("b", 0.5 + HOLD_GAP, 1.2), duration=1.2)], [1.2], 1.0)
    assert held[0].end == pytest.approx(held[1].start) and kept[0].end == pytest.approx(0.5)
