"""A recap's options as one RecapSpec: checked once per run, refused in the
words each front end always used, and the same value for the same choices
whichever front end they were typed in."""

from __future__ import annotations

import json

import pytest

import vantor
from studio_served import served_studio
from vantor.batch.jobs import job_from_mapping
from vantor.cli import build_parser
from vantor.commands.recap_options import recap_spec
from vantor.recap import api
from vantor.recap.engine.options import RecapSpec
from vantor.recap.checks.preflight import PreflightError
from vantor.studio import engine_bridge as bridge
from vantor.studio.app import Studio
from vantor.studio.project import Project

URL = "https://www.youtube.com/watch?v=options-test"
SEGMENTS = [{"start": "1", "end": "2.5", "voiceover": "Hello."}]
LINE = {"url": URL, "segments": "s.json", "output_dir": "out"}
TOKEN = "options-token_0123456789abc"

SPEED = ("speed must be at least 0.5, not 0.1: ffmpeg's audio tempo filter cannot slow the narration below half "
         "speed")
SIZE = "the caption size must be small, medium, large or a percentage of medium from 50 to 200 (such as 120%), not 'huge'"
STYLES = "'clean', 'bold', 'boxed', 'karaoke', 'pop'"
FRAME = "the frame mode must be one of smart, center, blur, fit, not 'zoom'"
ASPECT = "the aspect must be one of 9:16, 4:5, 1:1, 16:9, not '2:1'"

# The options; what make_recap says; the command line that asks the same (None: argparse refuses it first)
# and what it says; what a jobs line says; what the studio says (None: the page cannot ask it).
REFUSED = [
    ({"speed": 0.1}, SPEED, ["--speed", "0.1"], SPEED, f"'speed': {SPEED}", SPEED),
    ({"speed": True}, "make_recap: speed must be a number (int or float), not bool (True)", None, None,
     "'speed': speed must be a number, not bool", "speed must be a number, not bool"),
    ({"captions": "x"}, "captions must be one of files, burn, track, not 'x'", None, None,
     "'captions' must be one of 'files', 'burn', 'track', not 'x'", "captions must be one of off, burn, track, not 'x'"),
    ({"caption_style": "bold"}, "caption_style bold styles captions; add captions=burn (or files, track)",
     ["--caption-style", "bold"], "--caption-style bold styles captions; add --captions burn (or files, track)",
     f"'caption_style' must be one of {STYLES}, with 'captions'; not 'bold'", None),
    ({"captions": "burn", "caption_style": "neon"}, "caption_style must be one of clean, bold, boxed, karaoke, pop, "
     "not 'neon'", None, None, f"'caption_style' must be one of {STYLES}, with 'captions'; not 'neon'",
     "caption_style must be one of clean, bold, boxed, karaoke, pop, not 'neon'"),
    ({"captions": "burn", "caption_size": "huge"}, f"{SIZE}; choose one of those", None, None,
     f"'caption_position'/'caption_size': {SIZE}", SIZE),
    ({"caption_position": "top"}, "caption_position/caption_size place captions; add captions=burn",
     ["--caption-position", "top"], "--caption-position/--caption-size place captions; add --captions burn",
     "'caption_position'/'caption_size' place captions; add 'captions': 'burn'", None),
    ({"frame": "zoom"}, f"{FRAME}; choose one of those", None, None, f"'frame'/'aspect': {FRAME}",
     "frame must be one of smart, center, blur, fit, not 'zoom'"),
    ({"aspect": "2:1"}, f"{ASPECT}; choose one of those", None, None, f"'frame'/'aspect': {ASPECT}",
     "aspect must be one of 9:16, 4:5, 1:1, 16:9, not '2:1'"),
    ({"source_audio": "loud"}, "source audio 'loud' is unknown; choose one of off, duck, mix", None, None,
     "source audio 'loud' is unknown; choose one of off, duck, mix",
     "source audio 'loud' is unknown; choose one of off, duck, mix"),
    ({"fit": "loop"}, "fit 'loop' is unknown; choose one of extend, range, narration", None, None,
     "fit 'loop' is unknown; choose one of extend, range, narration",
     "fit 'loop' is unknown; choose one of extend, range, narration"),
    ({"loudness": 3}, "loudness 3.0 is out of range; pass LUFS between -70 and -5 (e.g. -16)", ["--loudness", "3"],
     "loudness 3.0 is out of range; pass LUFS between -70 and -5 (e.g. -16)",
     "loudness 3.0 is out of range; pass LUFS between -70 and -5 (e.g. -16)", None),
    ({"loudness": "x"}, "make_recap: loudness must be a number (int or float), not str ('x')", None, None,
     "'loudness' must be a number of LUFS, not 'x'", None),
]


@pytest.fixture(scope="module")
def studio(tmp_path_factory):
    app = Studio(Project(tmp_path_factory.mktemp("project")), "http://127.0.0.1:9")  # nothing is spoken here
    with served_studio(app, TOKEN) as page:
        yield page


def _studio_make(page, body):
    return page.session.post(page.base + "api/make", data=json.dumps(body), timeout=30,
                             headers={"origin": page.origin, "content-type": "application/json"})


def _cli_spec(tmp_path, *flags):
    return recap_spec(build_parser().parse_args(["recap", URL, str(tmp_path / "s.json"), *flags]))


@pytest.mark.parametrize("options, python, flags, command_line, jobs_line, page", REFUSED,
                         ids=[next(iter(row[0].items())).__repr__() for row in REFUSED])
def test_each_bad_option_is_refused_in_each_front_end_s_own_words(options, python, flags, command_line, jobs_line,
                                                                  page, studio, tmp_path, monkeypatch):
    with pytest.raises((PreflightError, TypeError)) as refused:
        vantor.make_recap(URL, SEGMENTS, output_dir=tmp_path, services="configured", quiet=True, **options)
    assert str(refused.value) == python and isinstance(refused.value, TypeError) is python.startswith("make_recap:")
    if flags is not None:
        with pytest.raises(PreflightError) as refused:
            _cli_spec(tmp_path, *flags)
        assert str(refused.value) == command_line
    with pytest.raises(ValueError) as refused:
        job_from_mapping({**LINE, **options}, str(tmp_path), 1)
    assert str(refused.value) == jobs_line
    if page is not None:
        monkeypatch.setattr(bridge, "start_make", lambda **kw: pytest.fail("started"))
        answer = _studio_make(studio, {"url": "http://127.0.0.1:1/v", "segments": SEGMENTS, "voice": "en-us",
                                       **options})
        assert (answer.status_code, answer.json()["error"]) == (400, page)


def test_the_same_choices_make_the_same_recap_options_in_every_front_end(studio, tmp_path, monkeypatch):
    choices = {"voice": "en-us", "speed": 1.5, "captions": "burn", "caption_style": "pop", "caption_position": "top",
               "caption_size": "120", "frame": "centre", "aspect": "4:5", "source_audio": "mix", "fit": "range"}
    expected = RecapSpec(**{**choices, "caption_size": "120%", "frame": "center"})
    assert RecapSpec(**choices) == expected  # "centre" is "center", 120 is "120%"
    flags = [f"--{name.replace('_', '-')}={value}" for name, value in choices.items()]
    assert _cli_spec(tmp_path, *flags) == expected
    assert job_from_mapping({**LINE, **choices}, str(tmp_path), 1).spec == expected
    started: list[RecapSpec] = []
    monkeypatch.setattr(bridge, "start_make", lambda **kw: started.append(kw["spec"]) or object())
    assert _studio_make(studio, {"url": "http://127.0.0.1:1/v", "segments": SEGMENTS, **choices}).status_code == 200
    # make_recap's run gets the RecapSpec prepare passed; the run itself is not what this asks about.
    monkeypatch.setattr(api, "execute", lambda prepared, **kw: started.append(prepared.spec))
    vantor.make_recap(URL, SEGMENTS, output_dir=tmp_path, services="local", quiet=True, **choices)
    assert started == [expected, expected]


def test_a_run_checks_its_options_once(standins, tmp_path, monkeypatch):
    checked = []
    check = RecapSpec.__post_init__
    monkeypatch.setattr(RecapSpec, "__post_init__", lambda spec: checked.append(spec) or check(spec))
    runs = []
    result = vantor.make_recap(URL, SEGMENTS, voice="v", speed=2, output_dir=tmp_path, services="configured",
                               quiet=True, frame="center", source_audio="off", on_start=runs.append)
    assert result.final.stat().st_size > 0 and (result.frame, result.sound.source_audio) == ("center", "off")
    assert len(checked) == 1 and runs[0].spec is checked[0]
