"""Whole recap runs with real ffmpeg; the download and the narration come from
local stand-ins, and a recording wrapper around subprocess sees every command."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import subprocess
import types

import pytest

import vantor.vantor as engine_module
from vantor.doctor import try_encoder
from standins.media import make_narration_mp3

URL = "https://www.youtube.com/watch?v=recap-test"
VOICE = "en-US-TestVoice"
FF = ["ffmpeg", "-y", "-loglevel", "error"]
CHECK = {"check": True}
VF = "*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920"
FALLBACK = "  (GPU unavailable, using CPU encoder...)"
# Where the hardware encoder really works the software run never happens.
HARDWARE_WORKS = try_encoder("h264_nvenc")[0]
ONE = [{"start": "1", "end": "2", "voiceover": "one"}]
OUTPUTS = ["FINAL_RECAP.mp4", "horizontal_final.mp4"]


class Rig:
    """Stand-in services, a recording subprocess and a recording pause."""

    def __init__(self, source_video, alter=None):
        self.source = source_video
        self.alter = alter  # (argv, kwargs) -> result, or None to run argv as given
        self.calls: list[tuple] = []
        self.commands: list[tuple[list, dict]] = []
        self.lists: list[str] = []
        self.sleeps: list[float] = []

    def download(self, url, output_file):
        self.calls.append(("download", url, output_file, os.path.exists(output_file)))
        shutil.copyfile(self.source, output_file)

    def narrate(self, text, output_file, voice):
        self.calls.append(("tts", text, output_file, voice))
        make_narration_mp3(output_file, text, seconds=1.5)

    def run(self, argv, **kwargs):
        self.commands.append((list(argv), kwargs))
        if "concat" in argv:  # the list as ffmpeg is about to read it
            with open(argv[9], encoding="utf-8") as f:
                self.lists.append(f.read())
        if self.alter is not None and (result := self.alter(list(argv), kwargs)) is not None:
            return result
        return subprocess.run(argv, **kwargs)

    def install(self, module):
        module._download_video = self.download
        module._generate_tts = self.narrate
        module.subprocess = types.SimpleNamespace(run=self.run)
        module.time = types.SimpleNamespace(sleep=self.sleeps.append)
        return self

    def tts_count(self):
        return sum(1 for call in self.calls if call[0] == "tts")


@contextlib.contextmanager
def restored(module):
    saved = dict(vars(module))
    try:
        yield module
    finally:
        for name in set(vars(module)) - set(saved):
            delattr(module, name)
        for name, value in saved.items():
            setattr(module, name, value)


def recap(module, segments_file, output_dir, speed=1.5):
    """Runs a recap; returns (result, error, printed lines)."""
    out = io.StringIO()
    result = error = None
    with contextlib.redirect_stdout(out):
        try:
            result = module.run_recap(URL, str(segments_file), speed, VOICE, output_dir)
        except Exception as exc:  # noqa: BLE001 - the test judges the type
            error = exc
    return result, error, out.getvalue().splitlines()


def make_dir(path):
    path.mkdir(parents=True)
    return path


def write_segments(path, data):
    path.write_bytes(data if isinstance(data, bytes) else json.dumps(data).encode())
    return path


def expected_commands(p, ranges, vf, af):
    cmds = []
    for i, (start, end) in enumerate(ranges):
        cmds.append((FF + ["-ss", start, "-to", end, "-i", p + "movie.mp4", "-c", "copy", "-an", f"{p}clip_{i}.mp4"], CHECK))
        cmds.append((FF + ["-i", f"{p}clip_{i}.mp4", "-i", f"{p}voice_{i}.mp3", "-map", "0:v", "-map", "1:a",
                           "-c:v", "copy", "-c:a", "aac", "-shortest", f"{p}merged_{i}.mp4"], CHECK))
    cmds.append((FF + ["-f", "concat", "-safe", "0", "-i", p + "filelist.txt", "-c", "copy",
                       p + "horizontal_final.mp4"], CHECK))
    base = FF + ["-i", p + "horizontal_final.mp4", "-vf", vf, "-af", af, "-c:a", "aac"]
    cmds.append((base + ["-c:v", "h264_nvenc", "-preset", "p1", "-cq", "23", p + "FINAL_RECAP.mp4"],
                 {"capture_output": True}))
    if not HARDWARE_WORKS:
        cmds.append((base + ["-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", p + "FINAL_RECAP.mp4"], CHECK))
    return cmds


def tail_lines(p, speed_text, fallback=not HARDWARE_WORKS):
    return (["\U0001F517 Concatenating segments...", f"\U0001F4D0 Converting to 9:16 vertical at {speed_text}x speed..."]
            + [FALLBACK] * fallback
            + ["\U0001F9F9 Cleaning up...", f"\u2705 Done! Horizontal Output: {p}horizontal_final.mp4",
               f"\u2705 Done! Vertical Output: {p}FINAL_RECAP.mp4"])


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,width,height:format=duration",
                          "-of", "json", str(path)], capture_output=True, check=True, text=True).stdout
    data = json.loads(out)
    return {s["codec_type"]: s for s in data["streams"]}, float(data["format"]["duration"])


def assert_vertical(out_dir, speed):
    streams, final = probe(os.path.join(out_dir, "FINAL_RECAP.mp4"))
    _, horizontal = probe(os.path.join(out_dir, "horizontal_final.mp4"))
    assert set(streams) == {"video", "audio"}
    assert (streams["video"]["width"], streams["video"]["height"]) == (1080, 1920)
    assert horizontal > 0.5 and final == pytest.approx(horizontal / speed, abs=0.25)


@pytest.fixture
def rig(engine, source_video):
    return Rig(source_video).install(engine)

MAIN_RANGES = [("1", "2"), ("00:00:05", "00:00:06.5")]


@pytest.fixture(scope="module")
def main_run(source_video, tmp_path_factory):
    root = tmp_path_factory.mktemp("main")
    out = make_dir(root / "out")
    (out / "movie.mp4").write_bytes(b"left by an earlier run")
    segments = [{"start": s, "end": e, "voiceover": f"part {i}", "note": [i]} for i, (s, e) in enumerate(MAIN_RANGES)]
    seg_file = write_segments(root / "segments.json", segments)
    with restored(engine_module):
        rig = Rig(source_video).install(engine_module)
        result, error, lines = recap(engine_module, seg_file, str(out))
    return types.SimpleNamespace(rig=rig, result=result, error=error, lines=lines, out=str(out), p=f"{out}/")


@pytest.mark.slow
def test_run_prints_returns_and_leaves_two_outputs(main_run):
    r = main_run
    assert r.error is None
    assert r.lines == ["\U0001F3AC Processing 2 segments...", "  Segment 1/2: 1 \u2192 2",
                       "  Segment 2/2: 00:00:05 \u2192 00:00:06.5"] + tail_lines(r.p, "1.5")
    assert r.result == r.p + "FINAL_RECAP.mp4"
    assert sorted(os.listdir(r.out)) == OUTPUTS
    assert_vertical(r.out, 1.5)


@pytest.mark.slow
def test_run_calls_services_and_tools_exactly(main_run):
    r, p = main_run.rig, main_run.p
    assert r.calls == [("download", URL, p + "movie.mp4", False),
                       ("tts", "part 0", p + "voice_0.mp3", VOICE), ("tts", "part 1", p + "voice_1.mp3", VOICE)]
    assert r.sleeps == [0.5, 0.5]
    assert r.commands == expected_commands(p, MAIN_RANGES, "setpts=0.666667" + VF, "atempo=1.5")
    assert r.lists == [f"file '{main_run.out}/merged_0.mp4'\nfile '{main_run.out}/merged_1.mp4'\n"]


@pytest.mark.slow
@pytest.mark.parametrize("output_dir, prefix, sub", [("", "", ""), ("out/", "out/", "out"), ("out", "out/", "out"),
                                                    (".", "./", "")])
def test_output_dir_join_rule(engine, rig, tmp_path, monkeypatch, output_dir, prefix, sub):
    work = make_dir(tmp_path / "work" / "out").parent
    monkeypatch.chdir(work)
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", ONE), output_dir)
    assert error is None and result == prefix + "FINAL_RECAP.mp4"
    assert lines[-2:] == tail_lines(prefix, "1.5")[-2:]
    assert rig.calls[0][2] == prefix + "movie.mp4" and rig.calls[1][2] == prefix + "voice_0.mp3"
    assert rig.commands == expected_commands(prefix, [("1", "2")], "setpts=0.666667" + VF, "atempo=1.5")
    assert rig.lists == [f"file '{os.path.join(str(work), sub, 'merged_0.mp4')}'\n"]
    assert sorted(p for p in os.listdir(work / sub) if p != "out") == OUTPUTS


@pytest.mark.slow
def test_apostrophe_dir_integer_speed_and_rebound_tempo_chain(engine, rig, tmp_path):
    out = make_dir(tmp_path / "it's the out dir")
    seen = []
    engine._build_atempo_chain = lambda speed: seen.append(speed) or "atempo=1.25,atempo=1.6"
    data = ONE + [{"start": "4", "end": "5", "voiceover": "two"}]
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", data), str(out), speed=2)
    assert error is None and result == f"{out}/FINAL_RECAP.mp4"
    assert seen == [2.0] and type(seen[0]) is float
    assert lines[3:] == tail_lines(f"{out}/", "2.0")
    quoted = str(out).replace("'", "'\\''")
    assert rig.lists == [f"file '{quoted}/merged_0.mp4'\nfile '{quoted}/merged_1.mp4'\n"]
    assert [(c[7], c[9]) for c, _ in rig.commands[-2:]] == [("setpts=0.500000" + VF, "atempo=1.25,atempo=1.6")] * 2
    assert sorted(os.listdir(out)) == OUTPUTS
    assert_vertical(str(out), 2.0)


@pytest.mark.parametrize("kind", ["file", "dir"])
def test_old_movie_removed_before_download(engine, rig, tmp_path, kind):
    movie = tmp_path / "movie.mp4"
    movie.write_bytes(b"old") if kind == "file" else movie.mkdir()

    def download(url, path):
        rig.calls.append(("download", os.path.exists(path)))
        raise ConnectionError("service down")

    engine._download_video = download
    result, error, lines = recap(engine, tmp_path / "unused.json", str(tmp_path))
    if kind == "file":
        assert type(error) is ConnectionError and rig.calls == [("download", False)] and not movie.exists()
    else:
        assert type(error) is IsADirectoryError and rig.calls == [] and movie.is_dir()
    assert lines == []


P1 = "\U0001F3AC Processing 1 segments..."
S1 = "  Segment 1/1: 1 \u2192 2"
SEGMENT_FAULTS = [
    pytest.param(None, FileNotFoundError, "", [], {"movie.mp4"}, id="missing"),
    pytest.param(b'[{"voiceover": "caf\xe9"}]', UnicodeDecodeError, "utf-8", [], {"movie.mp4"}, id="not-utf8"),
    pytest.param(b"\xef\xbb\xbf[]", json.JSONDecodeError, "BOM", [], {"movie.mp4"}, id="bom"),
    pytest.param(b'{"start": "1", "end": "2", "voiceover": "x"}', TypeError, "", [], {"movie.mp4"}, id="not-array"),
    pytest.param(b"[5]", TypeError, "", [P1], {"movie.mp4"}, id="element-not-object"),
    pytest.param(b'[{"end": "2", "voiceover": "x"}]', KeyError, "start", [P1], {"movie.mp4"}, id="no-start"),
    pytest.param(b'[{"start": "1", "voiceover": "x"}]', KeyError, "end", [P1], {"movie.mp4"}, id="no-end"),
    pytest.param(b'[{"start": "1", "end": "2"}]', KeyError, "voiceover", [P1, S1], {"movie.mp4"}, id="no-voiceover"),
    pytest.param(b'[{"start": "1", "end": "2", "voiceover": 7}]', TypeError, "'text'", [P1, S1], {"movie.mp4"},
                 id="voiceover-not-text"),
    pytest.param(b'[{"start": 1, "end": "2", "voiceover": "x"}]', TypeError, "int", [P1, S1],
                 {"movie.mp4", "voice_0.mp3"}, id="start-not-text"),
    pytest.param(b"[]", subprocess.CalledProcessError, "", ["\U0001F3AC Processing 0 segments...",
                 "\U0001F517 Concatenating segments..."], {"movie.mp4", "filelist.txt"}, id="empty"),
]


@pytest.mark.parametrize("content, error_type, detail, expected_lines, left", SEGMENT_FAULTS)
def test_segments_file_faults(engine, source_video, tmp_path, content, error_type, detail, expected_lines, left):
    real_tts = engine._generate_tts
    rig = Rig(source_video).install(engine)
    if error_type is TypeError and detail == "'text'":
        engine._generate_tts = real_tts  # its own argument check must refuse before any request
    out = make_dir(tmp_path / "out")
    seg_file = tmp_path / "segments.json"
    if content is not None:
        write_segments(seg_file, content)
    result, error, lines = recap(engine, seg_file, str(out))
    assert type(error) is error_type and detail in str(error)
    assert lines == expected_lines
    assert set(os.listdir(out)) == left
    assert rig.sleeps == [0.5] * rig.tts_count()
    assert [c[0] for c in rig.calls][:1] == ["download"]


@pytest.mark.slow
def test_failure_in_third_of_five_segments(engine, rig, tmp_path):
    def narrate(text, output_file, voice):
        if rig.tts_count() == 2:
            rig.calls.append(("tts", text, output_file, voice))
            with open(output_file, "wb") as f:
                f.write(b"ID3 partial")
            raise ConnectionError("narration service dropped the connection")
        rig.narrate(text, output_file, voice)

    engine._generate_tts = narrate
    data = [{"start": str(i * 2), "end": str(i * 2 + 1), "voiceover": f"part {i}"} for i in range(5)]
    out = make_dir(tmp_path / "out")
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", data), str(out))
    assert type(error) is ConnectionError
    assert lines == ["\U0001F3AC Processing 5 segments..."] + [
        f"  Segment {i + 1}/5: {i * 2} \u2192 {i * 2 + 1}" for i in range(3)]
    assert sorted(os.listdir(out)) == ["merged_0.mp4", "merged_1.mp4", "movie.mp4", "voice_2.mp3"]
    assert rig.sleeps == [0.5, 0.5] and len(rig.commands) == 4


def hardware_succeeds(argv, kwargs):
    if "h264_nvenc" in argv:  # stands in for a working GPU encoder
        swap = {"h264_nvenc": "libx264", "p1": "ultrafast", "-cq": "-crf"}
        return subprocess.run([swap.get(a, a) for a in argv], **kwargs)
    return None


def software_fails(argv, kwargs):
    if "h264_nvenc" in argv:  # no GPU, even on a machine that has one
        return subprocess.CompletedProcess(argv, 1, b"", b"")
    if "libx264" in argv:
        return subprocess.run([a.replace("libx264", "vantor_no_such_encoder") for a in argv], **kwargs)
    return None


def tool_missing(argv, kwargs):
    if "h264_nvenc" in argv:
        return subprocess.run(["vantor-no-such-ffmpeg"] + argv[1:], **kwargs)
    return None


HEAD = ["\U0001F3AC Processing 1 segments...", S1]
WORKING = {"movie.mp4", "merged_0.mp4", "filelist.txt", "horizontal_final.mp4"}


@pytest.mark.slow
@pytest.mark.parametrize("alter, error_type, lines_kept, cpu_runs, left", [
    pytest.param(hardware_succeeds, None, None, 0, set(OUTPUTS), id="hardware-ok"),
    pytest.param(software_fails, subprocess.CalledProcessError, 5, 1, WORKING, id="software-fails"),
    pytest.param(tool_missing, FileNotFoundError, 4, 0, WORKING, id="tool-missing"),
])
def test_conversion_outcomes(engine, source_video, tmp_path, alter, error_type, lines_kept, cpu_runs, left):
    rig = Rig(source_video, alter).install(engine)
    out = make_dir(tmp_path / "out")
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", ONE), str(out))
    assert type(error) is (error_type or type(None))
    full = HEAD + tail_lines(f"{out}/", "1.5", fallback=error_type is not None)
    assert lines == (full if lines_kept is None else full[:lines_kept])
    assert sum("libx264" in c for c, _ in rig.commands) == cpu_runs
    # A failed encoder may leave a partial FINAL_RECAP.mp4; it stays too.
    assert set(os.listdir(out)) - ({"FINAL_RECAP.mp4"} if error_type else set()) == left
    if error_type is None:
        assert result == f"{out}/FINAL_RECAP.mp4"
        assert_vertical(str(out), 1.5)
