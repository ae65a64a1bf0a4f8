"""The local speech service: espeak-ng MP3 through the exchange the engine's
speech client speaks, its voices, its refusals and its cache."""

from __future__ import annotations

import pytest
import requests

from service_helpers import streams
from vantor.services import bind
from vantor.services.local import LocalServices
from vantor.services.narrator import Narrator
from vantor.services.server import InProcessServer, Services
from vantor.services.voices import VOICES, check_voice, voice_names

ENDPOINT = "/api/generate-audio-frontend"


class CountingSpeech(Narrator):
    def __init__(self) -> None:
        super().__init__()
        self.spoken: list[tuple[str, str]] = []

    def speak(self, text: str, voice: str) -> bytes:
        self.spoken.append((text, voice))
        return super().speak(text, voice)


@pytest.fixture(scope="module")
def speech(tmp_path_factory):
    backend = CountingSpeech()
    server = InProcessServer(Services(tmp_path_factory.mktemp("cache"), speech_backend=backend))
    server.backend = backend
    yield server
    server.close()


def say(server, text, voice, **kwargs):
    return requests.post(server.base_url + ENDPOINT, json={"text": text, "voice": voice}, timeout=60, **kwargs)


@pytest.mark.parametrize("voice", voice_names())
def test_every_voice_speaks_real_mp3(engine, speech, tmp_path, voice):
    engine.time = type("NoSleep", (), {"sleep": staticmethod(lambda s: None)})
    with bind(LocalServices(speech.base_url)):
        engine._generate_tts(f"Voice {voice} reads one short line.", str(tmp_path / "n.mp3"), voice)
    got = streams(tmp_path / "n.mp3")
    assert got["audio"] == "mp3" and "video" not in got and got["duration"] > 0.5


def test_unknown_voice_reaches_the_user_as_the_clients_message(engine, speech, tmp_path):
    answer = say(speech, "hello", "en-US-NoSuchNeural")
    assert answer.status_code == 400 and answer.json()["error"] == "unknown voice 'en-US-NoSuchNeural'; see vantor voices"
    with bind(LocalServices(speech.base_url)), pytest.raises(Exception, match="^TTS failed for voice zz: HTTP 400$"):
        engine._generate_tts("hello", str(tmp_path / "n.mp3"), "zz")
    with pytest.raises(ValueError, match="^unknown voice 'zz'; see vantor voices$"):
        check_voice("zz")
    assert all(name in VOICES for name in ("en-US-GuyNeural", "en-GB-SoniaNeural", "de-DE-KatjaNeural", "en-us"))


@pytest.mark.parametrize("body, status", [
    ({"text": "", "voice": "en-us"}, 400), ({"text": " \n\t", "voice": "en-us"}, 400),
    ({"text": "x" * 5001, "voice": "en-us"}, 413), ({"text": "hi"}, 400), ({"text": 5, "voice": "en-us"}, 400),
    (["hi", "en-us"], 400), (b"not json", 400), (b'{"text": "' + b"y" * 70000 + b'", "voice": "en-us"}', 413)])
def test_bad_requests_are_refused_before_speaking(speech, body, status):
    before = len(speech.backend.spoken)
    sent = {"data": body} if isinstance(body, bytes) else {"json": body}
    answer = requests.post(speech.base_url + ENDPOINT, timeout=60, **sent)
    assert answer.status_code == status and answer.json()["success"] is False
    assert len(speech.backend.spoken) == before


def test_text_is_spoken_never_run(speech, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = "-w owned.wav --help $(touch owned) `touch owned2`; rm -rf x\n--version"
    answer = say(speech, text, "en-gb")
    assert answer.status_code == 200
    assert list(tmp_path.iterdir()) == [] and speech.backend.spoken[-1] == (text, "en-gb")


def test_narrations_are_cached_by_voice_and_text(speech):
    text = "A narration said twice."
    first = say(speech, text, "en-US-JennyNeural").json()["audio_data"]
    count = len(speech.backend.spoken)
    assert say(speech, text, "en-US-JennyNeural").json()["audio_data"] == first
    assert len(speech.backend.spoken) == count
    assert say(speech, text, "en-US-GuyNeural").json()["audio_data"] != first
    assert len(speech.backend.spoken) == count + 1
