"""Ranges joined to the frame: a film that flashes white and beeps at the
same instant every second, its key frames 3 s apart and every range
starting between two of them, recapped with its own sound kept. Every flash
keeps its beep at every join, none is lost or doubled, and the joined
file's frames are evenly spaced. Captions leave with their words."""

from __future__ import annotations

import re
import subprocess

import numpy as np
import pytest
from flash_film import FLASHES, RANGES, RATE, SYNC, beep_onsets, ffmpeg, flash_film, flash_onsets, frames

from vantor.recap.api import make_recap
from vantor.recap.captions.cues import LINGER, timeline_cues
from vantor.recap.timeline.model import Timeline
from vantor.recap.timeline.timeline_plan import SourcePicture, frame_span, plan_timeline
from vantor.services.narration_timing import NarrationTiming, WordTiming


@pytest.fixture(scope="module")
def recaps(tmp_path_factory):
    from vantor.demo.video_site import VideoSite

    root = tmp_path_factory.mktemp("exact")
    films = {1.0: flash_film(root / "flash.mp4", 1),
             # At 1.5x the recap keeps the source's rate, showing two of each three frames: a flash of two frames
             # always shows.
             1.5: flash_film(root / "flash2.mp4", 2)}
    # Narrations without hissed sounds, whose hiss would reach the beep's band.
    segments = [{"start": s, "end": e, "voiceover": text} for (s, e), text in zip(RANGES, ("One.", "No.", "Low."))]
    made: dict[object, object] = {"events": []}
    with VideoSite(root / "www") as site:
        for speed, film in films.items():
            page = site.publish(film, f"film{speed}")[0]
            made[speed] = make_recap(page, segments, voice="en-us", speed=speed, output_dir=root / str(speed),
                                     mkdir=True, services="local", quiet=True, source_audio="mix", fit="range",
                                     frame="center", on_event=made["events"].append if speed == 1.0 else None)
        page = site.publish(films[1.0], "talk")[0]
        made["captions"] = make_recap(page, [{"start": "1.5", "end": "9", "voiceover": "Short words."}],
                                      voice="en-us", speed=1.0, output_dir=root / "captions", mkdir=True,
                                      services="local", quiet=True, source_audio="off", fit="extend",
                                      captions="files", frame="center")
    return made


@pytest.mark.slow
@pytest.mark.parametrize("speed", [1.0, 1.5])
def test_every_flash_keeps_its_beep_across_the_joins(recaps, speed):
    made = recaps[speed]
    for video in (made.horizontal, made.final):
        flashes, beeps = flash_onsets(video), beep_onsets(video)
        assert len(flashes) == FLASHES and len(beeps) == FLASHES, (video, flashes, beeps)
        drift = [abs(f - b) for f, b in zip(flashes, beeps)]
        assert max(drift) <= SYNC, (video, flashes, beeps)
    # The joined file: every range's whole frames, none from before a range, evenly spaced.
    shown = [t for t, _ in frames(made.horizontal)]
    expected = sum(frame_span(SourcePicture("", 0, 0, (RATE, 1), 0.0, 14.0), float(s), float(e))[1]
                   - frame_span(SourcePicture("", 0, 0, (RATE, 1), 0.0, 14.0), float(s), float(e))[0]
                   for s, e in RANGES)
    assert len(shown) == expected == 75 + 78 + 80
    assert np.allclose(np.diff(shown), 1 / RATE, atol=1e-3)


@pytest.mark.slow
def test_the_runs_events_carry_its_planned_and_final_timeline_and_the_verbose_view_reads_it(recaps):
    from vantor.recap.engine.progress_view import ProgressView

    told = [event for event in recaps["events"] if event.kind == "timeline"]
    assert [event.text for event in told] == ["planned", "final"]
    picture = SourcePicture("", 0, 0, (RATE, 1), 0.0, 14.0)
    for timeline in (event.data for event in told):
        spans = [frame_span(picture, float(s), float(e)) for s, e in RANGES]
        assert [t for r in timeline.ranges for t in (r.source_in, r.source_out)] == pytest.approx(
            [n / RATE for span in spans for n in span], abs=1e-9)  # exact frame times
        assert timeline.duration == pytest.approx((75 + 78 + 80) / RATE, abs=1e-9)
    view = ProgressView(None, verbose=True)
    view.on_event(told[-1])
    at = (spans[0][1] - spans[0][0]) / RATE
    assert view.lines[2] == (f"    range 2: {at:.2f}-{at + (spans[1][1] - spans[1][0]) / RATE:.2f} s of the recap, "
                             f"from {spans[1][0] / RATE:.2f} s of the film")


@pytest.mark.slow
def test_a_caption_leaves_with_its_last_word_when_the_clip_plays_on(recaps):
    made = recaps["captions"]
    ends = [b for _, b in re.findall(r"(\S+) --> (\S+)", made.final.with_suffix(".srt").read_text())]
    h, m, s = ends[-1].replace(",", ".").split(":")
    last_cue = int(h) * 3600 + int(m) * 60 + float(s)
    raw = ffmpeg("-i", str(made.final), "-vn", "-ac", "1", "-ar", "8000", "-f", "s16le", "-").stdout
    heard = np.nonzero(np.abs(np.frombuffer(raw, np.int16)) > 300)[0]
    spoken_until = float(heard[-1]) / 8000
    assert spoken_until < 3.0 < 7.0 < float(subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", str(made.final)],
        capture_output=True, text=True).stdout)  # a short narration over a long range
    assert last_cue <= spoken_until + LINGER + 0.05


def test_ranges_hold_whole_frames_and_captions_stay_in_their_range():
    source = SourcePicture("film.mp4", 160, 90, (25, 1), 0.0, 20.0)
    # A start on a frame keeps that frame; one just past it starts on the next; the end frame is left out.
    assert frame_span(source, 2.0, 3.0) == (50, 75)
    assert frame_span(source, 2.0001, 3.0001) == (51, 76)
    assert frame_span(source, 2.0, 2.01) == (50, 51)  # a range shorter than a frame still holds one
    assert frame_span(SourcePicture("f", 1, 1, (30000, 1001), 0.0, 9.0), 1.0, 2.0) == (30, 60)
    word = NarrationTiming(0.6, (WordTiming("Hi.", 0.1, 0.5),), "t")
    later = NarrationTiming(0.6, (WordTiming("Bye.", 0.0, 0.4),), "t")
    timeline = plan_timeline(source, [(1.0, 9.0), (12.0, 13.0)], speed=2.0, fit="extend", timings=[word, later])
    first, second = timeline.ranges
    assert (first.source_in, first.source_out, first.recap_out) == (1.0, 9.0, 4.0)
    assert second.recap_in == first.recap_out and second.narration is not None
    assert second.narration.words[0].start == pytest.approx(4.0)
    assert Timeline.from_json(timeline.to_json()) == timeline  # as a kept working folder's timeline.json holds it
    cues = timeline_cues([word, later], timeline)
    assert cues[0].end == pytest.approx(0.25 + LINGER)  # not held over the 3.5 s silent tail
    assert cues[1].start == pytest.approx(4.0) and cues[1].end <= second.recap_out
