"""A video's loudness and shot changes: read from a film with a loud burst
and hard cuts at known times, weighed by the suggestions (which say so),
read through a running service with --read-video, and kept with the
transcript."""

from __future__ import annotations

import json
import subprocess
import threading
import time
from pathlib import Path

import pytest

from hostile_site import Site, body
from test_transcripts import VTT, page, sentences_at, services  # noqa: F401 (the services fixture)
from vantor.transcripts.signals import SignalsCancelled, SignalsFailed, VideoSignals, read_signals
from vantor.transcripts.suggest import suggest

CUTS = (3.0, 7.0)
BURST = 9  # the loud second


@pytest.fixture(scope="module")
def film(tmp_path_factory) -> Path:
    """12 s: black, white, then a test pattern (hard cuts at CUTS); a quiet
    tone that is 30 dB louder from 9 s to 10 s."""
    path = tmp_path_factory.mktemp("film") / "film.mp4"
    subprocess.run(["ffmpeg", "-y", "-loglevel", "error",
                    "-f", "lavfi", "-i", "color=black:s=320x240:r=25:d=3",
                    "-f", "lavfi", "-i", "color=white:s=320x240:r=25:d=4",
                    "-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=5",
                    "-f", "lavfi", "-i", "sine=f=440:d=12:sample_rate=48000",
                    "-filter_complex", "[0:v][1:v][2:v]concat=n=3:v=1:a=0[v];"
                    f"[3:a]volume=0.01,volume=enable='between(t,{BURST},{BURST + 1})':volume=31.6[a]",
                    "-map", "[v]", "-map", "[a]", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                    "-movflags", "+faststart", str(path)], check=True)
    return path


def test_the_burst_and_the_cuts_are_found_within_bounds(film, tmp_path):
    told: list[float] = []
    found = read_signals(film, progress=told.append)
    assert len(found.shots) == len(CUTS) and all(abs(s - c) <= 0.5 for s, c in zip(found.shots, CUTS))
    assert max(range(len(found.loudness)), key=found.loudness.__getitem__) == BURST
    assert len(found.loudness) == 12 and told == sorted(told) and told[-1] == 1.0
    assert VideoSignals.from_json(json.loads(json.dumps(found.to_json()))).shots == found.shots
    with pytest.raises(SignalsFailed, match=r"longer than 0\.00277778 hours"):
        read_signals(film, longest=10.0)
    stop = threading.Event()
    stop.set()
    with pytest.raises(SignalsCancelled):
        read_signals(film, cancel=stop)
    silent = tmp_path / "silent.mp4"
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(film), "-an", "-c", "copy", str(silent)], check=True)
    with pytest.raises(SignalsFailed, match="needs both a picture and sound") as refused:
        read_signals(silent)
    assert "\n" not in str(refused.value)
    for hostile in ({"loudness": [float("nan")], "shots": []}, {"loudness": [], "shots": [5.0, 1.0]},
                    {"loudness": [], "shots": [-1.0]}):
        with pytest.raises(ValueError):
            VideoSignals.from_json(hostile)


def test_suggestions_weigh_a_loudness_peak_stay_within_a_shot_and_say_so():
    transcript = sentences_at(*((n * 3.0 + 0.2, n * 3.0 + 2.6, "Two words here.") for n in range(6)))
    chosen = {"count": 6, "length": 3.0, "include_ends": True}
    plain = suggest(transcript, **chosen)
    assert suggest(transcript, **chosen, loudness=None, shots=None) == plain and len(plain) == 6
    loudness = [-40.0] * 18
    loudness[9] = -34.0  # exactly a peak: 6 LU above the median
    heard = suggest(transcript, **chosen, loudness=loudness)
    assert heard[0].start < 9.0 < heard[0].end
    assert heard[0].reasons[-1] == "loudness peak 6 LU above the video's median at 00:09"
    loudness[9] = -4.0  # 36 LU: counts as two peaks' worth, no more
    assert round(suggest(transcript, **chosen, loudness=loudness)[0].score - plain[0].score, 6) == 2.0
    loudness[9] = -34.1
    assert suggest(transcript, **chosen, loudness=loudness) == plain
    # A cut inside the third sentence (6.2 s to 8.6 s) leaves it out; one at the end of the fourth
    # (11.6 s), or just past its padding, keeps it, its padding held inside its shot.
    cut = suggest(transcript, **chosen, shots=[7.9, 11.6, 12.1])
    assert [round(s.start, 1) for s in sorted(cut, key=lambda s: s.start)] == [0.0, 3.2, 8.9, 12.1, 15.2]
    fourth = next(s for s in cut if s.start == 8.9)
    assert fourth.end == 11.6 and fourth.reasons[-1] == "within one shot"


def test_read_video_through_a_running_service_then_from_the_cache(tmp_path, services, film, monkeypatch, capsys):
    import vantor
    from vantor.cli import main

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    captions = VTT + b"\n00:00:07.200 --> 00:00:10.500\nThe crowd roars as he scores.\n"
    routes = {"/p.html": body(page(True), "text/html"), "/en.vtt": body(captions, "text/vtt"),
              "/v.mp4": body(film.read_bytes())}
    with Site(routes) as site:
        url = site.base_url + "/p.html"
        assert main(["suggest", url, "--services", services, "-q", "--length", "5", "--include-ends",
                     "-o", str(tmp_path / "a")]) == 0
        assert "add --read-video" in capsys.readouterr().out and "/v.mp4" not in site.hits
        found = vantor.suggest(url, services=services, read_video=True, length=5.0, include_ends=True)
        assert found[0].reasons[-2].startswith("loudness peak") and "/v.mp4" in site.hits
        assert main(["suggest", url, "--services", services, "-q", "--read-video", "--include-ends", "--length", "5",
                     "--json"]) == 0
        assert json.loads(capsys.readouterr().out)["video_read"] is True
        hits = list(site.hits)
        assert main(["suggest", url, "--services", services, "--length", "5", "--include-ends",
                     "-o", str(tmp_path / "b")]) == 0
        assert site.hits == hits  # the words and the signals both came from the cache
    shown = capsys.readouterr()
    assert "add --read-video" not in shown.out and "reading the video" not in shown.err
    best = shown.out.splitlines()[0]  # the burst outweighs the denser speech; the range starts with its shot
    assert best.startswith("1. 00:00:07.000 - 00:00:11.200") and best.endswith("at 00:09; within one shot")
    with pytest.raises(TypeError, match="suggest: read_video must be a bool"):
        vantor.suggest("http://x", read_video=1)


def test_the_studio_weighs_the_signals_kept_with_a_transcript(tmp_path, monkeypatch):
    from vantor.studio.events import Activities
    from vantor.studio.transcript_bridge import Transcripts
    from vantor.transcripts.store import StoredTranscript, TranscriptStore

    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path))
    words = sentences_at((0.5, 8.0, "Kept words."))
    read = VideoSignals((-30.0, -20.0), (0.2,))
    TranscriptStore().put("http://site.test/kept", None, StoredTranscript(words, 8.0, None, read))
    studio = Transcripts(Activities(), "http://127.0.0.1:9", lambda url, **_: words, suggest)
    for url, reasons in (("http://site.test/kept", ["within one shot"]), ("http://site.test/new", [])):
        activity = studio.start(url)
        for _ in range(3000):
            if activity.ended:
                break
            time.sleep(0.01)
        assert studio.suggestions({"id": activity.id, "include_ends": True})[0]["reasons"][2:] == reasons
