"""Caption styles drawn over a blank 1080x1920 picture: the text stays in the
platforms' safe area, a cue that fits one line is drawn on one, and `bold`
lights each word while it is spoken; the track's language and who spoke."""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np
import pytest

from vantor.batch.jobs import job_from_mapping
from vantor.recap.caption_step import check_caption_style, track_language
from vantor.recap.captions import FONT_DIR, LINE_WIDTH, font_installed, line_width, place_cues, to_ass
from vantor.recap.preflight import PreflightError
from vantor.recap.spoken_by import spoken_notes, voices_spoken
from vantor.services.narration_timing import NarrationTiming, WordTiming

# Safe area of the 1080x1920 picture: clear of the right 12% and the bottom 20%.
RIGHT, BOTTOM = 1080 - 130, 1920 - 384
WORDS = [("Mighty", 0.0, 0.5), ("big", 0.6, 1.0), ("rivers", 1.1, 1.5), ("Extraordinarilywonderfulness", 1.6, 2.4)]


def frame(ass: Path, at: float) -> np.ndarray:
    raw = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                          "color=c=0x808080:s=1080x1920:d=3:r=25", "-vf", f"ass={ass.name}:fontsdir={FONT_DIR}",
                          "-ss", f"{at}", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, cwd=ass.parent, check=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(1920, 1080, 3).astype(int)


def test_cues_are_split_to_fit_one_line():
    cues = place_cues([NarrationTiming(2.5, tuple(WordTiming(*w) for w in WORDS), "t")], [2.5], speed=1.0)
    assert [c.text for c in cues] == ["Mighty big rivers", "Extraordinarilywonderfulness"]
    assert line_width("Mighty big rivers") <= LINE_WIDTH < line_width("Mighty big rivers Extraordinarily")
    assert cues[0].words == tuple(WORDS[:3])


@pytest.mark.skipif(not font_installed(), reason="the DejaVu fonts are not installed")
@pytest.mark.parametrize("style", ["clean", "bold", "boxed"])
def test_each_style_draws_inside_the_safe_area(style, tmp_path):
    cues = place_cues([NarrationTiming(2.5, tuple(WordTiming(*w) for w in WORDS), "t")], [2.5], speed=1.0)
    (ass := tmp_path / "c.ass").write_text(to_ass(cues, style))
    for at in (0.2, 1.2, 2.0):  # the three-word line and the over-wide word, drawn narrower
        drawn = np.abs(frame(ass, at) - 128).max(axis=2) > 30
        rows, cols = np.nonzero(drawn)
        assert drawn.sum() > 3000 and cols.min() >= 60 and cols.max() < RIGHT and rows.max() < BOTTOM, (at, style)
        assert rows.max() - rows.min() < 160  # one line: a second would double the height
    if style == "bold":  # gold (red high, blue low) on the word being spoken only
        for at, lit in ((0.2, "Mighty"), (1.2, "rivers")):
            gold = (frame(ass, at)[..., 0] > 200) & (frame(ass, at)[..., 2] < 90)
            cols = np.nonzero(gold.any(axis=0))[0]
            assert gold.sum() > 1000 and (cols.max() < 540 if lit == "Mighty" else cols.min() > 540), at
        assert not ((frame(ass, 0.55)[..., 0] > 200) & (frame(ass, 0.55)[..., 2] < 90)).any()  # between words


def test_style_language_and_who_spoke():
    assert [track_language(v) for v in ("en-US-GuyNeural", "de+m3", "fr_FR-siwis-medium", "xx", "")] == [
        "eng", "deu", "fra", "und", "und"]
    assert check_caption_style(None, None) == "clean" and check_caption_style("boxed", "files") == "boxed"
    with pytest.raises(PreflightError, match="add --captions burn"):
        check_caption_style("bold", None)
    with pytest.raises(PreflightError, match="caption_style must be one of clean, bold, boxed"):
        check_caption_style("karaoke", "burn", python=True)
    line = {"url": "u", "segments": "s.json", "voice": "en-us", "output_dir": "o", "captions": "burn"}
    assert job_from_mapping({**line, "caption_style": "bold"}, "/b", 1).caption_style == "bold"
    with pytest.raises(ValueError, match="'caption_style' must be one of"):
        job_from_mapping({**line, "captions": None, "caption_style": "bold"}, "/b", 1)
    timing = NarrationTiming(1.0, (), "espeak-ng")
    spoken = voices_spoken("en-US-GuyNeural", [NarrationTiming(1.0, (), "piper"), timing])
    assert spoken[1] == {"segment": 1, "voice": "en-US-GuyNeural", "engine": "espeak-ng"}
    assert spoken_notes(spoken) == ["note: en-US-GuyNeural was spoken by espeak-ng, not the neural voice, in 1 of 2 "
                                    "segments; see vantor voices for the voices piper speaks here"]
    assert spoken_notes(voices_spoken("en-us", [timing])) == [] and spoken_notes(spoken[:1]) == []
