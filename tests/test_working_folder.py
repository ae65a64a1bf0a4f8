"""A recap never touches the user's files: the engine works in a folder of
the run's own inside the output directory, the results are checked and
renamed into place, an existing result is replaced only when asked, and a
failed, interrupted or cancelled run leaves its working folder (named in the
message) and nothing under the final names."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import vantor
from test_interrupt import processes_naming
from vantor.recap.engine.outputs import IncompleteVideo, OutputError, OutputNames, mp4_fault, publish
from vantor.recap.engine.run import RunCancelled, kept_work_dir

ROOT = Path(__file__).resolve().parents[1]
URL = "https://www.youtube.com/watch?v=folder-test"
ONE = [{"start": "1", "end": "3", "voiceover": "One."}]
USER_FILES = {"movie.mp4": b"my own film" * 1000, "merged_0.mp4": b"m0", "filelist.txt": b"file 'x'\n",
              "clip_0.mp4": b"c0", "voice_0.mp3": b"v0", "notes.txt": b"notes", "horizontal_final.mp4.bak": b"b"}


@pytest.fixture
def services(standins):
    download, speech, router = standins
    return download, speech


def users_folder(path: Path) -> Path:
    path.mkdir()
    for name, data in USER_FILES.items():
        (path / name).write_bytes(data)
    return path


def assert_untouched(path: Path) -> None:
    assert {name: (path / name).read_bytes() for name in USER_FILES} == USER_FILES


def working_folders(path: Path) -> list[str]:
    return [name for name in os.listdir(path) if name.startswith(".vantor-run-")]


@pytest.mark.slow
def test_the_users_files_survive_a_successful_and_a_failed_recap(services, tmp_path):
    out = users_folder(tmp_path / "out")
    result = vantor.make_recap(URL, ONE, voice="v", speed=2, output_dir=out, quiet=True, services="configured")
    assert_untouched(out)
    assert result.final == out / "FINAL_RECAP.mp4" and mp4_fault(str(result.final)) is None
    assert sorted(set(os.listdir(out)) - set(USER_FILES)) == ["FINAL_RECAP.mp4", "horizontal_final.mp4"]

    for keep_work in (False, True):  # the narration fails half-way through the run
        services[1].script_answer(status=500)
        with pytest.raises(Exception, match="HTTP 500") as failed:
            vantor.make_recap(URL, ONE, voice="v", output_dir=out, quiet=True, services="configured",
                              output_name="second.mp4", keep_work=keep_work)
        assert_untouched(out)
        assert not (out / "second.mp4").exists() and not (out / "second.horizontal.mp4").exists()
        if not keep_work:  # removed, and not named
            assert working_folders(out) == [] and kept_work_dir(failed.value) is None
            assert "kept" not in "".join(getattr(failed.value, "__notes__", []))
    (kept,) = working_folders(out)
    assert kept_work_dir(failed.value) == str(out / kept) and "movie.mp4" in os.listdir(out / kept)


@pytest.mark.slow
def test_an_existing_result_is_refused_before_any_request_and_replaced_when_asked(services, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "FINAL_RECAP.mp4").write_bytes(b"an earlier recap")
    with pytest.raises(vantor.PreflightError, match=r"FINAL_RECAP\.mp4 exists; pass overwrite=True"):
        vantor.make_recap(URL, ONE, voice="v", output_dir=out, quiet=True, services="configured")
    assert services[0].requests == [] and working_folders(out) == []
    named = vantor.make_recap(URL, ONE, voice="v", output_dir=out, quiet=True, services="configured",
                              output_name="mine.mp4")
    assert (named.final.name, named.horizontal.name) == ("mine.mp4", "mine.horizontal.mp4")
    assert (out / "FINAL_RECAP.mp4").read_bytes() == b"an earlier recap"
    replaced = vantor.make_recap(URL, ONE, voice="v", output_dir=out, quiet=True, services="configured",
                                 overwrite=True)
    assert mp4_fault(str(replaced.final)) is None and working_folders(out) == []


@pytest.mark.slow
def test_cancel_from_another_thread_stops_the_conversion(services, tmp_path):
    out = users_folder(tmp_path / "out")
    runs = []

    def on_event(event):
        if event.kind == "conversion":  # the conversion's ffmpeg starts right after
            threading.Timer(0.3, runs[0].cancel).start()

    began = time.monotonic()
    with pytest.raises(RunCancelled, match="^the recap was cancelled$"):
        vantor.make_recap(URL, [{"start": "0", "end": "11", "voiceover": "Long."}], voice="v", output_dir=out,
                          quiet=True, services="configured", on_start=runs.append, on_event=on_event)
    assert time.monotonic() - began < 120
    assert_untouched(out)
    assert not (out / "FINAL_RECAP.mp4").exists()
    assert working_folders(out) == [] and processes_naming(str(out)) == []  # removed once ffmpeg had ended


@pytest.mark.slow
def test_output_directory_removed_during_the_conversion_is_a_clear_failure(services, tmp_path):
    out = tmp_path / "out"
    out.mkdir()

    def on_event(event):
        if event.kind == "conversion":
            shutil.rmtree(out)

    with pytest.raises(OutputError, match=r"^the working folder .*/out/\.vantor-run-\w+ disappeared during the run "
                                          r"\(was the output directory .*/out removed\?\); nothing was made$"):
        vantor.make_recap(URL, ONE, voice="v", output_dir=out, quiet=True, services="configured",
                          on_event=on_event)
    assert not out.exists()


@pytest.mark.slow
def test_ctrl_c_during_the_conversion_keeps_the_previous_result_and_names_the_folder(source_video, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "FINAL_RECAP.mp4").write_bytes(b"the previous recap")
    segments = tmp_path / "long.json"
    segments.write_text('[{"start": "0", "end": "11", "voiceover": "long"}]', encoding="utf-8")
    argv = [sys.executable, str(ROOT / "tests" / "standin_command.py"), str(tmp_path / "record.json"), source_video,
            "recap", URL, str(segments), "--voice", "v", "--output-dir", str(out), "--services", "configured",
            "--force", "--keep-work"]
    child = subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not any("FINAL_RECAP.mp4" in p[2][-1] and "-c:v" in p[2] for p in processes_naming(str(out))):
            assert child.poll() is None, child.communicate()
            assert time.monotonic() < deadline, "the conversion never started"
            time.sleep(0.02)
        os.killpg(child.pid, signal.SIGINT)  # what a terminal's Ctrl-C does
        out_text, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    assert (child.returncode, out_text) == (130, "")
    (kept,) = working_folders(out)
    assert err.splitlines()[-1] == f"vantor: interrupted; the working files are kept in {out / kept}"
    assert (out / "FINAL_RECAP.mp4").read_bytes() == b"the previous recap"
    assert not (out / "horizontal_final.mp4").exists() and processes_naming(str(out)) == []


def test_mp4_completeness_is_read_from_the_boxes(tmp_path, source_video):
    whole = Path(source_video).read_bytes()
    cases = {
        "whole": whole,
        "cut": whole[: len(whole) - 100],  # the last box runs past the end
        "header": whole + b"\0\0\0",  # a box header cut off
        "no-index": b"\0\0\0\x10ftypisom\0\0\0\0" + b"\0\0\0\x10mdat" + b"x" * 8,
        "no-media": b"\0\0\0\x10ftypisom\0\0\0\0" + b"\0\0\0\x08moov",
        "impossible": b"\0\0\0\x04ftyp",
        "empty": b"",
    }
    faults = {}
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
        faults[name] = mp4_fault(str(tmp_path / name))
    # A box over 4 GiB (its size in the 64-bit form) before the index: read as
    # 32 bits its size is 16 and the rest no box chain. Sparse: no disk used.
    with open(tmp_path / "large", "wb") as f:
        f.write(b"\0\0\0\x10ftypisom\0\0\0\0" + b"\0\0\0\x01mdat" + (2**32 + 16).to_bytes(8, "big"))
        f.seek(16 + 2**32 + 16)
        f.write(b"\0\0\0\x08moov")
    faults["large"] = mp4_fault(str(tmp_path / "large"))
    assert faults["whole"] is None and faults["large"] is None
    assert "runs past the end" in faults["cut"] and "cut off" in faults["header"]
    assert "'moov' box, is missing" in faults["no-index"] and "'mdat' box, is missing" in faults["no-media"]
    assert "impossible size" in faults["impossible"] and faults["empty"] == "it is empty"
    assert mp4_fault(str(tmp_path / "absent")) == "it does not exist"


@pytest.mark.parametrize("broken", ["FINAL_RECAP.mp4", "horizontal_final.mp4"])
def test_a_result_without_media_never_replaces_an_earlier_one(tmp_path, source_video, broken):
    """Both results are checked whole before anything moves, even with
    overwrite=True: an index without media data must not cost the user the
    recap they had."""
    out, work = tmp_path / "out", tmp_path / "out" / ".vantor-run-x"
    work.mkdir(parents=True)
    names = OutputNames(captions=True)
    for name in names.results:
        (out / name).write_bytes(b"the previous " + name.encode())
    for name in ("FINAL_RECAP.mp4", "horizontal_final.mp4", "made.vtt"):
        shutil.copyfile(source_video, work / name)
    (work / broken).write_bytes(b"\0\0\0\x10ftypisom\0\0\0\0" + b"\0\0\0\x08moov")  # ftyp and moov, no mdat
    with pytest.raises(IncompleteVideo, match="'mdat' box, is missing"):
        publish(str(work), str(out), names, overwrite=True, extras=[(str(work / "made.vtt"), names.caption_name(".vtt"))])
    assert {name: (out / name).read_bytes() for name in names.results} == {
        name: b"the previous " + name.encode() for name in names.results}


@pytest.mark.parametrize("name, horizontal", [
    ("FINAL_RECAP.mp4", "horizontal_final.mp4"), ("trip.mp4", "trip.horizontal.mp4"),
    ("Trip.MP4", "Trip.horizontal.MP4"), ("horizontal_final.mp4", "horizontal_final.horizontal.mp4")])
def test_output_names(name, horizontal):
    assert OutputNames(name).horizontal == horizontal


@pytest.mark.parametrize("name", ["", ".mp4", "a/b.mp4", "..", "recap.mkv", "recap", ".vantor-run-x.mp4"])
def test_output_names_refused(name):
    with pytest.raises(OutputError):
        OutputNames(name)




@pytest.mark.parametrize("taken", ["FINAL_RECAP.mp4", "horizontal_final.mp4", "preview.png", "film.mp4"])
def test_the_demo_refuses_earlier_results_before_doing_anything(tmp_path, taken):
    (tmp_path / taken).write_bytes(b"mine")
    done = subprocess.run([sys.executable, "-m", "vantor", "demo", "--output-dir", str(tmp_path)], cwd=ROOT,
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"vantor: {tmp_path / taken} exists; pass --force to replace the demo's results\n"
    assert os.listdir(tmp_path) == [taken] and (tmp_path / taken).read_bytes() == b"mine"
