"""The command line (`python -m vantor`), the segments check, `doctor`, the
type stub and the package surface, as a user of each relies on them."""

from __future__ import annotations

import argparse
import ast
import importlib.metadata
import inspect
import json
import os
import pydoc
import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import vantor
from vantor import _service_settings as settings
from vantor.cli import main
from vantor.recap.checks.segments_check import engine_segments, parse_time, time_text

ROOT = Path(__file__).resolve().parents[1]
OPS = ("_download_video", "_generate_tts", "_build_atempo_chain", "run_recap")
URL = "https://youtu.be/abc"
GOOD = [{"start": "0", "end": "00:00:02.5", "voiceover": "Our story begins."},
        {"start": "4", "end": "6", "voiceover": "one two three four five six"}]  # about 2.4 s: a warning
BAD = ["not an object", {"end": "5", "voiceover": "hi"}, {"start": True, "end": "6", "voiceover": "x"},
       {"start": "0", "end": "abc", "voiceover": "x"}, {"start": "10", "end": "00:00:05", "voiceover": "x"},
       {"start": "1:00", "end": "60", "voiceover": "x"}, {"start": "0", "end": "5", "voiceover": " \n"},
       {"start": "0", "end": "5"}, {"start": ".5", "end": "12:60", "voiceover": ["x"]},
       {"start": "1", "end": "2", "voiceover": "fine"}]
BAD_WHERE = [(1, None), (2, "start"), (3, "start"), (4, "end"), (5, "end"), (6, "end"), (7, "voiceover"),
             (8, "voiceover"), (9, "start"), (9, "end"), (9, "voiceover")]  # numbered from 1, as the run numbers
LINE = re.compile(r"^(error|warning): segment (\d+)(?: '(\w+)')?: ")


def where(text):
    """(severity, index, member) of each problem line, in order."""
    return [(m[1], int(m[2]), m[3]) for m in map(LINE.match, text.splitlines()) if m]


def python(*args, env=None):
    return subprocess.run([sys.executable, *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)


@pytest.fixture
def write(tmp_path):
    def write(content):
        path = tmp_path / "segments.json"
        path.write_bytes(content if isinstance(content, bytes) else json.dumps(content).encode())
        return str(path)
    return write


@pytest.mark.parametrize("text, seconds", [
    ("5", 5), ("1.5", 1.5), ("00:01:05.5", 65.5), ("1:02:03", 3723), ("500ms", 0.5), ("-2", -2),
    ("1:2", 62), ("100us", 1e-4), ("5.", 5), ("+5", 5), (" 5", 5), ("1000:00:00", 3.6e6),
    ("abc", None), ("12:60", None), ("1:2:3:4", None), ("", None), (".5", None), ("5 ", None),
    ("1e3", None), ("60:00", None), ("12345:00:00", None), ("1:02:034", None), ("٥", None)])
def test_parse_time_accepts_what_ffmpeg_accepts(text, seconds):
    assert parse_time(text) == (None if seconds is None else pytest.approx(seconds))
    done = subprocess.run(["ffmpeg", "-v", "error", "-ss", text, "-f", "lavfi", "-i", "nullsrc=d=0.1",
                           "-f", "null", "-"], capture_output=True, timeout=30)
    assert (done.returncode == 0) == (seconds is not None), done.stderr


@pytest.mark.parametrize("number, text", [
    (90, "90"), (0, "0"), (-3, "-3"), (1.5, "1.5"), (2.0, "2.0"), (1e-05, "0.00001"), (1e12, "1000000000000.0"),
    (0.1 + 0.2, "0.30000000000000004"), (123456.789, "123456.789")])
def test_a_number_of_seconds_is_written_as_ffmpeg_reads_it(number, text):
    # No exponent: ffmpeg would stop reading "1e-05" at the "e" and refuse the time.
    assert time_text(number) == text and parse_time(text) == pytest.approx(number, abs=1e-6)
    done = subprocess.run(["ffmpeg", "-v", "error", "-ss", text, "-f", "lavfi", "-i", "nullsrc=d=0.1",
                           "-f", "null", "-"], capture_output=True, timeout=30)
    assert done.returncode == 0, done.stderr


def test_the_engine_gets_strings_only_where_numbers_were_written():
    strings = [{"start": "1", "end": "2", "voiceover": "a"}]
    assert engine_segments(strings) is None  # the user's own file serves
    mixed = strings + [{"start": 4, "end": 6.25, "voiceover": "b", "extra": 1}]
    assert engine_segments(mixed) == strings + [{"start": "4", "end": "6.25", "voiceover": "b", "extra": 1}]
    assert mixed[1]["start"] == 4  # the checked segments stay as written


@pytest.mark.parametrize("content, says", [
    (b'\xef\xbb\xbf[]', "save it as UTF-8 without a BOM"),
    (b'[{"start": "1"},\n{"start": "\xff"}]', "not UTF-8 text (byte 0xff on line 2); save it as UTF-8"),
    (b'[{"start": "1",', "not valid JSON: expecting property name enclosed in double quotes at line 1, column 16"),
    (b" \n", "the file is empty; write a JSON array of segments like [{"),
    (b'{"start": "1"}', "the top level must be an array of segments [{"), (b'"0-5"', "], not a string"),
    (b"[]", "the array is empty; add at least one segment like {")])
def test_check_refuses_unreadable_files(write, capsys, content, says):
    path = write(content)
    assert main(["check", path]) == 1
    line, summary = capsys.readouterr().out.splitlines()
    assert line.startswith("error: file: ") and says in line and summary == f"{path}: 1 error"


@pytest.mark.parametrize("start, end, words, warning", [
    ("0", "2", 6, "about 2.4 s will probably be cut off: the segment lasts 2.0 s"), ("0", "2", 5, None),
    ("00:00:01.5", "2000ms", 2, "about 0.8 s will probably be cut off: the segment lasts 0.5 s")])
def test_check_warns_of_narration_longer_than_its_segment(write, capsys, start, end, words, warning):
    path = write([{"start": "0", "end": "9", "voiceover": "fine"},
                  {"start": start, "end": end, "voiceover": " ".join(["word"] * words)}])
    assert main(["check", path]) == 0
    out = capsys.readouterr().out
    assert where(out) == ([("warning", 2, "voiceover")] if warning else []) and (warning or "") in out
    assert out.splitlines()[-1] == f"{path}: OK" + (" (1 warning)" if warning else "")


@pytest.fixture
def services(standins):
    download, speech, router = standins
    return download, router


@pytest.mark.parametrize("recap", [False, True])
def test_every_problem_in_one_pass_before_any_download(services, write, capsys, tmp_path, recap):
    path = write(BAD)
    assert main(["recap", URL, path, "--voice", "v", "--output-dir", str(tmp_path)] if recap else ["check", path]) == 1
    out, err = capsys.readouterr()
    report = err if recap else out
    assert where(report) == [("error", i, m) for i, m in BAD_WHERE] and "'.5'" in report and "'12:60'" in report
    assert services[1].calls == [] and services[0].requests == []
    assert not recap or (out == "" and "nothing was downloaded" in err)


@pytest.mark.parametrize("flags", [["-q"], ["--debug"], ["--no-check", "--quiet"]])
def test_recap_failure_is_one_line(services, write, capsys, tmp_path, flags):
    download, _ = services
    download.script_job(body={"success": False, "error": "quota"})
    path = write(BAD if "--no-check" in flags else GOOD[:1])
    assert main(["recap", URL, path, "--voice", "v", "--output-dir", str(tmp_path), "--services", "configured",
                 *flags]) == 1
    err = capsys.readouterr().err
    assert len(download.requests) == 1  # with --no-check the bad file gets as far as the download
    if "--debug" in flags:
        raised = "Exception: Download API error: {'success': False, 'error': 'quota'}"
        assert "\nTraceback (most recent call last):" in err and err.splitlines()[-1] == raised
    else:
        assert err.splitlines() == ["vantor: the download service refused the video: quota; check the address"]


@pytest.mark.slow
def test_recap_success_prints_the_result_last(services, write, capsys, tmp_path):
    rc = main(["recap", URL, write(GOOD), "--voice", "v", "--speed", "1.5", "--output-dir", str(tmp_path),
               "--services", "configured"])
    out, err = capsys.readouterr()
    lines = out.splitlines()  # the result alone; progress on stderr
    assert rc == 0 and lines == [os.path.join(str(tmp_path), "FINAL_RECAP.mp4")], err
    assert os.path.getsize(lines[-1]) > 0 and len(services[0].requests) == 4 and "Segment 2/2" in err


def test_doctor_reports_tools_encoders_and_hosts():
    doctor = python("-m", "vantor", "doctor")
    out = doctor.stdout
    assert doctor.returncode == 0 and out.splitlines()[-1] == "ready (local services)", out + doctor.stderr
    assert re.search(r"^✓ ffmpeg: /\S+ \(ffmpeg version \S+", out, re.M)
    assert re.search(r"^✓ wget: /\S+ \(GNU Wget \d", out, re.M)
    assert "✓ encoder libx264: works\n" in out
    assert all(host in out for host in (settings.DOWNLOAD_API_BASE, settings.DOWNLOAD_ORIGIN, settings.TTS_HOST))
    if "✓ encoder h264_nvenc: works" not in out:
        tool = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                               "color=size=1080x1920", "-frames:v", "1", "-c:v", "h264_nvenc", "-f", "null", "-"],
                              capture_output=True, text=True, timeout=60)
        (line,) = [re.sub(r" @ 0x\w+", "", line) for line in out.splitlines() if "h264_nvenc:" in line]
        assert tool.returncode != 0 and line.startswith("i encoder h264_nvenc: not available (GPU unavailable, ")
        assert out.count("GPU unavailable") == 1
        assert all(re.sub(r" @ 0x\w+", "", e.strip()) in line for e in tool.stderr.strip().splitlines())


def test_doctor_without_the_tools(tmp_path):
    done = python("-m", "vantor", "doctor", env={**os.environ, "PATH": str(tmp_path)})
    assert done.returncode == 1, done.stderr
    assert "✗ ffmpeg: not found on PATH" in done.stdout and "✗ wget: not found on PATH" in done.stdout
    missing = [line for line in done.stdout.splitlines() if line.startswith("✗")]
    assert len(missing) >= 4 and all(re.search(r": install with: apt-get install [a-z-]+$", m) for m in missing), missing
    assert "encoder" not in done.stdout and done.stdout.splitlines()[-1] == "not ready"


def test_entry_points(write):
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    assert scripts == {"vantor": "vantor.cli:main"}
    helped = python("-m", "vantor", "--help")
    listed = re.findall(r"^ {4}(\w+) +\S", helped.stdout, re.M)
    assert helped.returncode == 0 and listed == ["recap", "check", "doctor", "serve", "voices", "demo", "batch", "studio",
                                                 "transcript", "suggest"], helped.stdout
    refused = python("-m", "vantor", "recap", URL, write(BAD), "--voice", "v")
    assert (refused.returncode, refused.stdout) == (1, "") and len(where(refused.stderr)) == len(BAD_WHERE)


@pytest.mark.parametrize("name", OPS)
def test_stub_matches_runtime(engine, name):
    tree = ast.parse((ROOT / "vantor" / "vantor.pyi").read_text())
    (stub,) = [n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == name]
    assert not ((a := stub.args).posonlyargs or a.kwonlyargs or a.vararg or a.kwarg)
    defaults = [inspect.Parameter.empty] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    stubbed = [(p.arg, ast.unparse(p.annotation), d) for p, d in zip(a.args, defaults)]
    signature = inspect.signature(getattr(engine, name))
    assert stubbed == [(p.name, p.annotation, p.default) for p in signature.parameters.values()]
    assert ast.unparse(stub.returns) == signature.return_annotation
    assert f"{name}(" in pydoc.plain(pydoc.render_doc(getattr(engine, name)))  # help() shows the signature
    imported = {alias.asname for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom)) for alias in n.names}
    assert imported <= set(vars(engine))


def test_mypy_checks_calls_against_the_stub(tmp_path):
    pytest.importorskip("mypy")
    snippet = """import vantor, vantor.vantor
a: str = vantor.vantor.run_recap('u', 's.json', 1.5, 'v')
b: str = vantor.run_recap('u', 's.json', 2, 'v', output_dir='o')
c: str = vantor.vantor.run_recap(1, 's.json', 1.5, 'v')  # error
d: int = vantor.run_recap('u', 's.json', 1.5, 'v')  # error
vantor.vantor._build_atempo_chain('2')  # error
"""
    (tmp_path / "snippet.py").write_text(snippet)
    done = python("-m", "mypy", "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "snippet.py"))
    errors = [int(n) for n in re.findall(r"snippet\.py:(\d+): error", done.stdout)]
    assert errors == [n for n, line in enumerate(snippet.splitlines(), 1) if line.endswith("# error")], done.stdout


STANDALONE = """import glob, importlib.util, json, sys
spec = importlib.util.spec_from_file_location("vantor.vantor", *glob.glob("vantor/vantor.cpython-313-*.so"))
engine = sys.modules["vantor.vantor"] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(engine)  # the engine alone, before the package
before = dict(vars(engine))
import vantor
print(json.dumps([vantor.run_recap is engine.run_recap, vantor.__version__, vars(engine).keys() == before.keys()
                  and all(vars(engine)[k] is v for k, v in before.items())]))"""


def test_package_surface(engine):
    assert python("-c", "import sys, vantor; print('vantor.vantor' in sys.modules)").stdout == "False\n"
    done = python("-c", STANDALONE)
    assert json.loads(done.stdout) == [True, vantor.__version__, True], done.stderr
    assert vantor.run_recap is engine.run_recap
    engine.run_recap = marker = lambda *args: "rebound"
    assert vantor.run_recap is marker and re.fullmatch(r"\d+\.\d+\.\d+", vantor.__version__)
    installed = {d.version for d in importlib.metadata.distributions(name="vantor")}
    assert installed <= {vantor.__version__}  # when installed at all


def test_whole_number_options_take_their_bounds_and_refuse_past_them():
    from vantor.commands._common import PORT, whole_number

    assert [PORT("0"), PORT("65535"), whole_number(1)("1"), whole_number(1, 1000)("1000")] == [0, 65535, 1, 1000]
    for parse, text in [(PORT, "-1"), (PORT, "65536"), (PORT, "80x"), (whole_number(1), "0"),
                        (whole_number(1, 1000), "1001"), (whole_number(1, 1000), "0")]:
        with pytest.raises(argparse.ArgumentTypeError):
            parse(text)


def test_a_mistyped_voice_or_swapped_arguments_are_named(write, tmp_path, capsys):
    """recap, check --voice, make_recap: the name a mistyped voice likely
    meant (case aside; none when nothing is near); swapped address and file."""
    segments, typo = write(GOOD), str(tmp_path / "typo.json")  # no such file: still no address
    common = ["--services", "local", "--output-dir", str(tmp_path)]
    for argv in (["recap", URL, segments, "--voice", "en-US-GuyNeurl", *common],
                 ["check", segments, "--voice", "EN-GB", "--services", "local"],
                 ["check", segments, "--voice", "Sonia"],
                 ["recap", segments, URL, "--voice", "en-us", *common], ["recap", typo, URL, "--voice", "en-us"]):
        assert main(argv) == 1
    assert capsys.readouterr().err.splitlines() == [
        "vantor: unknown voice 'en-US-GuyNeurl'; did you mean 'en-US-GuyNeural'? see vantor voices",
        "vantor: unknown voice 'EN-GB'; did you mean 'en-gb'? see vantor voices",
        "vantor: unknown voice 'Sonia'; see vantor voices", *[
            f"vantor: the video address and the segments file are swapped: {URL!r} is the address and {name!r} the "
            "segments; give the address first (vantor recap URL SEGMENTS)" for name in (segments, typo)]]
    with pytest.raises(vantor.PreflightError, match=r"^unknown voice 'de-DE-KatjaNeurall'; did you mean "
                                                    r"'de-DE-KatjaNeural'\? see vantor voices$"):
        vantor.make_recap(URL, GOOD, voice="de-DE-KatjaNeurall", output_dir=tmp_path, services="local")
    with pytest.raises(vantor.PreflightError, match=r"swapped: .*; give the address first \(url, segments\)$"):
        vantor.make_recap(segments, URL, voice="en-us", output_dir=tmp_path, services="local")
    assert os.listdir(tmp_path) == ["segments.json"]
