"""Leak check for every operation, on its success path and on each way it
fails: after warming up, a batch of calls must leave behind neither objects
(counted by type over gc.get_objects(), after gc.collect()) nor allocated
blocks (sys.getallocatedblocks()). Growth is reported per type.

Everything outside the engine is a quiet in-process stand-in, so a batch
takes milliseconds and only the engine's own references are measured."""

from __future__ import annotations

import collections
import gc
import math
import subprocess
import sys
from types import SimpleNamespace

import pytest

import vantor.vantor as engine_module

ROUNDS = 100
REAL = {name: getattr(engine_module, name) for name in ("_download_video", "_generate_tts", "_build_atempo_chain",
                                                         "run_recap")}
FTYP = b"\x00\x00\x00\x10ftypisom\x00\x00\x02\x00"
WHOLE_MP4 = FTYP + b"\x00\x00\x00\x08moov"
NO_INDEX_MP4 = FTYP + b"\x00\x00\x00\x00mdat" + b"\x00" * 64


def object_counts():
    return collections.Counter(type(o).__qualname__ for o in gc.get_objects())


def leftovers(call):
    """(blocks, {type: count}) left by ROUNDS calls, the quietest of three
    batches after two warm-up batches have filled the caches."""

    def batch():
        for _ in range(ROUNDS):
            try:
                call()
            except Exception:  # noqa: BLE001 - failure paths are measured too
                pass

    batch()
    batch()  # some caches (file system names, codecs) fill over a few hundred calls
    batches = []
    for _ in range(3):
        gc.collect()
        counts, blocks = object_counts(), sys.getallocatedblocks()
        batch()
        gc.collect()
        blocks_after, grown = sys.getallocatedblocks(), object_counts() - counts
        batches.append((blocks_after - blocks, dict(grown)))
    return min(batches, key=lambda b: b[0] + sum(b[1].values()))


class World:
    """Stand-ins for the services, the tools and the pauses, switchable to
    each failure a path needs."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.status, self.audio, self.job, self.download_url = 200, "data:audio/mpeg;base64,SUQz", True, "http://h/f"
        self.tool_status, self.tool_output, self.progress = 0, WHOLE_MP4, 1000

    def answer(self, data, status=200):
        def raise_for_status():
            if status >= 400:
                raise ConnectionError(f"HTTP {status}")

        return SimpleNamespace(status_code=status, json=lambda: data, raise_for_status=raise_for_status)

    def get(self, url, headers=None, timeout=None):
        if "url=" in url:
            return self.answer({"success": self.job, "id": 7, "progress_url": "p"}, self.status)
        return self.answer({"progress": self.progress, "success": True, "download_url": self.download_url})

    def post(self, url, json=None, headers=None, timeout=None):
        return self.answer({"audio_data": self.audio}, self.status)

    def run(self, argv, check=False, capture_output=False):
        if self.tool_status != 0 and check:
            raise subprocess.CalledProcessError(self.tool_status, argv)
        if argv[0] == "ffmpeg":
            with open(argv[-1], "wb") as f:
                f.write(self.tool_output)
        return SimpleNamespace(returncode=self.tool_status)

    def install(self, engine):
        engine.print = lambda *a, **k: None
        engine.requests = SimpleNamespace(get=self.get, post=self.post)
        engine.subprocess = SimpleNamespace(run=self.run)
        engine.time = SimpleNamespace(sleep=lambda seconds: None)
        engine._download_video = lambda url, output_file: None
        engine._generate_tts = REAL["_generate_tts"]
        return self


def segments(tmp_path, text):
    path = tmp_path / "segments.json"
    path.write_text(text, encoding="utf-8")
    return str(path)


ONE = '[{"start": "1", "end": "2", "voiceover": "hi"}]'


def path_cases():
    """(id, how to set the world up, call) for each path of each operation."""
    dl = lambda w: REAL["_download_video"]("https://youtu.be/x", str(w.tmp / "movie.mp4"))  # noqa: E731
    tts = lambda w: REAL["_generate_tts"]("hi", str(w.tmp / "voice.mp3"), "Brian")  # noqa: E731
    recap = lambda w, text=ONE, out=None: REAL["run_recap"](  # noqa: E731
        "https://youtu.be/x", segments(w.tmp, text), 1.5, "Brian", out if out is not None else str(w.tmp))

    def world(**changes):
        return lambda w: w.__dict__.update(changes)

    return [
        ("chain-ok", world(), lambda w: REAL["_build_atempo_chain"](3.3)),
        ("chain-infinite", world(), lambda w: REAL["_build_atempo_chain"](math.inf)),
        ("chain-not-a-number", world(), lambda w: REAL["_build_atempo_chain"]("3")),
        ("download-ok", world(), dl),
        ("download-http-error", world(status=503), dl),
        ("download-refused-job", world(job=False), dl),
        ("download-timeout", world(progress=10), dl),
        ("download-unsafe-address", world(download_url="-e x"), dl),
        ("download-wget-fails", world(tool_status=8), dl),
        ("download-binding", world(), lambda w: REAL["_download_video"]("u", output_file=3)),
        ("tts-ok", world(), tts),
        ("tts-status", world(status=500), tts),
        ("tts-bad-base64", world(audio="data:audio/mpeg;base64,SUQ"), tts),
        ("tts-no-audio", world(audio=None), tts),
        ("tts-unwritable", world(), lambda w: REAL["_generate_tts"]("hi", str(w.tmp), "Brian")),
        ("recap-ok", world(), recap),
        ("recap-two-segments-relative-ffmpeg-path", world(), lambda w: recap(w, ONE[:-1] + "," + ONE[1:], "-out")),
        ("recap-line-break", world(), lambda w: recap(w, ONE, "a\nb")),
        ("recap-no-segments-file", world(), lambda w: REAL["run_recap"]("u", str(w.tmp / "none.json"), 1.5, "v",
                                                                       str(w.tmp))),
        ("recap-bad-json", world(), lambda w: recap(w, "[{")),
        ("recap-missing-member", world(), lambda w: recap(w, '[{"start": "1"}]')),
        ("recap-tool-fails", world(tool_status=1), recap),
        ("recap-incomplete-mp4", world(tool_output=NO_INDEX_MP4), recap),
        ("recap-tts-fails", world(status=500), recap),
    ]


CASES = path_cases()
# How each path ends, so that a case cannot drift onto another path unnoticed.
ENDS = {"chain-infinite": "ValueError", "chain-not-a-number": "TypeError", "download-http-error": "ConnectionError",
        "download-refused-job": "Exception", "download-timeout": "Exception", "download-unsafe-address": "Exception",
        "download-wget-fails": "CalledProcessError", "download-binding": "TypeError", "tts-status": "Exception",
        "tts-bad-base64": "Error", "tts-no-audio": "TypeError", "tts-unwritable": "IsADirectoryError",
        "recap-line-break": "ValueError", "recap-no-segments-file": "FileNotFoundError",
        "recap-bad-json": "JSONDecodeError", "recap-missing-member": "KeyError",
        "recap-tool-fails": "CalledProcessError", "recap-incomplete-mp4": "OSError", "recap-tts-fails": "Exception"}


def ending(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - compared by name
        return type(exc).__name__
    return "returned"


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_no_growth_per_path(engine, tmp_path, monkeypatch, case):
    _, setup, call = case
    monkeypatch.chdir(tmp_path)
    (tmp_path / "-out").mkdir()
    w = World(tmp_path).install(engine)
    setup(w)
    assert ending(lambda: call(w)) == ENDS.get(case[0], "returned")
    blocks, grown = leftovers(lambda: call(w))
    # One object or block kept per call would show as ROUNDS or more.
    assert blocks < ROUNDS // 2 and all(n < ROUNDS // 4 for n in grown.values()), (blocks, grown)
