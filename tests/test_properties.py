"""Properties of the building blocks on generated inputs, each checked against
a small model written here: argument binding, the tempo chain, the download
address's percent-encoding, and the narration's prefix strip and decode."""

from __future__ import annotations

import base64
import binascii
import math
import os
import re
import tempfile
import urllib.parse
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vantor.vantor as engine_module
from vantor import _service_settings as service

REAL = {name: getattr(engine_module, name) for name in ("_download_video", "_generate_tts", "_build_atempo_chain",
                                                         "run_recap")}

# Reproducible in CI: a fixed derandomised search, nothing stored between runs.
PROPERTY = settings(max_examples=300, deadline=None, database=None, derandomize=True,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


class Seen(Exception):
    """Raised by a stand-in at the first use that shows what was bound."""


Named = type("Named", (str,), {})
Index = type("Index", (), {"__init__": lambda s, n: setattr(s, "n", n), "__index__": lambda s: s.n,
                           "__repr__": lambda s: f"Index({s.n})"})

# --- argument binding -------------------------------------------------------

PARAMS = {  # names, how many are required, default of the last, which is a number
    "_download_video": (("url", "output_file"), 2, None, None),
    "_generate_tts": (("text", "output_file", "voice"), 3, None, None),
    "_build_atempo_chain": (("speed",), 1, None, "speed"),
    "run_recap": (("youtube_url", "segments_file", "speed_factor", "tts_voice", "output_dir"), 4, ".",
                  "speed_factor"),
}


def bind_model(op, args, kwargs):
    """What a Python function with this signature and these argument rules
    binds, or the exception it raises (type, message)."""
    names, required, default, number = PARAMS[op]

    def count_error(given):
        word, expected = ("exactly", len(names)) if required == len(names) else (
            ("at least", required) if given < required else ("at most", len(names)))
        plural = "" if expected == 1 else "s"
        return TypeError, f"{op}() takes {word} {expected} positional argument{plural} ({given} given)"

    if len(args) > len(names) or (not kwargs and len(args) < required):
        return count_error(len(args))
    values = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            return TypeError, f"{op}() got an unexpected keyword argument '{key}'"
        if key in values:
            return TypeError, f"{op}() got multiple values for keyword argument '{key}'"
        values[key] = value
    if default is not None:
        values.setdefault(names[-1], default)
    for j in range(len(args), len(names)):
        if names[j] not in values:
            return count_error(j)
    if number is not None:
        try:
            values[number] = math.ldexp(values[number], 0)  # the host's float conversion, exactly
        except Exception as exc:  # noqa: BLE001 - the model hands back whatever the host raises
            return type(exc), str(exc)
    for name in names:
        if name != number and type(values[name]) is not str:
            return TypeError, f"Argument '{name}' has incorrect type (expected str, got {type(values[name]).__name__})"
    if op == "run_recap" and any(c in values["output_dir"] for c in "\n\r"):
        return ValueError, "line break"
    return values


def observe(engine, op, args, kwargs):
    """Calls the operation with stand-ins that stop it at the first use that
    shows its bound arguments; returns what they saw, or (type, message)."""
    seen = {}

    def get(url, headers=None, timeout=None):
        if "url=" in url:
            seen["url"] = urllib.parse.unquote(url.split("url=", 1)[1])
            return SimpleNamespace(raise_for_status=lambda: None, json=lambda: {"success": True, "id": 1,
                                                                                 "progress_url": "p"})
        return SimpleNamespace(json=lambda: {"progress": 1000, "success": True, "download_url": "http://h/f"})

    def post(url, json=None, headers=None, timeout=None):
        seen.update(text=json["text"], voice=json["voice"])
        return SimpleNamespace(status_code=200, json=lambda: {"audio_data": "SUQz"})

    def run(argv, **kwargs):
        seen["output_file"] = argv[3]  # wget -q -O <file>
        raise Seen

    def open_(path, mode, encoding=None):
        seen["segments_file" if op == "run_recap" else "output_file"] = path
        raise Seen

    def download(url, video_file):
        seen.update(youtube_url=url, output_dir=video_file[: -len("movie.mp4")])

    def recap_voice(text, output_file, voice):
        raise AssertionError("unreachable")

    engine.print = lambda *a, **k: None
    engine.requests = SimpleNamespace(get=get, post=post)
    engine.time = SimpleNamespace(sleep=lambda s: None)
    engine.subprocess = SimpleNamespace(run=run)
    engine.open = open_
    engine.os = SimpleNamespace(path=SimpleNamespace(exists=lambda p: False))
    engine._download_video = download
    engine._generate_tts = recap_voice
    try:
        result = REAL[op](*args, **kwargs)
    except Seen:
        return seen
    except Exception as exc:  # noqa: BLE001 - compared with the model
        return type(exc), str(exc)
    return seen | {"result": result}


def odd_values():
    return st.one_of(st.builds(Named, st.text(max_size=3)), st.integers(-3, 10**20), st.floats(), st.booleans(),
                     st.none(), st.binary(max_size=3), st.builds(Index, st.integers(-5, 5)), st.text(max_size=3))


@st.composite
def calls(draw):
    """Mostly well-formed calls (each parameter given once, by position or by
    keyword, in any keyword order), then one of the ways a call goes wrong."""
    op = draw(st.sampled_from(sorted(PARAMS)))
    names, required, default, number = PARAMS[op]
    good = {name: st.floats() | st.integers(-10, 10**6) if name == number else
            st.text(max_size=6) | st.sampled_from(["out\nx", "a\rb", "", "out/"]) for name in names}

    def value(name):
        return draw(odd_values() if draw(st.integers(0, 7)) == 0 else good[name])

    positional = draw(st.integers(0, len(names)))
    args = [value(name) for name in names[:positional]]
    keywords = draw(st.permutations(names[positional:]))
    if default is not None and keywords and draw(st.booleans()):
        keywords = [k for k in keywords if k != names[-1]]  # leave the default in place
    kwargs = {name: value(name) for name in keywords}
    fault = draw(st.integers(0, 9))
    if fault == 0:
        args.append(value(names[0]))
    elif fault == 1:
        kwargs[draw(st.sampled_from(["bogus", "speed", "text"]))] = value(names[0])
    elif fault == 2 and args:
        kwargs[names[draw(st.integers(0, len(args) - 1))]] = value(names[0])
    elif fault == 3 and kwargs:
        kwargs.pop(draw(st.sampled_from(sorted(kwargs))))
    elif fault == 4 and args:
        args.pop()
    return op, tuple(args), kwargs


def expected_observation(op, bound):
    if op == "_build_atempo_chain":
        return {"result": atempo_model(bound["speed"])} if not math.isinf(bound["speed"]) else (
            ValueError, "speed must be a finite number: an infinite speed has no atempo chain")
    if op == "run_recap":
        out = bound["output_dir"]
        return {"youtube_url": bound["youtube_url"], "output_dir": out + "/" if out and not out.endswith("/")
                else out, "segments_file": bound["segments_file"]}
    return {k: bound[k] for k in PARAMS[op][0]}


@PROPERTY
@given(calls())
def test_binding_matches_the_model(engine, call):
    op, args, kwargs = call
    model = bind_model(op, args, kwargs)
    seen = observe(engine, op, args, kwargs)
    if isinstance(model, dict):
        assert seen == expected_observation(op, model)
    elif model[0] is ValueError and model[1] == "line break":
        assert seen[0] is ValueError and "line break" in seen[1]
    else:
        assert seen == model


# --- tempo chain --------------------------------------------------------------

def atempo_model(speed):
    """Halve until at most 2.0; one atempo=2.0 per halving, the rest last."""
    if not speed > 2.0:
        return f"atempo={speed!r}"
    halvings = 0
    while speed / 2.0 ** halvings > 2.0:
        halvings += 1
    return "atempo=2.0," * halvings + f"atempo={speed / 2.0 ** halvings:.4f}"


@PROPERTY
@given(st.floats(min_value=0.5, max_value=1e300))
@example(35.0)  # 1.09375 printed as 1.0938: the rounding's whole half step
def test_tempo_chain_multiplies_back_within_range(engine, speed):
    chain = engine._build_atempo_chain(speed)
    assert chain == atempo_model(speed)
    factors = [float(part.removeprefix("atempo=")) for part in chain.split(",")]
    assert all(0.5 <= f <= 2.0 for f in factors) and all(p.startswith("atempo=") for p in chain.split(","))
    # Only the last factor is rounded (to four decimals).
    # Off by at most 0.5e-4 of the unrounded factor, which may lie that much below the printed one.
    assert math.prod(factors) == pytest.approx(speed, rel=0.5e-4 / (factors[-1] - 0.5e-4) + 1e-12)


# --- download address ---------------------------------------------------------

@PROPERTY
@given(st.text())
def test_download_address_is_percent_encoded(engine, url):
    requested = []

    def get(address, headers=None, timeout=None):
        requested.append(address)
        raise Seen

    engine.print = lambda *a, **k: None
    engine.requests = SimpleNamespace(get=get)
    with pytest.raises(Seen):
        engine._download_video(url, "unused.mp4")
    assert requested == [f"{service.DOWNLOAD_API_BASE}/ajax/download.php?format=1080&url="
                         + urllib.parse.quote(url, safe="")]
    assert re.fullmatch(r"[A-Za-z0-9_.~%-]*", requested[0].split("url=", 1)[1])


# --- narration prefix and decoding ----------------------------------------------

def audio_answers():
    payload = st.binary(max_size=40).map(lambda b: base64.b64encode(b).decode())
    prefix = st.one_of(st.just(""), st.just("data:audio/mpeg;base64,"),
                       st.builds("data:audio/{};base64,".format, st.text(min_size=1, max_size=8)),
                       st.sampled_from(["data:audio/;base64,", "DATA:audio/mp3;base64,", "xdata:audio/a;base64,"]))
    return st.one_of(st.builds(str.__add__, prefix, payload), st.text(max_size=20),
                     st.builds(str.__add__, payload, prefix))


def decode_model(audio_data):
    return base64.b64decode(re.sub(r"^data:audio/.+;base64,", "", audio_data))


@PROPERTY
@given(audio_answers())
def test_narration_prefix_strip_and_decode(engine, audio_data):
    engine.requests = SimpleNamespace(post=lambda *a, **k: SimpleNamespace(
        status_code=200, json=lambda: {"audio_data": audio_data}))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "voice.mp3")
        try:
            expected = decode_model(audio_data)
        except (binascii.Error, ValueError) as exc:
            with pytest.raises(type(exc)):
                engine._generate_tts("text", out, "voice")
            expected = b""  # the file is opened before the text is decoded
        else:
            engine._generate_tts("text", out, "voice")
        with open(out, "rb") as f:
            assert f.read() == expected
