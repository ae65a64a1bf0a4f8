"""Fuzzed segments files through whole runs: every file either makes a recap
or ends the run with an ordinary exception; none crashes the interpreter,
hangs, or surfaces as SystemError (an error set without being raised, or
raised without being set).

The cases come from a fixed seed. VANTOR_FUZZ_CASES (default 300) sets how
many, VANTOR_FUZZ_SEED the seed, e.g.
    VANTOR_FUZZ_CASES=5000 .venv/bin/python -m pytest tests/test_segments_fuzz.py
The narration client is the real one against a stand-in answer; ffmpeg is
replaced by `true` given the same argument vector, so the process layer
still judges every argument."""

from __future__ import annotations

import collections
import contextlib
import faulthandler
import io
import json
import os
import random
import subprocess
import sys
from types import SimpleNamespace

import vantor.vantor as engine_module

CASES = int(os.environ.get("VANTOR_FUZZ_CASES", "300"))
SEED = int(os.environ.get("VANTOR_FUZZ_SEED", "20261208"))
REAL_TTS = engine_module._generate_tts

TEXTS = ["", "0", "1.5", "00:00:01", "-1", "1e400", "\u2192", "\x00", "a\x00b", "\ud800", "\U0001F3AC", "'", "\n",
         "-i", "pipe:1", "%s%n", "x" * 70000]
NUMBERS = ["0", "-0", "1e400", "-1e400", "1" + "0" * 5000, "123456789012345678901234567890", "NaN", "Infinity",
           "1.5", "-7"]


def scalar(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return json.dumps(rng.choice(TEXTS))
    if kind == 1:
        return rng.choice(NUMBERS)
    if kind == 2:
        return rng.choice(["null", "true", "false", "[]", "{}", '[""]', '{"start": "1"}'])
    if kind == 3:
        return json.dumps("".join(chr(rng.randrange(0x20, 0x2FFF)) for _ in range(rng.randrange(12))))
    return json.dumps(f"{rng.randrange(12)}.{rng.randrange(10)}")


def segment(rng):
    members = []
    for name in ("start", "end", "voiceover", "start", "extra"):
        roll = rng.random()
        if roll < 0.12:
            continue  # missing
        value = json.dumps(f"{rng.randrange(10)}") if roll < 0.55 and name != "extra" else scalar(rng)
        members.append(f"{json.dumps(name)}: {value}")
    return "{" + ", ".join(members[:4] if rng.random() < 0.8 else members) + "}"


def document(rng):
    kind = rng.randrange(10)
    if kind == 0:  # deep nesting
        depth = rng.choice([50, 1000, 100_000])
        return ("[" * depth + "]" * depth).encode()
    if kind == 1:  # not an array of objects
        return rng.choice(["{}", '{"start": "1", "end": "2", "voiceover": "x"}', '"segments"', "7", "null",
                           "[1, 2]", '["a"]', "[[]]", "[null]", "[true]", ""]).encode()
    text = "[" + ", ".join(segment(rng) for _ in range(rng.randrange(4))) + "]"
    data = text.encode("utf-8", "surrogatepass")
    if kind == 2:
        data = b"\xef\xbb\xbf" + data  # byte order mark
    elif kind == 3 and data:  # stray bytes: invalid UTF-8, raw NULs, control bytes
        at = rng.randrange(len(data))
        data = data[:at] + bytes([rng.choice([0x00, 0x80, 0xC3, 0xFF, 0x0A, 0x22])]) + data[at:]
    elif kind == 4:
        data = data[: rng.randrange(len(data) + 1)]  # cut short
    return data


def true_instead_of_ffmpeg(argv, **kwargs):
    kwargs.pop("check", None)
    done = subprocess.run(["true", *argv[1:]], **kwargs)
    return done if "capture_output" in kwargs else None


def run_case(engine, path, out):
    out.mkdir(exist_ok=True)
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            engine.run_recap("https://youtu.be/fuzz", str(path), 1.5, "voice", str(out))
        except SystemError:
            raise
        except Exception as exc:  # noqa: BLE001 - any ordinary exception is an acceptable end
            return type(exc).__name__
    return "completed"


def test_fuzzed_segments_files(engine, tmp_path):
    answer = SimpleNamespace(status_code=200, json=lambda: {"audio_data": "data:audio/mpeg;base64,SUQz"})
    engine.requests = SimpleNamespace(post=lambda *a, **k: answer)
    engine._download_video = lambda url, output_file: None
    engine._generate_tts = REAL_TTS
    engine.subprocess = SimpleNamespace(run=true_instead_of_ffmpeg)
    engine.time = SimpleNamespace(sleep=lambda seconds: None)

    rng = random.Random(SEED)
    outcomes: collections.Counter[str] = collections.Counter()
    faulthandler.dump_traceback_later(max(120, CASES // 2), exit=True)  # a hang ends the run with a trace
    try:
        for case in range(CASES):
            path = tmp_path / "segments.json"
            path.write_bytes(document(rng))
            try:
                outcomes[run_case(engine, path, tmp_path / "out")] += 1
            except SystemError as exc:
                raise AssertionError(f"case {case} (seed {SEED}): SystemError {exc}; file {path.read_bytes()[:200]!r}")
    finally:
        faulthandler.cancel_dump_traceback_later()
    print(dict(outcomes), file=sys.stderr)
    # The generator reaches every stage: whole runs and each kind of refusal.
    assert outcomes["completed"] > CASES // 10, outcomes
    assert {"KeyError", "TypeError", "JSONDecodeError", "UnicodeDecodeError"} <= set(outcomes), outcomes
