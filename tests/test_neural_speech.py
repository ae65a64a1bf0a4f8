"""The speech service's neural voice, its fallback to espeak-ng, a user's own
voices, the loudness of what it answers and the narration timings it gives."""

from __future__ import annotations

import base64
import json
import os
import re
import signal
import stat
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
import requests

from child_env import child_env
from service_helpers import streams
from vantor.services import SpeechError, bind
from vantor.services.loudness import measure
from vantor.services.local import LocalServices
from vantor.services.narrator import Narrator
from vantor.services.espeak_backend import SpeechFailed
from vantor.services.piper_backend import PiperBackend, bundled_voice, piper_version, read_voice_files
from vantor.services.server import InProcessServer, Services
from vantor.extras import install_extra
from vantor.services.voices import ESPEAK, NEURAL, VoiceCatalog, voice_groups
from vantor.demo.video_site import VideoSite

# The levels the README promises, written out: a test must not follow a changed constant.
TARGET = -16.0  # LUFS integrated
PEAK_LIMIT = -1.5  # dBTP

ROOT = Path(__file__).resolve().parents[1]
ENDPOINT = "/api/generate-audio-frontend"
PAUSED = "Red. ... Green. ... Blue."
LONGER = "The hero walks into the old house, finds the letter, and reads it aloud to everyone."

needs_piper = pytest.mark.skipif(piper_version() is None or bundled_voice() is None,
                                 reason="the neural voice is not installed (make install)")


class CountingNarrator(Narrator):
    def __init__(self, catalog: VoiceCatalog | None = None) -> None:
        super().__init__(catalog)
        self.spoken: list[tuple[str, str]] = []

    def speak(self, text: str, voice: str) -> bytes:
        self.spoken.append((text, voice))
        return super().speak(text, voice)


def serve(cache, narrator):
    server = InProcessServer(Services(cache, speech_backend=narrator))
    server.narrator = narrator
    return server


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    server = serve(tmp_path_factory.mktemp("cache"), CountingNarrator())
    yield server
    server.close()


def say(server, text, voice, **extra):
    return requests.post(server.base_url + ENDPOINT, json={"text": text, "voice": voice, **extra}, timeout=120)


def audio_file(answer, path):
    path.write_bytes(base64.b64decode(answer.json()["audio_data"].split(",", 1)[1]))
    return path


def onsets(path):
    """Where sound starts after each pause, by ffmpeg's silencedetect (its own settings here)."""
    found = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-i", str(path), "-af",
                            "silencedetect=noise=-35dB:d=0.2", "-f", "null", "-"], capture_output=True, text=True).stderr
    ends = [float(x) for x in re.findall(r"silence_end: ([\d.]+)", found)]
    starts = [float(x) for x in re.findall(r"silence_start: ([\d.]+)", found)]
    duration = streams(path)["duration"]
    heard = [] if starts and starts[0] < 0.01 else [0.0]
    for end in ends:
        following = next((start for start in starts if start > end), duration)
        if following - end > 0.1:  # sound follows, not just the end of the file (or MP3 padding)
            heard.append(end)
    return heard


@needs_piper
def test_neural_names_are_spoken_by_piper_through_the_engines_own_client(engine, speech, tmp_path):
    answer = say(speech, LONGER, "en-US-GuyNeural")
    assert answer.status_code == 200
    assert answer.json()["backend"] == "piper" and answer.headers["X-Vantor-Speech-Backend"] == "piper"
    assert say(speech, LONGER, "en-US-JennyNeural").json()["backend"] == "espeak-ng"
    engine.time = type("NoSleep", (), {"sleep": staticmethod(lambda s: None)})
    with bind(LocalServices(speech.base_url)):
        engine._generate_tts("Spoken by the neural voice.", str(tmp_path / "n.mp3"), "en-US-ChristopherNeural")
    got = streams(tmp_path / "n.mp3")
    assert got["audio"] == "mp3" and "video" not in got and got["duration"] > 0.8


@pytest.mark.parametrize("voice", [pytest.param("en-US-GuyNeural", marks=needs_piper), "en-us"])
@pytest.mark.parametrize("text", ["Red.", LONGER])
def test_narrations_leave_at_the_loudness_target(speech, tmp_path, voice, text):
    level = measure(audio_file(say(speech, text, voice), tmp_path / "n.mp3"))
    assert abs(level.integrated - TARGET) <= 1.0 and level.true_peak <= PEAK_LIMIT


@pytest.mark.parametrize("voice", [pytest.param("en-US-GuyNeural", marks=needs_piper), "en-us"])
def test_word_timings_start_at_each_words_onset_and_are_cached_with_the_audio(speech, tmp_path, voice):
    before = len(speech.narrator.spoken)
    answer = say(speech, PAUSED, voice, timing=True)
    timing = answer.json()["timing"]
    heard = onsets(audio_file(answer, tmp_path / "n.mp3"))
    assert [w["word"] for w in timing["words"]] == ["Red.", "Green.", "Blue."] and len(heard) == 3
    assert all(abs(w["start"] - onset) <= 0.15 for w, onset in zip(timing["words"], heard)), (timing, heard)
    assert all(w["start"] < w["end"] <= timing["duration"] for w in timing["words"])
    assert timing["backend"] == answer.json()["backend"]
    # The timing's narration is the engine's narration: both are answered from the cache.
    assert say(speech, PAUSED, voice, timing=True).json()["timing"] == timing
    assert say(speech, PAUSED, voice).json()["audio_data"] == answer.json()["audio_data"]
    assert len(speech.narrator.spoken) == before + 1


def test_timing_api_and_its_refusal(speech):
    services = LocalServices(speech.base_url)
    timing = services.narration_timing("One, two. Three.", "en-gb")
    assert [w.word for w in timing.words] == ["One,", "two.", "Three."] and timing.backend == "espeak-ng"
    assert 0 <= timing.words[0].start < timing.words[1].start < timing.words[2].start < timing.duration
    with pytest.raises(SpeechError, match="^unknown voice 'en-US-NoSuchNeural'; see vantor voices$"):
        services.narration_timing("hello", "en-US-NoSuchNeural")


@needs_piper
def test_the_voice_is_loaded_once_and_a_dead_child_is_replaced(tmp_path):
    server = serve(tmp_path / "cache", CountingNarrator())
    try:
        piper = server.narrator.piper
        for n in range(3):
            assert say(server, f"Narration number {n}.", "en-US-GuyNeural").status_code == 200
        assert piper.started == 1 and len(piper.child_pids()) == 1
        # Text the engine cannot speak ends its child: one clear error, then a new child.
        failed = say(server, "...", "en-US-GuyNeural")
        assert failed.status_code == 500 and failed.json()["error"].startswith("the neural voice could not speak")
        assert "\n" not in failed.json()["error"]
        assert piper.child_pids() == []
        assert say(server, "Back again.", "en-US-GuyNeural").json()["backend"] == "piper"
        assert piper.started == 2
        os.kill(piper.child_pids()[0], signal.SIGKILL)
        assert say(server, "And again.", "en-US-GuyNeural").json()["backend"] == "piper"
        assert piper.started == 3
    finally:
        server.close()
    assert server.narrator.piper.child_pids() == []


def test_without_the_neural_voice_neural_names_fall_back_to_espeak_with_one_note(tmp_path, capfd):
    catalog = VoiceCatalog(None, neural_runtime=False)
    server = serve(tmp_path / "cache", CountingNarrator(catalog))
    try:
        for text in ("First line.", "Second line."):
            answer = say(server, text, "en-US-GuyNeural")
            assert answer.status_code == 200 and answer.json()["backend"] == "espeak-ng"
    finally:
        server.close()
    notes = [line for line in capfd.readouterr().err.splitlines() if "en-US-GuyNeural" in line]
    assert notes == ["vantor speech: en-US-GuyNeural is spoken by espeak-ng (en-us+m3): the neural engine piper "
                     f"is not installed (add it with: {install_extra('neural')})"]
    assert "piper-tts==1.8.0" in install_extra("neural")  # this environment's pip, never 'vantor[neural]'


def test_a_folder_of_voices_adds_voices_by_name_and_says_what_it_skipped(tmp_path):
    folder = tmp_path / "voices"
    folder.mkdir()
    config = json.dumps({"audio": {"sample_rate": 22050}, "language": {"code": "en_GB"}})
    for name in ("narrator-one", "en-us", "two words", "broken"):
        (folder / f"{name}.onnx").write_bytes(b"model")
        (folder / f"{name}.onnx.json").write_text(config if name != "broken" else "{not json")
    (folder / "lonely.onnx").write_bytes(b"model")
    catalog = VoiceCatalog(None, folder)
    assert catalog.check("narrator-one").engine == NEURAL and catalog.check("en-us").engine == ESPEAK
    assert catalog.check("narrator-one").piper.language == "en_GB"
    assert sorted(name for name in catalog.names() if name not in VoiceCatalog(None).names()) == ["narrator-one"]
    skipped = "\n".join(catalog.problems)
    for name in ("en-us.onnx", "two words.onnx", "broken.onnx.json", "lonely.onnx"):
        assert name in skipped
    assert len(catalog.problems) == 4
    assert VoiceCatalog(None, folder, neural_runtime=False).get("narrator-one") is None
    # A model replaced under the same name is another voice to the cache.
    (folder / "narrator-one.onnx").write_bytes(b"another model")
    assert VoiceCatalog(None, folder).check("narrator-one").identity != catalog.check("narrator-one").identity
    # Grouped by engine: the user's voice among the neural ones; without piper the neural-looking names,
    # the default among them, are espeak-ng's and say so.
    neural, espeak = voice_groups(catalog)
    assert (neural.engine, espeak.engine) == (NEURAL, ESPEAK)
    assert [(v.name, mark) for v, mark in neural.voices] == [("narrator-one", "narrator-one (en_GB), your own")]
    marks = dict((v.name, mark) for v, mark in espeak.voices)
    assert marks["en-US-GuyNeural"] == "en-us+m3: espeak-ng, not neural (only the name looks it) [default]"
    assert marks["en-gb"] == "en-gb" and list(marks).index("ko") < list(marks).index("en-US-JennyNeural")
    listed = subprocess.run([sys.executable, "-m", "vantor", "voices", "--json", "--voices-dir", str(folder)],
                            capture_output=True, text=True, check=True, timeout=120)
    voices = {v["name"]: v for v in json.loads(listed.stdout)["voices"]}
    assert voices["en-GB-RyanNeural"]["engine"] == "espeak-ng"
    if piper_version() is not None:
        assert voices["narrator-one"]["engine"] == "neural"


@needs_piper
def test_a_users_piper_voice_is_spoken_by_piper(tmp_path):
    folder = tmp_path / "voices"
    folder.mkdir()
    voice = bundled_voice()
    (folder / "my-narrator.onnx").symlink_to(voice.model)
    (folder / "my-narrator.onnx.json").symlink_to(voice.config)
    server = serve(tmp_path / "cache", CountingNarrator(VoiceCatalog(voice, folder)))
    try:
        answer = say(server, "My own voice.", "my-narrator")
        assert answer.status_code == 200 and answer.json()["backend"] == "piper"
    finally:
        server.close()


def standin_voice(tmp_path):
    (tmp_path / "v.onnx").write_bytes(b"model")
    (tmp_path / "v.onnx.json").write_text(json.dumps({"audio": {"sample_rate": 22050}}))
    return read_voice_files(tmp_path / "v.onnx")


def test_piper_child_timeouts_foreign_paths_and_one_narration_at_a_time(tmp_path, monkeypatch):
    voice = standin_voice(tmp_path)
    piper = PiperBackend(command=[sys.executable, str(Path(__file__).with_name("piper_standin.py"))])
    try:
        # Only a file in the child's own private folder is taken.
        victim = tmp_path / "victim.wav"
        victim.write_bytes(b"keep me")
        piper.speak_wav(f"elsewhere {victim}", voice, tmp_path / "out.wav")
        assert victim.read_bytes() == b"keep me" and streams(tmp_path / "out.wav")["duration"] > 1
        assert stat.S_IMODE(os.stat(piper._children[voice.model].out_dir).st_mode) == 0o700
        # Concurrent narrations share the child one at a time, each getting its own audio.
        texts = ["a" * n for n in (3, 30, 12, 21, 7, 16)]
        with ThreadPoolExecutor(len(texts)) as pool:
            list(pool.map(lambda t: piper.speak_wav(t, voice, tmp_path / f"{len(t)}.wav"), texts))
        assert [round(streams(tmp_path / f"{len(t)}.wav")["duration"], 1) for t in texts] == [0.3, 3.0, 1.2, 2.1, 0.7, 1.6]
        # A child that stops answering is ended and replaced; a blank line would never be answered.
        monkeypatch.setattr("vantor.services.speech_bounds.BASE_SECONDS", 1.0)
        with pytest.raises(SpeechFailed, match="^the text is empty$"):
            piper.speak_wav(" \n\u2028 ", voice, tmp_path / "blank.wav")
        with pytest.raises(SpeechFailed, match="^the neural voice took over 1 s for one narration$"):
            piper.speak_wav("hang", voice, tmp_path / "hung.wav")
        assert piper.child_pids() == [] and piper.started == 1
        piper.speak_wav("after", voice, tmp_path / "after.wav")
        assert piper.started == 2
    finally:
        piper.close()


@needs_piper
def test_a_narration_cached_from_one_engine_is_not_served_for_the_other(tmp_path):
    for catalog, backend in ((VoiceCatalog(None, neural_runtime=False), "espeak-ng"), (None, "piper")):
        server = serve(tmp_path / "shared-cache", CountingNarrator(catalog))
        try:
            assert say(server, "Cached once per engine.", "en-US-GuyNeural").json()["backend"] == backend
            assert len(server.narrator.spoken) == 1
        finally:
            server.close()


@pytest.mark.slow
@pytest.mark.parametrize("voice", [pytest.param("en-US-GuyNeural", marks=needs_piper), "en-us"])
def test_a_whole_recap_plays_at_the_loudness_target(source_video, tmp_path, voice):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([
        {"start": "0", "end": "5", "voiceover": "Our story starts in a quiet village by the sea."},
        {"start": "6", "end": "11", "voiceover": "Then the storm comes, and nothing is the same."}]))
    with VideoSite(tmp_path / "www") as site:
        page = site.publish(source_video, "film")[0]
        env = child_env(VANTOR_CACHE_DIR=str(tmp_path / "cache"))
        env.pop("VANTOR_SERVICES_URL", None)
        done = subprocess.run([sys.executable, "-m", "vantor", "recap", page, str(segments), "--voice", voice,
                               "--speed", "1.5", "-p", "--output-dir", str(tmp_path / "out")], cwd=ROOT, env=env,
                              capture_output=True, text=True, timeout=400)
    assert done.returncode == 0, done.stderr
    level = measure(tmp_path / "out" / "FINAL_RECAP.mp4")
    assert abs(level.integrated - TARGET) <= 1.0, level


def test_doctor_reports_the_neural_voice_or_how_to_get_it(monkeypatch):
    from io import StringIO

    from vantor.doctor import check_neural_voice

    out = StringIO()
    installed = check_neural_voice(out)
    if piper_version() and bundled_voice():
        assert installed and out.getvalue().startswith(f"✓ neural voice: piper {piper_version()} with en_US-joe-medium (")
    monkeypatch.setattr("vantor.services.piper_backend.piper_version", lambda: None)
    out = StringIO()
    assert not check_neural_voice(out)
    assert out.getvalue().count("\n") == 1 and "espeak-ng" in out.getvalue() and install_extra("neural") in out.getvalue()


def test_speech_is_bounded_by_its_text_and_a_script_the_voice_cannot_read_is_refused_at_once(tmp_path):
    from vantor.services.speech_bounds import speech_seconds, unreadable

    # From a small base, growing with the text: 5,000 characters get 110 s, not minutes more.
    assert (speech_seconds("a" * 10), speech_seconds("a" * 5000), speech_seconds("", loading=True)) == (
        pytest.approx(10.2), pytest.approx(110.0), pytest.approx(40.0))
    assert unreadable("Привет, как дела? " * 50, "en_US", "v").startswith("the voice v reads Latin script")
    assert "Cjk" in unreadable("你好世界，今天", "en_US", "v") and unreadable("Ça va, Zoë? Москва.", "fr_FR", "v") is None
    assert unreadable("Hello there", "ru_RU", "v") is not None and unreadable("Привет", "xx", "v") is None
    # Through the service: answered 400 in one line, the voice never asked.
    folder = tmp_path / "voices"
    folder.mkdir()
    (folder / "v.onnx").write_bytes(b"model")
    (folder / "v.onnx.json").write_text(json.dumps({"audio": {"sample_rate": 22050}, "language": {"code": "en_US"}}))
    narrator = CountingNarrator(VoiceCatalog(None, folder))
    server = serve(tmp_path / "cache", narrator)
    try:
        answer = say(server, "Доброе утро. " * 300, "v")
        assert answer.status_code == 400 and "reads Latin script" in answer.json()["error"] and narrator.spoken == []
    finally:
        server.close()
