"""Two threads recap side by side in one process: the engine keeps no state
between or across calls, and the interpreter lock is let go while the
outside programs run, so both finish with their own correct results."""

from __future__ import annotations

import contextlib
import io
import json
import os
import threading
import time

import pytest

from test_recap_run import OUTPUTS, probe


@pytest.mark.slow
def test_two_recaps_in_parallel_threads(engine, fake_services, tmp_path):
    plans = {  # output directory -> segments; different lengths tell the results apart
        "one": [{"start": "1", "end": "2", "voiceover": "a"}],
        "two": [{"start": "3", "end": "4", "voiceover": "b"}, {"start": "6", "end": "7", "voiceover": "c"}],
    }
    results, errors, spans = {}, [], {}
    start = threading.Barrier(len(plans))

    def recap(name):
        out = tmp_path / name
        out.mkdir()
        seg_file = tmp_path / f"{name}.json"
        seg_file.write_text(json.dumps(plans[name]), encoding="utf-8")
        start.wait()
        began = time.monotonic()
        try:
            results[name] = engine.run_recap("https://youtu.be/t", str(seg_file), 1.0, "voice", str(out))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append((name, exc))
        spans[name] = (began, time.monotonic())

    with contextlib.redirect_stdout(io.StringIO()):
        threads = [threading.Thread(target=recap, args=(name,)) for name in plans]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    assert errors == [] and not any(thread.is_alive() for thread in threads)
    (a_start, a_end), (b_start, b_end) = spans.values()
    assert a_start < b_end and b_start < a_end  # the two runs overlapped in time
    for name, segments in plans.items():
        out = tmp_path / name
        assert results[name] == f"{out}/FINAL_RECAP.mp4" and sorted(os.listdir(out)) == OUTPUTS
        _, seconds = probe(out / "horizontal_final.mp4")
        assert seconds == pytest.approx(1.0 * len(segments), abs=0.4)  # each run joined its own clips
    narrations = [call[2] for call in fake_services if call[0] == "tts"]
    assert sorted(os.path.basename(os.path.dirname(p)) for p in narrations) == ["one", "two", "two"]
