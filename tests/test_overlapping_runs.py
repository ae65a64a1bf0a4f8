"""Two recaps overlapping in one process, in the order A starts, B starts,
A ends, B ends: A on the local services (real download through yt-dlp, real
narration), B on the scripted stand-ins bound for its own thread only. Each
run's requests go to its own services, both results are right, and nothing
process-wide is left changed."""

from __future__ import annotations

import sys
import threading

import pytest

import vantor
from standins import serve
from vantor.demo.video_site import VideoSite

pytestmark = pytest.mark.slow

A_SEGMENTS = [{"start": "1", "end": "3", "voiceover": "Run A speaks first."}]
B_SEGMENTS = [{"start": "2", "end": "3", "voiceover": "b one"}, {"start": "5", "end": "6", "voiceover": "b two"},
              {"start": "8", "end": "9", "voiceover": "b three"}]
B_URL = "https://www.youtube.com/watch?v=run-b"


def test_two_runs_overlap_each_with_its_own_services(engine, source_video, tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    before = {name: vars(engine)[name] for name in ("requests", "_download_video", "print", "time", "subprocess")
              if name in vars(engine)}
    stdout = sys.stdout
    a_started, b_started, a_ended = threading.Event(), threading.Event(), threading.Event()
    order, results, errors = [], {}, []

    def a_events(event):
        if event.kind == "stage" and event.text == "engine":
            order.append("A starts")
            a_started.set()
            assert b_started.wait(120)

    def b_events(event):
        if event.kind == "stage" and event.text == "engine":
            order.append("B starts")
            b_started.set()
            assert a_ended.wait(300)

    def run_a(page):
        try:
            results["a"] = vantor.make_recap(page, A_SEGMENTS, voice="en-US-GuyNeural", speed=1.0,
                                             output_dir=tmp_path / "a", mkdir=True, quiet=True, services="local",
                                             on_event=a_events)
            order.append("A ends")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(("a", error))
        finally:
            a_started.set()
            a_ended.set()

    def run_b(router):
        try:
            assert a_started.wait(300)
            with vantor.engine_run(requests=router):  # B's stand-ins, for B's thread only
                results["b"] = vantor.make_recap(B_URL, B_SEGMENTS, voice="v", speed=1.0,
                                                 output_dir=tmp_path / "b", mkdir=True, quiet=True,
                                                 services="configured", on_event=b_events)
            order.append("B ends")
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(("b", error))
        finally:
            b_started.set()

    with VideoSite(tmp_path / "www") as site, serve(source_video) as (download, speech, router):
        page = site.publish(source_video, "film-a")[0]
        threads = [threading.Thread(target=run_a, args=(page,)), threading.Thread(target=run_b, args=(router,))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(600)
        stand_in_downloads = list(download.jobs.values())
        stand_in_narrations = len(speech.requests)

    assert errors == [] and order == ["A starts", "B starts", "A ends", "B ends"]
    a, b = results["a"], results["b"]
    assert 0.8 < a.horizontal_duration <= 2.1 and a.segments == 1  # the clip, or the narration where shorter
    assert 2.0 < b.horizontal_duration <= 3.1 and b.segments == 3  # three clips of at most 1 s joined
    # B's requests, and only B's, reached the stand-ins; A's went to its local services.
    assert stand_in_downloads == [B_URL] and stand_in_narrations == 3
    assert len(list((tmp_path / "cache" / "speech").glob("*.mp3"))) == 1
    assert all(vars(engine)[name] is value for name, value in before.items()) and sys.stdout is stdout
    assert dict(vantor.bindings.current_bindings()) == {}
