"""Framing on a real face (scikit-image's public-domain photograph of Eileen
Collins, shipped in its wheel), a range's own framing, and a shot whose two
faces cannot share one crop shown whole over blur, in recaps."""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np
import pytest

from vantor.demo.video_site import VideoSite
from vantor.recap.framing import frame_analysis
from vantor.recap.api import make_recap
from vantor.recap.checks.segments_check import check_segments_bytes
from vantor.studio.project import page_segments

skimage_data = pytest.importorskip("skimage.data", reason="scikit-image (requirements-dev.txt) holds the photograph")

W, H, FPS = 640, 360, 25
BACK = np.array([32, 48, 64], np.uint8)


def head(height: int) -> np.ndarray:
    """The photograph's head and shoulders, `height` pixels tall."""
    import cv2

    crop = skimage_data.astronaut()[20:220, 130:320]
    return cv2.resize(crop, (round(height * 190 / 200), height), interpolation=cv2.INTER_AREA)


def film(path: Path, frames: list[np.ndarray]) -> Path:
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{W}x{H}", "-r",
                    str(FPS), "-i", "-", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25", str(path)],
                   input=b"".join(f.tobytes() for f in frames), check=True)
    return path


def picture(heads: list[int], box_x: int | None = None) -> np.ndarray:
    frame = np.empty((H, W, 3), np.uint8)
    frame[:] = BACK
    if box_x is not None:
        frame[40:320, box_x:box_x + 220] = 255  # the distractor: larger than the face, and moving
    face = head(170)
    for x in heads:
        frame[95:265, x:x + face.shape[1]] = face
    return frame


def test_the_face_wins_over_a_larger_moving_box_as_it_crosses_the_frame(tmp_path):
    path = [int(20 + 440 * i / 99) for i in range(100)]
    made = film(tmp_path / "face.mp4", [picture([x], box_x=400 - int(380 * i / 99)) for i, x in enumerate(path)])
    found = frame_analysis.analyse(str(made), 0.32)
    face_width = head(170).shape[1]
    expected = np.array([(path[min(99, round(s.time * FPS))] + face_width / 2) / W for s in found.samples])
    seen = np.array([np.nan if s.subject is None else s.subject for s in found.samples])
    assert np.mean(np.abs(seen - expected) < 0.05) >= 0.9, np.round(seen - expected, 2)
    assert not any(s.apart for s in found.samples)  # one face: never two apart


def test_a_range_of_its_own_is_checked_and_kept_by_the_studio():
    def problems(frame: object) -> list[str]:
        text = f'[{{"start": "0", "end": "5", "voiceover": "Hello there.", "frame": {frame}}}]'
        return [str(p) for p in check_segments_bytes(text.encode(), "s.json").errors]

    assert [problems(f'"{word}"') for word in ("auto", "left", "center", "centre", "right", "blur")] == [[]] * 6
    assert problems('"top"') == ["error: segment 1 'frame': 'top' is no framing; use one of auto, left, center, "
                                 "right, blur"]
    assert problems("1") != []
    saved, _ = page_segments([{"start": "0", "end": "5", "voiceover": "Hi.", "frame": "right"},
                              {"start": "6", "end": "9", "voiceover": "Hi.", "frame": "auto"}])
    assert saved[0]["frame"] == "right" and "frame" not in saved[1]


def visible(video: Path) -> tuple[np.ndarray, np.ndarray]:
    """Per recap frame: the white box seen, and the whole two-face picture seen in the fitted band."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(video), "-vf", "scale=108:192", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
    frames = np.frombuffer(raw, np.uint8).reshape(-1, 192, 108, 3).astype(int)
    import cv2

    whole = cv2.resize(picture([20, 460]), (108, 61), interpolation=cv2.INTER_AREA).astype(int)
    band = frames[:, 66:127]  # 9:16 with the 16:9 picture fitted to its width: rows 65.5 to 126.5 of 192
    matches = np.abs(band - whole).mean(axis=(1, 2, 3)) < 20
    return (frames.min(axis=3) > 200).sum(axis=(1, 2)) >= 20, matches


@pytest.mark.slow
def test_a_range_s_own_framing_and_two_faces_apart_reach_the_recap(tmp_path, monkeypatch):
    monkeypatch.setenv("VANTOR_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.delenv("VANTOR_SERVICES_URL", raising=False)
    box = [picture([], box_x=60 + int(20 * np.sin(i / 5))) for i in range(4 * FPS)]  # the left third
    source = film(tmp_path / "two.mp4", box + [picture([20, 460])] * (4 * FPS))
    segments = [{"start": "0", "end": "3.5", "voiceover": "A white box on the left.", "frame": "right"},
                {"start": "4", "end": "7.5", "voiceover": "Two people, far apart."},
                {"start": "0", "end": "3.5", "voiceover": "The box again, on the left.", "frame": "left"}]
    with VideoSite(tmp_path / "www") as site:
        made = make_recap(site.publish(source, "two")[0], segments, voice="en-us", speed=1.25,
                          output_dir=tmp_path / "out", mkdir=True, services="local", quiet=True, frame="smart")
    box_seen, whole_seen = visible(made.final)
    first, last = int(np.argmax(whole_seen)), len(whole_seen) - 1 - int(np.argmax(whole_seen[::-1]))
    assert whole_seen.any() and whole_seen[first:last + 1].mean() >= 0.95, whole_seen  # the middle range, whole
    assert not box_seen[:first].any() and first >= 0.2 * len(box_seen)  # the first held at the right, off the box
    assert box_seen[last + 1:].mean() >= 0.95 and last <= 0.8 * len(box_seen)  # the third held at the left, on it


def test_two_faces_are_apart_when_of_about_one_size_and_no_crop_holds_both():
    from vantor.recap.framing.modes import Sample

    def apart(first: tuple[int, int, int], second: tuple[int, int, int]) -> bool:  # (x, w, h) of two faces
        return frame_analysis._apart(np.array([[first[0], 0, *first[1:]], [second[0], 0, *second[1:]]]), 100)

    assert apart((0, 30, 30), (71, 30, 30)) and not apart((0, 30, 30), (70, 30, 30))  # 101 px wide together; 100 fit
    assert apart((0, 30, 30), (200, 29, 31)) and not apart((0, 30, 30), (200, 30, 45))  # 899 is about 900; 1.5x wins
    assert apart((0, 30, 30), (200, 19, 71))  # 1349 of 900, just under 1.5x: still of about one size
    assert not frame_analysis._apart(np.array([[0, 0, 30, 30]]), 100)
    samples = [Sample(i / 4, 0, 0.5, i < 2) for i in range(4)] + [Sample(1 + i / 4, 1, 0.5, i < 1) for i in range(3)]
    assert frame_analysis.apart_shots(samples) == [(0.0, 1.0)]  # two of four: shown whole; one of three: not
    from vantor.recap.framing.frame_step import FramePlan

    # A range's own framing wins: no analysis, so no shot of it is shown whole.
    plan = FramePlan("smart", "9:16", say=lambda line: None, range_frames=lambda: ["left", "blur"])
    assert plan.range_framing(1, 0, 10).keys == ((0.0, 0.0),) and plan.range_framing(1, 0, 10).whole == ()
    assert plan.range_framing(2, 10, 20).layout == "blur"
