"""The run's record of its media: one ffprobe call per file (again only when
the file is written again), the same length ffprobe states, the joined
sound's length from its AAC frames, and narration lengths from their timings."""

from __future__ import annotations

import subprocess

import pytest

from vantor.recap.checks.probe import UnreadableVideo, probe_duration
from vantor.recap.engine.run_media import RunMedia
from vantor.services import NarrationTiming


def make(path, *inputs: str) -> str:
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", *(a for i in inputs for a in ("-f", "lavfi", "-i", i)),
                    "-shortest", str(path)], check=True)
    return str(path)


def test_each_file_is_read_once_until_it_changes(tmp_path):
    clip = make(tmp_path / "clip.mp4", "testsrc2=d=2:size=64x64", "sine=d=2:sample_rate=48000")
    mute = make(tmp_path / "mute.mp4", "testsrc2=d=1:size=64x64")
    voice = make(tmp_path / "voice.mp3", "sine=d=1")
    media = RunMedia([NarrationTiming(1.25, (), "test")])
    frames = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets", "-show_entries",
                             "stream=nb_read_packets", "-of", "csv=p=0", clip], capture_output=True, text=True)
    facts = media.facts(clip)
    assert (facts.duration, facts.audio_format) == (probe_duration(clip), "mov")
    assert facts.sound_length == int(frames.stdout) * 1024 / 48000 > 2.0
    assert media.length(clip) == media.facts(clip, count_packets=False).duration and media.probes == 1
    assert media.facts(mute).audio_format is None and media.facts(voice).sound_length is None  # mp3: no AAC frames
    assert media.facts(voice).audio_format == "mp3" and media.probes == 3
    uncounted = RunMedia()
    assert uncounted.facts(clip, count_packets=False).sound_length is None and uncounted.facts(clip).sound_length
    assert uncounted.probes == 2
    make(tmp_path / "clip.mp4", "testsrc2=d=3:size=64x64", "sine=d=3")  # written again: read again
    assert media.length(clip) == pytest.approx(3.0, abs=0.1) and media.probes == 4
    assert media.narration_length(0, "no such file") == 1.25 and media.narration_length(1, voice) == probe_duration(voice)
    (tmp_path / "junk.mp4").write_bytes(b"not a video")
    for unreadable in (media.length, media.source_length):
        with pytest.raises(UnreadableVideo):
            unreadable(str(tmp_path / "junk.mp4"))


def test_every_probe_and_analysis_of_a_run_reads_local_files_and_pipes_only(tmp_path):
    """The run's own ffprobe calls and the framing's, which the run's runner
    starts outside its host's steps (whose commands test_captions checks),
    name the protocols they read."""
    from vantor.recap.framing import frame_analysis
    from vantor.runner import Runner

    clip = make(tmp_path / "clip.mp4", "testsrc2=d=1:size=64x36", "sine=d=1")
    started: list[list[str]] = []
    real_popen = subprocess.Popen

    def popen(argv, *args, **kwargs):
        started.append(list(argv))
        return real_popen(argv, *args, **kwargs)

    runner = Runner(start_child=popen)
    RunMedia(runner=runner).facts(clip)
    frame_analysis.analyse(clip, 0.5, runner=runner)
    assert {argv[0] for argv in started} == {"ffprobe", "ffmpeg"} and len(started) == 3
    for argv in started:
        at = argv.index("-protocol_whitelist")
        assert argv[at + 1] == "file,pipe" and at < argv.index("-i" if "-i" in argv else clip), argv
