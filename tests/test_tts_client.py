"""_generate_tts against the loopback speech stand-in, over real sockets."""

import base64
import binascii
import json

import pytest
import requests

from vantor import _service_settings as settings
from standins import ServiceRouter, SpeechService

ORIGIN = "https://" + settings.TTS_HOST
TRANSPORT = {"host", "accept-encoding", "connection", "content-length"}
PAYLOAD = bytes(range(40)) + b"\xff\x00"  # 42 bytes: base64 without padding
B64 = base64.b64encode(PAYLOAD).decode()


@pytest.fixture
def speech(engine):
    with SpeechService() as service:
        engine.requests = ServiceRouter(speech=service)
        yield service


@pytest.mark.parametrize("prefix", [True, False])
def test_request_shape_and_audio_written(engine, speech, tmp_path, prefix):
    speech.prefix = prefix
    out = tmp_path / "voice_0.mp3"
    text = "Hello there, naïve “quoted” world"
    assert engine._generate_tts(text, str(out), "en-US-AriaNeural") is None

    (request,) = speech.requests
    assert (request.method, request.path) == ("POST", "/api/generate-audio-frontend")
    assert json.loads(request.body, object_pairs_hook=list) == [("text", text), ("voice", "en-US-AriaNeural")]
    sent = {k.lower(): v for k, v in request.headers.items() if k.lower() not in TRANSPORT}
    assert sent == {"accept": "*/*", "content-type": "application/json", "origin": ORIGIN,
                    "referer": ORIGIN + "/text-to-speech/", "user-agent": "Mozilla/5.0"}
    (call,) = engine.requests.calls
    assert call.url == ORIGIN + "/api/generate-audio-frontend"
    assert call.kwargs["timeout"] == 60
    assert out.read_bytes() == speech.audio_for(text)


@pytest.mark.parametrize(
    "audio_data, stripped",
    [
        ("data:audio/mpeg;base64," + B64, True),
        (B64, True),
        ("data:audio/mpeg;codecs=mp3;rate=24000;base64," + B64, True),
        ("data:audio/x;base64,QUJD;base64," + B64, True),  # greedy: up to the last marker
        ("data:audio/;base64," + B64, False),  # nothing between "audio/" and ";base64,"
        ("DATA:AUDIO/MPEG;BASE64," + B64, False),
        ("data:image/jpeg;base64," + B64, False),
        ("\ndata:audio/mpeg;base64," + B64, False),
        ("data:audio/mpeg\n;base64," + B64, False),  # the prefix may not span lines
    ],
)
def test_data_url_prefix(engine, speech, tmp_path, audio_data, stripped):
    speech.script_answer(body={"audio_data": audio_data, "other": 1})
    out = tmp_path / "a.mp3"
    engine._generate_tts("t", str(out), "v")
    # An unstripped prefix goes to the decoder, which skips the characters
    # outside the alphabet and decodes the rest.
    expected = PAYLOAD if stripped else base64.b64decode(audio_data)
    assert out.read_bytes() == expected
    assert stripped or expected != PAYLOAD


@pytest.mark.parametrize("status", [201, 204, 500])
@pytest.mark.parametrize("voice, existing", [("v", True), ("", False)])
def test_status_other_than_200_fails_and_leaves_file(engine, speech, tmp_path, status, voice, existing):
    out = tmp_path / "a.mp3"
    if existing:
        out.write_bytes(b"earlier")
    speech.script_answer(status=status, body={"audio_data": B64})
    with pytest.raises(Exception) as info:
        engine._generate_tts("", str(out), voice)
    assert type(info.value) is Exception and str(info.value) == f"TTS failed for voice {voice}: HTTP {status}"
    assert out.read_bytes() == b"earlier" if existing else not out.exists()
    assert json.loads(speech.requests[0].body) == {"text": "", "voice": voice}  # sent unchanged, unchecked


@pytest.mark.parametrize(
    "body, error, left",
    [
        ("not json {", json.JSONDecodeError, b"earlier"),
        ([1, 2], TypeError, b"earlier"),
        ({"audio": B64}, KeyError, b"earlier"),
        ({"audio_data": 12}, TypeError, b"earlier"),
        ({"audio_data": "data:audio/mpeg;base64,QUJDR"}, binascii.Error, b""),  # incomplete group
        ({"audio_data": "QUJDé"}, ValueError, b""),  # not ASCII
    ],
)
def test_answer_errors_reach_caller(engine, speech, tmp_path, body, error, left):
    out = tmp_path / "a.mp3"
    out.write_bytes(b"earlier")
    speech.script_answer(body=body)
    with pytest.raises(error, match="audio_data" if error is KeyError else None):
        engine._generate_tts("t", str(out), "v")
    assert out.read_bytes() == left


def test_missing_directory(engine, speech, tmp_path):
    with pytest.raises(FileNotFoundError):
        engine._generate_tts("t", str(tmp_path / "nowhere" / "a.mp3"), "v")
    assert not (tmp_path / "nowhere").exists()


def test_stall_surfaces_http_timeout(engine, speech, tmp_path):
    engine.requests = router = ServiceRouter(speech=speech, timeout_cap=0.5)
    speech.script_answer(delay=3)
    out = tmp_path / "a.mp3"
    with pytest.raises(requests.Timeout):
        engine._generate_tts("t", str(out), "v")
    assert [c.kwargs["timeout"] for c in router.calls] == [60]
    assert not out.exists()


def test_refused_connection_leaves_file_untouched(engine, speech, tmp_path):
    out = tmp_path / "a.mp3"
    out.write_bytes(b"earlier narration")
    speech.close()  # the port stays known to the router, nothing listens on it
    with pytest.raises(requests.ConnectionError):
        engine._generate_tts("t", str(out), "v")
    assert out.read_bytes() == b"earlier narration"
