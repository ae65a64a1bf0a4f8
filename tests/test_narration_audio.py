"""Loudness normalisation and the spreading of words over a narration's
sound, on audio made here with ffmpeg and held to ffmpeg's own readings."""

from __future__ import annotations

import math
import subprocess

import pytest

from vantor.services.loudness import level, measure
from vantor.services.narration_sound import read_wav
from vantor.services.narration_timing import sound_spans, spread_words, syllables

# The levels the README promises, written out: a test must not follow a changed constant.
TARGET = -16.0  # LUFS integrated
PEAK_LIMIT = -1.5  # dBTP


def make(path, filter_graph, seconds):
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", filter_graph, "-t", str(seconds),
                    "-ar", "22050", "-ac", "1", str(path)], check=True)
    return path


def levelled(source, target):
    """`source` levelled in-process, written as a float WAV ffmpeg reads back: (before, after)."""
    samples, rate = read_wav(source)
    out, before, after = level(samples, rate)
    out.astype("<f4").tofile(target.with_suffix(".f32"))
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error", "-f", "f32le", "-ar", str(rate), "-ac", "1", "-i",
                    str(target.with_suffix(".f32")), "-c:a", "pcm_f32le", str(target)], check=True)
    return before, after


@pytest.mark.parametrize("graph, seconds", [
    ("sine=frequency=220:sample_rate=22050,volume=0.02", 0.7),  # a quiet, one-word narration
    ("sine=frequency=330:sample_rate=22050,volume=0.9", 4.0),  # loud, near full scale
    # Peaky: clicks 30 dB above a quiet bed, so the gain alone would overshoot the peak limit.
    ("aevalsrc=0.01*sin(2*PI*200*t)+0.9*lt(mod(t\\,0.5)\\,0.002):s=22050", 3.0),
])
def test_normalise_reaches_the_target_within_the_peak_limit(tmp_path, graph, seconds):
    source = make(tmp_path / "in.wav", graph, seconds)
    before, after = levelled(source, tmp_path / "out.wav")
    # The in-process meter reads as ffmpeg's ebur128 does (which prints tenths).
    for ours, theirs in ((before, measure(source)), (after, measure(tmp_path / "out.wav"))):
        assert ours.integrated == pytest.approx(theirs.integrated, abs=0.1)
        assert ours.true_peak == pytest.approx(theirs.true_peak, abs=0.2)
    assert abs(measure(tmp_path / "out.wav").integrated - TARGET) <= 0.5 and after.true_peak <= PEAK_LIMIT


def test_silence_is_left_silent(tmp_path):
    source = make(tmp_path / "in.wav", "anullsrc=r=22050:cl=mono", 1.0)
    before, after = levelled(source, tmp_path / "out.wav")
    assert before.integrated == -math.inf or before.integrated < -60
    assert after.true_peak == -math.inf or after.true_peak < -60


def test_sound_spans_skip_leading_trailing_and_inner_silence(tmp_path):
    # 0.3 s silence, 0.5 s tone, 0.4 s silence, 0.6 s tone, 0.3 s silence.
    graph = "aevalsrc=0.5*sin(2*PI*300*t)*(between(t\\,0.3\\,0.8)+between(t\\,1.2\\,1.8)):s=22050"
    duration, spans = sound_spans(make(tmp_path / "two.wav", graph, 2.1))
    assert duration == pytest.approx(2.1, abs=0.02)
    assert [(round(a, 1), round(b, 1)) for a, b in spans] == [(0.3, 0.8), (1.2, 1.8)]


def test_a_quiet_breath_before_a_word_is_not_the_word(tmp_path):
    # 0.3 s of breath at -44 dBFS (sound to the pause finder, under the onset level), then the word.
    graph = "aevalsrc=0.0063*sin(2*PI*150*t)*between(t\\,0.2\\,0.5)+0.5*sin(2*PI*300*t)*between(t\\,0.5\\,1.0):s=22050"
    _, spans = sound_spans(make(tmp_path / "breath.wav", graph, 1.3))
    assert len(spans) == 1 and spans[0][0] == pytest.approx(0.5, abs=0.02)  # not 0.2: captions would lead the word


def test_words_follow_phrases_onto_stretches_of_sound():
    # As many stretches as phrases: one phrase each.
    timed = spread_words("Red. ... Green. ... Blue.", [(0.1, 0.5), (1.0, 1.6), (2.0, 2.4)])
    assert [(t.word, t.start, t.end) for t in timed] == [("Red.", 0.1, 0.5), ("Green.", 1.0, 1.6), ("Blue.", 2.0, 2.4)]
    # More stretches than phrases: the longest pause divides them, the short one stays inside a phrase.
    timed = spread_words("Once upon a time, there", [(0.0, 0.5), (0.6, 1.0), (1.8, 2.2)])
    assert [t.start for t in timed][-1] == 1.8 and all(t.start < 1.0 for t in timed[:-1])
    # Fewer stretches than phrases: words share the sounding time by syllables, pauses skipped.
    timed = spread_words("one. two. three four", [(0.0, 1.0), (2.0, 3.0)])
    assert [(t.start, t.end) for t in timed] == [(0.0, 0.5), (0.5, 1.0), (2.0, 2.5), (2.5, 3.0)]
    timed = spread_words("go, elephant", [(0.0, 2.0)])
    assert timed[1].start == pytest.approx(0.5)  # 1 : 3 syllables
    # A word starting exactly where a stretch ends starts at the next stretch.
    timed = spread_words("one two", [(0.0, 1.0), (3.0, 4.0)])
    assert [t.start for t in timed] == [0.0, 3.0] and timed[0].end == 1.0
    # Punctuation alone is not a word; no sound, no words.
    assert [t.word for t in spread_words("Wait — what?", [(0.0, 1.0)])] == ["Wait", "what?"]
    assert spread_words("Hello", []) == [] and spread_words("... !", [(0.0, 1.0)]) == []


@pytest.mark.parametrize("word, count", [("a", 1), ("time", 1), ("little", 2), ("beautiful", 3),
                                         ("rhythm", 1), ("2026", 4), ("—", 1), ("Green.", 1)])
def test_syllable_weights(word, count):
    assert syllables(word) == count


def test_a_narration_costs_one_child_after_its_voice_and_its_timings_fit_its_mp3(monkeypatch, tmp_path):
    from vantor.services.narration_timing import measure_timing
    from vantor.services.narrator import Narrator

    programs = []

    class Counted(subprocess.Popen):
        def __init__(self, args, *rest, **options):
            programs.append(next(a for a in args if "prlimit" not in a and not a.startswith("--")).split("/")[-1])
            super().__init__(args, *rest, **options)

    monkeypatch.setattr(subprocess, "Popen", Counted)
    narrator = Narrator()
    spoken = narrator.narrate("Red. ... Green. ... Blue.", "en-us")
    monkeypatch.undo()
    # espeak-ng speaks; one ffmpeg encodes the MP3: the levels and the timings are read in this process.
    assert programs == ["espeak-ng", "ffmpeg"]
    (tmp_path / "n.mp3").write_bytes(spoken.mp3)
    level_read = measure(tmp_path / "n.mp3")
    assert abs(level_read.integrated - TARGET) <= 0.5 and level_read.true_peak <= PEAK_LIMIT
    from_mp3 = measure_timing(tmp_path / "n.mp3", "Red. ... Green. ... Blue.", "espeak-ng")
    assert [w.word for w in spoken.timing.words] == ["Red.", "Green.", "Blue."]
    assert spoken.timing.duration == pytest.approx(from_mp3.duration, abs=0.005)
    assert all(abs(a.start - b.start) <= 0.01 and abs(a.end - b.end) <= 0.01
               for a, b in zip(spoken.timing.words, from_mp3.words, strict=True))
    assert narrator.spoken_timing(narrator.speak("Red.", "en-us")).words[0].word == "Red."
