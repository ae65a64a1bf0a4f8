"""Framing: the smart camera path's bounds (dead zone, speed, cuts), the
subject choice, every aspect's size, the whole picture kept by blur and fit,
and recaps whose crop follows a subject in the left third, analysed once."""

from __future__ import annotations

import os
import json
import stat
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from vantor.batch.jobs import job_from_mapping
from vantor.demo.video_site import VideoSite
from vantor.recap.framing import frame_analysis
from vantor.recap.api import make_recap
from vantor.recap.framing.modes import (ASPECTS, DEAD_ZONE, MAX_STEP_PX, Sample, camera_path, evaluate, framing_filter,
                                  path_expression)

FPS, SCALED, CROP = 25.0, 3413.0, 1080.0


def path_px(subjects, shots=None, speed=1.0):
    samples = [Sample(i / 4, (shots or [0] * len(subjects))[i], s) for i, s in enumerate(subjects)]
    keys = camera_path(samples, scaled_width=SCALED, crop_width=CROP, speed=speed, fps=FPS)
    frames = np.arange(0, samples[-1].time / speed, 1 / FPS)
    return np.array([evaluate(keys, t) * SCALED for t in frames]), keys


def test_camera_holds_in_the_dead_zone_moves_bounded_and_cuts_at_a_shot_change():
    wobble = 0.5 + (DEAD_ZONE * CROP - 10) / SCALED * np.sin(np.arange(40))
    held, _ = path_px(list(wobble))
    assert np.ptp(held) < 1e-6  # the subject never leaves the dead zone: not a pixel of jitter
    for speed in (1.0, 2.0):
        moved, _ = path_px([0.5] * 4 + [0.8] * 60, speed=speed)
        steps = np.abs(np.diff(moved))
        assert steps.max() <= MAX_STEP_PX + 1e-6 and steps.max() > MAX_STEP_PX - 1  # bounded, and at the bound
        assert abs(moved[-1] - 0.8 * SCALED) <= DEAD_ZONE * CROP + 1  # it got there
    cut, keys = path_px([0.15] * 20 + [0.85] * 20, shots=[0] * 20 + [1] * 20)
    at = int(5 * FPS)  # the shot change at 5 s: the next frame is on the new subject
    assert cut[at - 1] == pytest.approx(CROP / 2) and cut[at + 1] == pytest.approx(SCALED - CROP / 2)
    step = path_expression(keys)  # a step, not a ramp
    assert expression_at(step, 4.999) == pytest.approx(keys[0][1], abs=1e-5)
    assert expression_at(step, 5.0) == pytest.approx(keys[-1][1], abs=1e-5)


FUNCTIONS = {"lt": lambda a, b: float(a < b), "gte": lambda a, b: float(a >= b),
             "between": lambda x, a, b: float(a <= x <= b), "clip": lambda x, a, b: min(max(x, a), b),
             "iff": lambda c, a, b: a if c else b}


def expression_at(expression: str | object, t: float) -> float:
    """An ffmpeg expression of `t` as ffmpeg evaluates it (the functions the framing writes);
    `expression` may be compiled once by `compiled`."""
    code = compiled(expression) if isinstance(expression, str) else expression
    return eval(code, {"__builtins__": {}}, {**FUNCTIONS, "t": t})


def compiled(expression: str) -> object:
    return compile(expression.replace("if(", "iff("), "<expression>", "eval")


def test_a_long_path_is_a_shallow_expression_equal_to_the_path_at_every_frame():
    rng = np.random.default_rng(7)
    times = np.cumsum(rng.choice([0.0, 0.25, 0.5, 1.0], 600))  # 0.0: a cut, two keys at one time
    keys = [(float(t), float(x)) for t, x in zip(times, rng.uniform(0.1, 0.9, times.size))]
    expression = path_expression(keys)
    done = subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=s=640x360:d=0.2", "-vf",
                           f"crop=w=200:h=360:x='clip(({expression})*iw-ow/2,0,iw-ow)':y=0", "-f", "null", "-"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-300:]  # ffmpeg refuses a flat sum of ~93 terms; this has 600 keys
    code = compiled(expression)
    for t in np.arange(-1, times[-1] + 1, 0.07):
        assert expression_at(code, float(t)) == pytest.approx(evaluate(keys, float(t)), abs=2e-5), t


def test_the_subject_is_the_larger_of_two_that_cannot_share_a_crop():
    profile = np.zeros(320)
    profile[20:40], profile[280:290] = 5, 5  # far apart: the larger wins
    assert frame_analysis._centre(profile, 100, np) == pytest.approx(30 / 320, abs=0.01)
    profile[60:70] = 5  # near enough to share the crop with it: both
    assert frame_analysis._centre(profile, 100, np) == pytest.approx(41.7 / 320, abs=0.01)


def make_film(path: Path, overlay: str, seconds: int = 2) -> Path:
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"color=c=0x203040:s=640x360:r=25:d={seconds}",
                    "-f", "lavfi", "-i", f"color=c=white:s=60x100:r=25:d={seconds}", "-filter_complex", overlay,
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25", str(path)], check=True)
    return path


def framed(film: Path, vf: str, out: Path) -> np.ndarray:
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(film), "-vf", f"setpts=0.5*PTS,{vf}", "-c:v", "libx264",
                    "-preset", "ultrafast", str(out)], check=True)
    probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "json",
                                       str(out)], capture_output=True, text=True).stdout)["streams"][0]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(out), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                          "rgb24", "-"], capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(probe["height"], probe["width"], 3)


def test_every_aspect_gives_its_size_and_blur_and_fit_keep_the_corners(tmp_path):
    marks = "".join(f"[m{i}]" for i in range(4))
    film = make_film(tmp_path / "corners.mp4", "[1]split=4" + marks + ";[0][m0]overlay=0:0[a];[a][m1]overlay=580:0[b];"
                     "[b][m2]overlay=0:260[c];[c][m3]overlay=580:260", seconds=1)
    for index, (aspect, (width, height)) in enumerate(ASPECTS.items()):
        mode = ("center", "fit", "blur", "smart")[index]
        picture = framed(film, framing_filter(mode if mode != "smart" else "center", aspect), tmp_path / f"{index}.mp4")
        assert picture.shape[:2] == (height, width), aspect
        if mode in ("fit", "blur"):
            scale = min(width / 640, height / 360)
            top, left = (height - 360 * scale) / 2, (width - 640 * scale) / 2
            for x, y in ((30, 50), (610, 50), (30, 310), (610, 310)):  # the middle of each corner mark
                assert picture[int(top + y * scale), int(left + x * scale)].min() > 200, (aspect, mode, x, y)


LEFT = "[0][1]overlay=x='60+30*sin(2*t)':y=130:shortest=1"


def white_frames(video: Path) -> np.ndarray:
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(video), "-vf", "scale=108:192", "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], capture_output=True).stdout
    frames = np.frombuffer(raw, np.uint8).reshape(-1, 192, 108)
    return (frames > 200).sum(axis=(1, 2)) >= 20  # the subject's white box, most of it, in the picture


@pytest.mark.slow
def test_smart_recap_keeps_a_left_third_subject_in_the_crop_and_analyses_once(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    for old in ("downloads/old.mp4", "framing/old.json", "speech/old.mp3", "transcripts/old.json"):
        (tmp_path / "cache" / old).parent.mkdir(mode=0o755, parents=True, exist_ok=True)
        (tmp_path / "cache" / old).write_bytes(b"as an older version left it")
        (tmp_path / "cache" / old).chmod(0o644)
    (tmp_path / "cache").chmod(0o755)
    film = make_film(tmp_path / "left.mp4", LEFT, seconds=8)
    segments = [{"start": "0", "end": "3.5", "voiceover": "A white box stands on the left of the picture."},
                {"start": "4", "end": "7.5", "voiceover": "It is still there and moves a little."}]
    with VideoSite(tmp_path / "www") as site:
        page = site.publish(film, "film")[0]
        made = {frame: make_recap(page, segments, voice="en-us", speed=1.25, output_dir=tmp_path / frame, mkdir=True,
                                  services="local", quiet=True, frame=frame) for frame in ("smart", "center")}
        seen = white_frames(made["smart"].final)
        assert seen.mean() >= 0.95 and white_frames(made["center"].final).mean() == 0
        assert made["smart"].as_json()["framing"] == {"frame": "smart", "aspect": "9:16", "size": [1080, 1920]}
        monkeypatch.setattr(frame_analysis, "analyse", lambda *a: pytest.fail("analysed again"))
        again = make_recap(page, segments, voice="en-us", speed=1.25, output_dir=tmp_path / "smart", overwrite=True,
                           services="local", quiet=True, frame="smart")
        assert white_frames(again.final).mean() >= 0.95
    # The cache after the recaps, and once transcripts are asked for: private, the old entries tightened.
    from vantor.transcripts.store import TranscriptStore

    TranscriptStore()
    modes = {str(path.relative_to(tmp_path)): stat.S_IMODE(path.lstat().st_mode)
             for path in [tmp_path / "cache", *(tmp_path / "cache").rglob("*")]}
    assert {"cache/downloads/old.mp4", "cache/framing/old.json", "cache/transcripts/old.json"} <= set(modes)
    assert any(name.startswith("cache/framing/") and name != "cache/framing/old.json" for name in modes)  # analysed
    assert {name: mode for name, mode in modes.items()
            if mode != (0o700 if (tmp_path / name).is_dir() else 0o600)} == {}


def test_the_framing_options_are_checked_at_each_front_end(tmp_path):
    from vantor.recap.framing.modes import FIXED_CROPS, check_framing, check_range_frame, range_layout

    # Both spellings where a user types them; one in code.
    assert check_framing("centre", "9:16") == ("center", "9:16") and check_framing("center", "1:1")[0] == "center"
    assert check_range_frame("centre") is None and range_layout("center") == range_layout("centre") == "center"
    assert FIXED_CROPS[str(range_layout("centre"))] == 0.5
    assert range_layout("auto") is None and "no framing" in str(check_range_frame("middle"))
    with pytest.raises(ValueError, match="frame mode must be one of smart, center, blur, fit, not 'zoom'"):
        job_from_mapping({"url": "u", "segments": "s", "voice": "v", "output_dir": "o", "frame": "zoom"}, str(tmp_path))
    assert job_from_mapping({"url": "u", "segments": "s", "voice": "v", "output_dir": "o", "aspect": "4:5"},
                            str(tmp_path)).spec.aspect == "4:5"
    with pytest.raises(TypeError, match="aspect must be a str"):
        make_recap("http://127.0.0.1:9/f", [], voice="en-us", aspect=1.0)  # type: ignore[arg-type]


def test_check_says_the_framing(tmp_path):
    path = tmp_path / "s.json"
    path.write_text(json.dumps([{"start": "0", "end": "5", "voiceover": "Hello there."}]))
    for argv, said in ((["--json"], {"frame": "smart", "aspect": "9:16", "size": [1080, 1920]}),
                       (["--json", "--frame", "fit", "--aspect", "4:5"], {"frame": "fit", "aspect": "4:5",
                                                                          "size": [1080, 1350]})):
        out = subprocess.run([sys.executable, "-m", "vantor", "check", *argv, str(path)], capture_output=True,
                             text=True).stdout
        assert json.loads(out)["framing"] == said


def test_a_range_without_a_subject_says_it_fell_back(tmp_path):
    from vantor.recap.framing.frame_step import FramePlan
    from vantor.recap.engine.steps import Cut

    film = str(make_film(tmp_path / "f.mp4", "[0][1]overlay=x='60+30*sin(2*t)':y=130:enable='lt(t,2)'", seconds=4))
    said: list[str] = []
    plan = FramePlan("smart", "9:16", say=said.append, cache_dir=tmp_path / "cache")
    for index, (start, end) in enumerate((("0", "2"), ("2", "4"))):  # a subject in the first range only
        plan.cut(Cut([], index, film, f"{index}.mp4", start, end), [])
    assert plan.range_framing(1, 0, 2).found and not plan.range_framing(2, 2, 4).found
    assert said[1:] == ["vantor: range 2: smart framing found no subject; it is framed at the centre"]


def psnr(first: str, second: str, source: str = "testsrc2=s=1280x720:d=0.04") -> float:
    """The PSNR (dB, ffmpeg's average over the planes) of one frame of `source` through two graphs."""
    done = subprocess.run(["ffmpeg", "-hide_banner", "-f", "lavfi", "-i", source, "-filter_complex",
                           f"[0]split[a][b];[a]{first}[x];[b]{second}[y];[x][y]psnr", "-frames:v", "1", "-f", "null",
                           "-"], capture_output=True, text=True, check=True).stderr
    return float(done.rsplit("average:", 1)[1].split()[0].replace("inf", "99"))


def test_the_window_cropped_before_the_scale_is_the_picture_the_scale_first_graph_gives():
    from vantor.recap.framing.modes import smart_filter

    for aspect, (width, height) in ASPECTS.items():
        for centre in (0.0, 0.37, 0.61, 0.93):
            scale_first = (f"scale={width}:{height}:force_original_aspect_ratio=increase,"
                           f"crop=w={width}:h={height}:x='clip(({centre})*iw-ow/2,0,iw-ow)':y='(ih-oh)/2',setsar=1")
            for size in ((1280, 720), (720, 1280), (1920, 1080)):
                crop_first = smart_filter(aspect, str(centre), size)
                assert psnr(scale_first, crop_first, f"testsrc2=s={size[0]}x{size[1]}:d=0.04") >= 35, (aspect, centre, size)
        small_w, small_h = round(width / 16) * 2, round(height / 16) * 2
        scale_first = (f"split[b][f];[b]scale={small_w}:{small_h}:force_original_aspect_ratio=increase,crop={small_w}:"
                       f"{small_h},boxblur=6:2,eq=brightness=-0.12,scale={width}:{height}[k];[f]scale={width}:{height}"
                       ":force_original_aspect_ratio=decrease:force_divisible_by=2[o];[k][o]overlay=(W-w)/2:(H-h)/2,"
                       "setsar=1")
        assert psnr(scale_first, framing_filter("blur", aspect, "x")) >= 35, aspect


def test_the_analysis_key_reads_a_films_ends_not_all_of_it(tmp_path):
    from vantor.recap.framing.frame_analysis import file_digest

    film = bytearray(os.urandom(3 << 20))
    (tmp_path / "a.mp4").write_bytes(film)
    (tmp_path / "copy.mp4").write_bytes(film)  # a fresh download of the same film keeps its analyses
    key = file_digest(str(tmp_path / "a.mp4"))
    assert file_digest(str(tmp_path / "copy.mp4")) == key
    for at in (0, -1):  # the header, the index at the end
        changed = bytearray(film)
        changed[at] ^= 1
        (tmp_path / "b.mp4").write_bytes(changed)
        assert file_digest(str(tmp_path / "b.mp4")) != key
    with open(tmp_path / "huge.mp4", "wb") as huge:  # sparse: 64 GiB hashed whole would take minutes
        huge.truncate(64 << 30)
    assert file_digest(str(tmp_path / "huge.mp4")) != key
