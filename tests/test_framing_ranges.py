"""Each range framed on its own: a range cut to its own subject from its
first frame, one range's chain read as its own input, its analysis made
beside the cuts, and a recap of a hundred ranges whose path no ffmpeg
expression limit stops."""

from __future__ import annotations

import subprocess
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from vantor.demo.video_site import VideoSite
from vantor.recap.api import make_recap
from vantor.recap.framing.frame_step import FramePlan
from vantor.recap.engine.steps import Cut
from vantor.recap.timeline.join_step import RecapJoin
from vantor.recap.timeline.model import RangeTime, Timeline
from vantor.runner import Runner

# One steady shot: the white box wanders at the left for 4 s, then at the right.
LEFT_THEN_RIGHT = "[0][1]overlay=x='if(lt(t,4),60,520)+30*sin(2*t)':y=130:shortest=1"


def make_film(path: Path, overlay: str, seconds: float, size: str = "640x360") -> Path:
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=c=0x203040:s={size}:r=25:d={seconds}",
                    "-f", "lavfi", "-i", f"color=c=white:s=60x100:r=25:d={seconds}", "-filter_complex", overlay,
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "50", str(path)],
                   check=True)
    return path


def white_frames(video: Path, size: tuple[int, int] = (108, 192)) -> np.ndarray:
    """Per frame: the subject's white box, most of it, in the picture."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(video), "-vf", f"scale={size[0]}:{size[1]}", "-f",
                          "rawvideo", "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
    frames = np.frombuffer(raw, np.uint8).reshape(-1, size[1], size[0])
    return (frames > 200).sum(axis=(1, 2)) >= 20


@pytest.mark.slow
def test_two_ranges_of_one_shot_each_cut_to_its_subject_from_the_first_frame(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    film = make_film(tmp_path / "film.mp4", LEFT_THEN_RIGHT, 8)
    segments = [{"start": "0.5", "end": "3.5", "voiceover": "A box on the left."},
                {"start": "4.5", "end": "7.5", "voiceover": "Now it is on the right."}]
    with VideoSite(tmp_path / "www") as site:
        made = make_recap(site.publish(film, "film")[0], segments, voice="en-us", output_dir=tmp_path / "out",
                          mkdir=True, services="local", quiet=True, frame="smart")
    seen = white_frames(made.final)
    assert seen.size > 100 and seen.all(), np.flatnonzero(~seen)  # every frame, the join's first included


def test_one_ranges_chain_read_as_its_own_input_frames_its_subject_and_keys_it_in_source_pixels(tmp_path):
    film = str(make_film(tmp_path / "film.mp4", LEFT_THEN_RIGHT, 8, size="1280x720"))
    plan = FramePlan("smart", "9:16", say=lambda line: None, cache_dir=tmp_path / "cache")
    started: list[str] = []
    plan.runner = Runner(start_child=lambda argv, *a, **k: started.append(argv[0]) or subprocess.Popen(argv, *a, **k))
    ranges = [RangeTime(1, 1.0, 3.0, 0.0, 2.0), RangeTime(2, 4.5, 6.5, 2.0, 4.0)]
    for rng in ranges:
        plan.cut(Cut([], rng.number - 1, film, "clip.mp4", str(rng.source_in), str(rng.source_out)), [])
    inputs = [arg for rng in ranges for arg in ("-ss", str(rng.source_in), "-t", "2", "-i", film)]
    graph = ";".join(plan.range_chain(rng, f"{rng.number - 1}:v", f"r{rng.number}") for rng in ranges)
    out = tmp_path / "joined.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, "-filter_complex", f"{graph};[r1][r2]concat=n=2",
                    "-c:v", "libx264", "-preset", "ultrafast", str(out)], check=True)
    seen = white_frames(out)
    assert seen.size >= 100 and seen.all(), np.flatnonzero(~seen)
    left, right = (plan.crop_keys(rng) for rng in ranges)
    assert started == ["ffprobe", "ffmpeg", "ffmpeg"]  # the picture probed once, a decoder per range
    assert left[0].time == 0 and right[0].time == 0  # each range's path starts at its own first frame
    assert (left[0].width, left[0].height) == (405, 720)  # the 9:16 window of a 1280x720 picture
    # The box (60 wide, wandering 30 either side) at 60 in the first range, at 520 in the second.
    assert left[0].x <= 30 and left[0].x + left[0].width >= 150
    assert right[0].x <= 490 and right[0].x + right[0].width >= 610 and right[0].x > 100
    assert all(0 <= key.x <= 1280 - key.width for key in (*left, *right))
    # The conversion hands the run's timeline each range's crop.
    join = RecapJoin(Timeline(film, 1280, 720, (25, 1), 1.0, 1080, 1920, tuple(ranges)), ["a.mp4", "b.mp4"],
                     [1.0, 4.5], "recap.mp4", "joined.mp4", "libx264", "atempo=1.0")
    plan.conversion(None, join)  # type: ignore[arg-type]  # the step is not read
    assert [rng.crop for rng in join.timeline.ranges] == [left, right]


def test_each_smart_range_is_analysed_beside_the_cuts_and_the_conversion_takes_it(tmp_path):
    film = str(make_film(tmp_path / "film.mp4", LEFT_THEN_RIGHT, 8, size="1280x720"))
    ranges = (RangeTime(1, 1.0, 3.0, 0.0, 2.0), RangeTime(2, 4.5, 6.5, 2.0, 4.0), RangeTime(3, 6.0, 7.5, 4.0, 5.5))
    timeline = Timeline(film, 1280, 720, (25, 1), 1.0, 1080, 1920, ranges)
    said: list[str] = []
    started: list[tuple[str, subprocess.Popen[bytes]]] = []

    def cut_by(cache: str, frames: list[object], timeline_known: bool = True, decoder: list[str] | None = None):
        def start(argv, *args, **kwargs):
            child = subprocess.Popen(decoder or argv, *args, **kwargs)
            started.append((threading.current_thread().name, child))
            return child

        plan = FramePlan("smart", "9:16", say=said.append, cache_dir=tmp_path / cache, range_frames=lambda: frames)
        if timeline_known:
            plan.timeline = SimpleNamespace(current=timeline)  # type: ignore[assignment]  # only `current` is read
        plan.runner = Runner(start_child=start)
        for rng in ranges:
            plan.cut(Cut([], rng.number - 1, film, "clip.mp4", str(rng.source_in), str(rng.source_out)), [])
        return plan

    beside = cut_by("beside", [None, "left", "auto"])  # range 2 has its own crop: nothing to analyse
    keys = [rng.crop for rng in beside.framed(timeline).ranges]  # as the conversion asks
    beside.stop()
    assert [name.startswith("vantor-framing") for name, _ in started] == [True, True]
    assert said == ["vantor: smart framing: analysing 3 range(s)"]
    said.clear()
    after = cut_by("after", [None, "left", "auto"], timeline_known=False)  # analysed at the conversion
    assert [rng.crop for rng in after.framed(timeline).ranges] == keys and keys[0] and keys[2]
    assert len(started) == 4 and len(said) == 1
    # A run that ends before its conversion stops the analyses it started: a decoder that
    # would run on is killed, and none starts after it.
    started.clear()
    stopped = cut_by("stopped", [], decoder=["sleep", "30"])
    while not started:
        time.sleep(0.01)
    begun = time.monotonic()
    stopped.stop()
    assert time.monotonic() - begun < 5 and len(started) == 1 and started[0][1].poll() is not None


@pytest.mark.slow
def test_a_recap_of_a_hundred_short_ranges_with_smart_framing(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    # The box jumps side to side every second: a move the camera follows in every range.
    film = make_film(tmp_path / "film.mp4", "[0][1]overlay=x='if(mod(floor(t),2),230,30)+10*sin(3*t)':y=40:"
                     "shortest=1", 101, size="320x180")
    segments = [{"start": f"{n}.1", "end": f"{n}.9", "voiceover": "Go."} for n in range(100)]
    with VideoSite(tmp_path / "www") as site:
        made = make_recap(site.publish(film, "film")[0], segments, voice="en-us", output_dir=tmp_path / "out",
                          mkdir=True, services="local", quiet=True, frame="smart")
    seen = white_frames(made.final)
    assert seen.size >= 100 * 0.8 * 25 * 0.9 and seen.mean() >= 0.97
