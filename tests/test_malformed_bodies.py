"""Malformed request bodies are the client's fault: every endpoint that
reads a body answers them 400 with one line, never 500, on a real server on
loopback. Generated: deep nesting, bytes that are no JSON, numbers past
Python's digit limit, lone surrogates, JSON of another shape."""

from __future__ import annotations

import json

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from studio_served import served_studio
from vantor.services.narrator import Narrator
from vantor.services.server import InProcessServer, Services
from vantor.studio.app import Studio
from vantor.studio.project import Project

TOKEN = "malformed-bodies-token-0123"
BODIES = settings(max_examples=60, deadline=None, database=None, derandomize=True,
                  suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
# Each endpoint with the members it reads.
STUDIO = {"api/load": ("url",), "api/speak": ("text", "voice"), "api/fit": ("text", "voice", "start", "end"),
          "api/save": ("segments",), "api/make": ("url", "segments", "voice", "speed", "captions"),
          "api/transcript": ("url",), "api/suggest": ("id", "count", "length")}
SPEECH = ("text", "voice")


class SilentSpeech(Narrator):
    def speak(self, text: str, voice: str) -> bytes:
        return b"ID3 mp3 " + text.encode()


# JSON without any text value: no member any endpoint reads can be valid.
NO_TEXT = st.recursive(st.none() | st.booleans() | st.integers() | st.floats(),
                       lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
                       max_leaves=12)


def _object(members: tuple[str, ...], value: str) -> bytes:
    return ("{" + ", ".join(f'"{m}": {value}' for m in members) + "}").encode()


def malformed(members: tuple[str, ...]) -> st.SearchStrategy[bytes]:
    def deep(depth: int, kind: str, inside: bool) -> bytes:
        # As deep as 64 KiB allows: 2 bytes a level for lists, 5 for objects.
        nested = ("[" * depth + "]" * depth) if kind == "[" else ('{"":' * (depth * 2 // 5) + "1" + "}" * (depth * 2 // 5))
        # Inside the first member, or the whole body; within the smallest body limit (64 KiB).
        return (f'{{"{members[0]}": {nested}}}' if inside else nested).encode()

    def not_json(raw: bytes) -> bool:
        try:
            json.loads(raw)
        except ValueError:
            return True
        return False

    return st.one_of(
        st.builds(deep, st.integers(9_000, 32_000), st.sampled_from("[{"), st.booleans()),
        st.binary(max_size=64).filter(not_json),
        st.integers(4_301, 20_000).map(lambda digits: _object(members[:1], "1" * digits)),  # past int's digit limit
        st.sampled_from(["\\ud800", "a\\udfffb", "\\udbff"]).map(lambda s: _object(members, f'"{s}"')),
        NO_TEXT.filter(lambda v: not isinstance(v, dict)).map(lambda v: json.dumps(v).encode()),
        st.fixed_dictionaries({m: NO_TEXT for m in members}).map(lambda v: json.dumps(v).encode()),
    )


@pytest.fixture(scope="module")
def services(tmp_path_factory):
    server = InProcessServer(Services(tmp_path_factory.mktemp("cache"), token=TOKEN, speech_backend=SilentSpeech()))
    yield server
    server.close()


@pytest.fixture(scope="module")
def studio(tmp_path_factory, services):
    """The studio behind its guard, signed in as its page is."""
    root = tmp_path_factory.mktemp("project")
    with served_studio(Studio(Project(root), services.base_url), TOKEN) as page:
        page.session.headers.update({"origin": page.origin, "content-type": "application/json"})
        yield page.session, page.base, root


@pytest.mark.parametrize("endpoint", sorted(STUDIO))
def test_every_studio_endpoint_answers_malformed_bodies_400(studio, endpoint):
    session, base, root = studio

    @BODIES
    @given(malformed(STUDIO[endpoint]))
    def check(body: bytes) -> None:
        answer = session.post(base + endpoint, data=body, timeout=30)
        assert answer.status_code == 400, (body[:80], answer.status_code, answer.text[:200])
        assert answer.json()["error"]

    check()
    assert not (root / "segments.json").exists() and not (root / ".vantor-studio").exists()  # nothing started


def test_the_speech_endpoint_answers_malformed_bodies_400(services):
    @BODIES
    @given(malformed(SPEECH))
    def check(body: bytes) -> None:
        answer = requests.post(services.base_url + "/api/generate-audio-frontend", data=body, timeout=30)
        assert answer.status_code == 400 and answer.json()["success"] is False, (body[:80], answer.text[:200])

    check()
