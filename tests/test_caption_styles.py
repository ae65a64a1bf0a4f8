"""Caption styles drawn on a red picture of each aspect: the text stays clear
of what the players lay over it, each position lands where it says, and
the word being spoken (or marked) is in its colour at its time; burned-in
subtitles in a film are found and the captions drawn above them; marked
words reach no speech service with their asterisks; the options' bounds;
the track's language and who spoke."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import numpy as np
import pytest

from vantor.batch.jobs import job_from_mapping
from vantor.recap.captions import burned_subtitles
from vantor.recap.captions.caption_layout import SAFE_AREAS, CaptionLook, caption_look, check_caption_size, placement
from vantor.recap.captions.caption_step import CaptionPlan, track_language
from vantor.recap.engine.options import OptionError, RecapSpec
from vantor.recap.captions.caption_styles import COLOURS, StyledCue, Word, to_ass
from vantor.recap.timeline.join_step import RecapJoin
from vantor.recap.timeline.model import RangeTime, Timeline
from vantor.recap.captions.cues import FONT_DIR, LINE_WIDTH, font_installed, line_width, place_cues
from vantor.recap.captions.emphasis import marked_words, spoken_text
from vantor.recap.framing.modes import ASPECTS
from vantor.recap.engine.outputs import OutputNames
from vantor.recap.checks.preflight import COMMAND_LINE, PreflightError
from vantor.recap.sound.spoken_by import spoken_notes, voices_spoken
from vantor.recap.engine.steps import Conversion
from vantor.services.narration_timing import NarrationTiming, WordTiming

needs_font = pytest.mark.skipif(not font_installed(), reason="the DejaVu fonts are not installed")
STYLES = ("clean", "bold", "boxed", "karaoke", "pop")
# What the players cover of each aspect's picture (px from each edge), worked out apart from the code:
# a vertical player's bottom fifth, right 12% and top tenth, over each shape scaled to its width.
COVERED = {"9:16": {"top": 192, "bottom": 384, "right": 130}, "4:5": {"bottom": 135, "right": 130},
           "1:1": {"right": 130}, "16:9": {"bottom": 135, "right": 230}}
WORDS = [("Big", 0.0, 0.5), ("red", 0.6, 1.0), ("sea", 1.1, 1.5)]  # one line even in `pop` at large
CUES = [StyledCue(0.0, 2.4, tuple(Word(w, a, b, w == "sea") for w, a, b in WORDS)),
        StyledCue(2.4, 3.0, (Word("Extraordinarilywonderfulness", 2.4, 3.0),))]
TIMES = (0.2, 0.55, 0.8, 1.3, 2.7)
RED = np.array([255, 0, 0])


def frames(script: str, size: tuple[int, int], folder: Path, times=TIMES) -> np.ndarray:
    """The frames at `times` (s) of the script drawn over red."""
    (folder / "c.ass").write_text(script, encoding="utf-8")
    width, height = size
    picked = "+".join(f"eq(n,{round(t * 20)})" for t in times)
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                          f"color=c=red:s={width}x{height}:r=20:d=3", "-vf",
                          f"select='{picked}',ass=c.ass:fontsdir={FONT_DIR}", "-vsync", "0",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True, cwd=folder, check=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(len(times), height, width, 3).astype(int)


def bands(drawn: np.ndarray) -> list[tuple[int, int]]:
    """(first, last) of each run of rows holding drawn pixels."""
    rows = np.flatnonzero(drawn.any(axis=1))
    splits = np.flatnonzero(np.diff(rows) > 20)
    return [(int(rows[a]), int(rows[b])) for a, b in zip([0, *splits + 1], [*splits, len(rows) - 1])]


def word_colours(frame: np.ndarray, rows: tuple[int, int], palette: dict[str, tuple[int, int, int]]) -> list[str]:
    """Left to right, each word's fill: the palette's colour nearest most of its pixels."""
    names = [*palette, "outline", "red"]
    colours = np.array([*palette.values(), (0, 0, 0), (255, 0, 0)])
    part = frame[rows[0]:rows[1] + 1]
    nearest = np.abs(part[..., None, :] - colours).sum(axis=-1).argmin(axis=-1)
    fill = nearest < len(palette)
    columns = np.flatnonzero(fill.sum(axis=0) > 2)
    splits = np.flatnonzero(np.diff(columns) > 25)  # the spaces between words
    words = zip([0, *splits + 1], [*splits, len(columns) - 1])
    return [names[np.bincount(nearest[:, columns[a]:columns[b] + 1][fill[:, columns[a]:columns[b] + 1]]).argmax()]
            for a, b in words]


@needs_font
@pytest.mark.parametrize("style", STYLES)
def test_each_style_at_each_position_stays_clear_of_the_players_overlays(style, tmp_path):
    for aspect, size in ASPECTS.items():
        look = {position: caption_look(style, position, "large") for position in ("bottom", "middle", "top")}
        head, *events = (to_ass(CUES if p else [], look[p or "bottom"], placement(look[p or "bottom"], aspect))
                         for p in ("", *look))
        shown = frames(head + "".join(e.split("Effect, Text\n", 1)[1] for e in events), size, tmp_path)  # all at once
        width, height = size
        safe, covered = SAFE_AREAS[aspect], COVERED[aspect]
        for at, frame in zip(TIMES, shown):
            drawn = np.abs(frame - RED).max(axis=2) > 40
            rows, cols = np.nonzero(drawn)
            where = (aspect, style, at)
            assert cols.min() >= safe.left and cols.max() < width - max(safe.right, covered["right"]), where
            assert rows.min() >= covered.get("top", 0) and rows.max() < height - covered.get("bottom", 0), where
            assert rows.min() >= safe.top and rows.max() < height - safe.bottom, where
            (top, _), middle, (_, bottom) = bands(drawn)  # one line at each position, never wrapped
            # At the area's edges and in its middle (the ink lies within the line's box: less a pop word grown)
            assert top - safe.top < 60 and height - safe.bottom - bottom < 60, where
            assert abs((middle[0] + middle[1]) / 2 - (safe.top + height - safe.bottom) / 2) < 30, where
        if aspect == "9:16":  # the word spoken, in the style's colours, on the bottom line
            check_words(style, shown, bands(np.abs(shown[0] - RED).max(axis=2) > 40)[-1])


def check_words(style: str, shown: np.ndarray, rows: tuple[int, int]) -> None:
    lit = {"bold": COLOURS["highlight"], "karaoke": COLOURS["current"]}.get(style, (255, 255, 0))
    palette = {"white": (255, 255, 255), "grey": COLOURS["coming"], "lit": lit, "cyan": COLOURS["emphasis"]}
    marked = ["white", "white", "cyan"]
    expected = {  # at 0.2, 0.55 (between two words), 0.8 and 1.3 s
        "bold": [["lit", "white", "cyan"], marked, ["white", "lit", "cyan"], ["white", "white", "lit"]],
        "karaoke": [["lit", "grey", "cyan"], ["white", "grey", "cyan"], ["white", "lit", "cyan"],
                    ["white", "white", "lit"]],
    }.get(style, [marked] * 4)
    assert [word_colours(frame, rows, palette) for frame in shown[:4]] == expected, style
    if style == "pop":  # the word spoken is drawn larger: its line is taller than between two words
        heights = [bands(np.abs(frame - RED).max(axis=2) > 40)[-1] for frame in shown[1:3]]
        assert (heights[1][1] - heights[1][0]) > 1.15 * (heights[0][1] - heights[0][0])


def test_marked_words_are_coloured_never_spoken_and_the_options_bounds():
    text = "A *big* river, *very wide*; 5 * 3 and **."
    assert spoken_text(text) == "A big river, very wide; 5  3 and ."
    assert marked_words(text) == [False, True, False, True, True, False, False, False]
    assert [check_caption_size(v) for v in ("Large", 50, "200%", " 120 ")] == ["large", "50%", "200%", "120%"]
    assert caption_look("pop", "top", "80%").scale == 0.8 and caption_look("clean").scale == 1.0
    for bad in ("49", 201, "huge", True, "12O%"):
        with pytest.raises(ValueError, match="small, medium, large or a percentage of medium from 50 to 200"):
            check_caption_size(bad)
    assert RecapSpec(captions="burn", caption_style="karaoke", caption_position="middle").look.position == "middle"
    with pytest.raises(PreflightError, match="^the caption position must be one of bottom, middle, top, not 'left'"):
        RecapSpec(captions="burn", caption_position="left")
    with pytest.raises(OptionError) as refused:
        RecapSpec(caption_size="large")
    assert refused.value.worded(COMMAND_LINE) == "--caption-position/--caption-size place captions; add --captions burn"
    line = {"url": "u", "segments": "s.json", "voice": "en-us", "output_dir": "o", "captions": "burn"}
    job = job_from_mapping({**line, "caption_style": "pop", "caption_position": "top", "caption_size": 150}, "/b", 1)
    assert job.spec.look == CaptionLook("pop", "top", "150%")
    with pytest.raises(ValueError, match="'caption_position'/'caption_size' place captions"):
        job_from_mapping({**line, "captions": None, "caption_size": "small"}, "/b", 1)


def test_the_command_line_s_look_reaches_the_run_s_captions(tmp_path, capsys):
    from vantor.cli import build_parser
    from vantor.commands.recap import _prepare
    from vantor.recap.engine.run import EngineRun

    segments = tmp_path / "s.json"
    segments.write_text(json.dumps([{"start": "1", "end": "2", "voiceover": "A *big* sea."}]))
    argv = ["recap", "https://v.test/x", str(segments), "--voice", "en-us", "--output-dir", str(tmp_path),
            "--services", "local", "--captions", "burn", "--caption-style", "pop"]
    run = _prepare(build_parser().parse_args([*argv, "--caption-position", "top", "--caption-size", "150"]),
                   str(segments), None)
    plan = EngineRun("u", str(segments), run.spec, timings=[])._caption_plan()
    assert plan is not None and plan.look == CaptionLook("pop", "top", "150%")
    with pytest.raises(SystemExit) as refused:
        build_parser().parse_args([*argv, "--caption-size", "250%"])
    assert refused.value.code == 2 and "from 50 to 200 (such as 120%), not '250%'" in capsys.readouterr().err


def test_the_speech_service_hears_no_asterisk(standins, tmp_path):
    import vantor

    _, speech, _ = standins
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "1", "end": "2.5", "voiceover": "A *big* river, 5 * 3."}]))
    vantor.make_recap("https://www.youtube.com/watch?v=marks", segments, voice="v", output_dir=tmp_path / "out",
                      mkdir=True, quiet=True, services="configured")
    assert [json.loads(r.body)["text"] for r in speech.requests] == ["A big river, 5  3."]
    assert "*big*" in segments.read_text()  # the user's file as written


@pytest.fixture(scope="module")
def subtitled(tmp_path_factory):
    """A 4 s 640x360 film with white, outlined subtitles burned into its lower part, and the same without."""
    root = tmp_path_factory.mktemp("subtitled")
    (root / "s.srt").write_text("1\n00:00:00,000 --> 00:00:02,000\nWhere are you going tonight?\n\n"
                                "2\n00:00:02,000 --> 00:00:04,000\nTo the river, before dark.\n")
    made = {}
    for name, burn in (("plain", "null"), ("subtitled", f"subtitles=s.srt:fontsdir={FONT_DIR}:force_style="
                                                          "'FontName=DejaVu Sans,Fontsize=22,Outline=2,MarginV=18'")):
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-t", "4",
                        "-vf", burn, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", f"{name}.mp4"],
                       cwd=root, check=True)
        made[name] = str(root / f"{name}.mp4")
    return made


@needs_font
def test_captions_are_drawn_above_burned_in_subtitles(subtitled, tmp_path):
    assert burned_subtitles.find_band(subtitled["plain"], 640, 360) is None
    band = burned_subtitles.find_band(subtitled["subtitled"], 640, 360)
    assert band is not None and 0.82 < band.top < 0.88 < 0.92 < band.bottom <= 1.0, band
    # Shown whole (over bars), the band lies in the middle of a vertical recap; cropped, in its lower part.
    assert burned_subtitles.on_picture(band, (1080, 1920), ["inside"])[0] == pytest.approx(656.25 + 607.5 * band.top)
    assert burned_subtitles.on_picture(band, (1080, 1920), ["cover"])[0] == pytest.approx(1920 * band.top)

    timing = NarrationTiming(2.0, tuple(WordTiming(*w) for w in WORDS), "test")
    said: list[str] = []
    # A square recap keeps the film's lower part, where its subtitles meet the captions' usual place.
    plan = CaptionPlan("burn", OutputNames(captions=True), 1.0, lambda count: [timing], caption_look("bold"),
                       aspect="1:1", narrations=lambda: ["Big red *sea*"], say=said.append)
    plan.work_dir = str(tmp_path)
    cover = "scale=1080:1080:force_original_aspect_ratio=increase,crop=1080:1080"
    argv = ["ffmpeg", "-v", "error", "-i", subtitled["subtitled"], "-vf", cover, "-ss", "0.8", "-frames:v", "1",
            "-f", "rawvideo", "-pix_fmt", "rgb24"]
    step = Conversion(argv + ["x.mp4"], subtitled["subtitled"], "x.mp4", 1.0, "libx264", True)
    timeline = Timeline(subtitled["subtitled"], 640, 360, (25, 1), 1.0, 1080, 1080,
                        (RangeTime(1, 0.0, 2.0, 0.0, 2.0),))
    join = RecapJoin(timeline, [subtitled["subtitled"]], [0.0], "x.mp4", "h.mp4", "libx264", "atempo=1.0")
    plan.conversion(step, join)
    drawn_by = join.picture.get("captions")
    assert len(drawn_by) == 1 and drawn_by[0].startswith("ass=")  # drawn within the conversion's own filters
    burned = [*argv[:argv.index("-vf") + 1], f"{cover},{drawn_by[0]}", *argv[argv.index("-vf") + 2:], "-"]
    drawn, plain = (np.frombuffer(subprocess.run(command, cwd=tmp_path, capture_output=True, check=True).stdout,
                                  np.uint8).reshape(1080, 1080, 3).astype(int) for command in (burned, argv + ["-"]))
    captions = np.nonzero((np.abs(drawn - plain).max(axis=2) > 60).any(axis=1))[0]
    subtitles = np.nonzero(((plain > 230).all(axis=2).sum(axis=1) > 20)[720:])[0] + 720  # white letters
    assert captions.size and subtitles.size and captions.max() < subtitles.min()
    assert placement(caption_look("bold"), "1:1").bottom > subtitles.min()  # where they would have gone
    assert said == [f"vantor: the source has subtitles burned into its picture ({band.top:.0%} to {band.bottom:.0%} "
                    "of its height); the captions are drawn above them"]
    assert "Big red sea" in (tmp_path / "FINAL_RECAP.srt").read_text()  # shown without its marks


def test_cues_are_split_to_fit_one_line():
    words = [("Mighty", 0.0, 0.5), ("big", 0.6, 1.0), ("rivers", 1.1, 1.5), ("Extraordinarilywonderfulness", 1.6, 2.4)]
    cues = place_cues([NarrationTiming(2.5, tuple(WordTiming(*w) for w in words), "t")], [2.5], speed=1.0)
    assert [c.text for c in cues] == ["Mighty big rivers", "Extraordinarilywonderfulness"]
    assert line_width("Mighty big rivers") <= LINE_WIDTH < line_width("Mighty big rivers Extraordinarily")


def test_style_language_and_who_spoke():
    assert [track_language(v) for v in ("en-US-GuyNeural", "de+m3", "fr_FR-siwis-medium", "xx", "")] == [
        "eng", "deu", "fra", "und", "und"]
    assert RecapSpec().look.style == "clean" and RecapSpec(captions="files", caption_style="boxed").look.style == "boxed"
    with pytest.raises(OptionError) as refused:
        RecapSpec(caption_style="bold")
    assert refused.value.worded(COMMAND_LINE).endswith("add --captions burn (or files, track)")
    with pytest.raises(PreflightError, match="caption_style must be one of clean, bold, boxed, karaoke, pop"):
        RecapSpec(captions="burn", caption_style="neon")
    line = {"url": "u", "segments": "s.json", "voice": "en-us", "output_dir": "o", "captions": "burn"}
    assert job_from_mapping({**line, "caption_style": "karaoke"}, "/b", 1).spec.caption_style == "karaoke"
    with pytest.raises(ValueError, match="'caption_style' must be one of"):
        job_from_mapping({**line, "captions": None, "caption_style": "bold"}, "/b", 1)
    timing = NarrationTiming(1.0, (), "espeak-ng")
    spoken = voices_spoken("en-US-GuyNeural", [NarrationTiming(1.0, (), "piper"), timing])
    assert spoken[1] == {"segment": 1, "voice": "en-US-GuyNeural", "engine": "espeak-ng"}
    assert spoken_notes(spoken) == ["note: en-US-GuyNeural was spoken by espeak-ng, not the neural voice, in 1 of 2 "
                                    "segments; see vantor voices for the voices piper speaks here"]
    assert spoken_notes(voices_spoken("en-us", [timing])) == [] and spoken_notes(spoken[:1]) == []
