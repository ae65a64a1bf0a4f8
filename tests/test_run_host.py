"""The engine's steps through a per-run host: what a host is handed, in
order; a host shaping the conversion's command; the product host's
restriction of ffmpeg's inputs to local files (a whole run's commands are
checked in test_captions, its pauses in test_engine_bindings)."""

from __future__ import annotations

import json
import os
import shutil
import stat
import subprocess

import pytest

import vantor.vantor as engine
from standins.media import make_narration_mp3
from vantor.bindings import engine_run
from vantor.recap.engine import fetch_step
from vantor.recap.engine.host import restricted_inputs
from vantor.recap.engine.steps import Fetch, StepHost

RANGES = [{"start": "0", "end": "1.5", "voiceover": "one"}, {"start": "3", "end": "4", "voiceover": "two"},
          {"start": "6", "end": "7.5", "voiceover": "three"}]


class Answer:
    def __init__(self, body):
        self.body = body

    def json(self):
        return self.body

    def raise_for_status(self):
        return None


class Recorder(StepHost):
    """Answers the download job itself and copies the video for its fetch;
    the hardware conversion fails as on a machine without one; everything
    else as the engine does, recorded."""

    def __init__(self, source):
        self.source, self.steps = source, []

    def step(self, kind, fields):
        self.steps.append((kind, fields))
        return super().step(kind, fields)

    def job(self, step):
        return Answer({"success": True, "id": 7, "progress_url": "http://127.0.0.1:9/p"})

    def poll(self, step):
        return Answer({"success": True, "progress": 1000, "download_url": "http://127.0.0.1:9/f.mp4"})

    def pause(self, step):
        return None

    def fetch(self, step):
        shutil.copyfile(self.source, step.target)
        return 0

    def narration(self, step):
        make_narration_mp3(step.target, step.text, seconds=0.8)

    def conversion(self, step):
        return 1 if step.encoder == "h264_nvenc" else super().conversion(step)


def recap(tmp_path, host):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(RANGES))
    out = tmp_path / "out"
    out.mkdir()
    with engine_run(host=host):
        engine.run_recap("https://example.test/v", str(segments), 2.0, "en-us", str(out))
    return out


def test_a_recording_host_sees_every_step_in_order_with_its_data(source_video, tmp_path):
    host = Recorder(source_video)
    out = str(recap(tmp_path, host))
    shown = [fields["kind"] for kind, fields in host.steps if kind == "event"]
    assert shown == ["requesting", "job", "job-progress", "fetching", "downloaded", "segments",
                     "segment", "segment", "segment", "concatenating", "converting", "fallback", "cleaning",
                     "horizontal", "vertical"]
    steps = [kind for kind, _ in host.steps if kind != "event"]
    assert steps == ["job", "pause", "poll", "fetch", *["narration", "pause", "cut", "merge", "cleanup"] * 3,
                     "concat", "conversion", "conversion", "cleanup"]
    data = {kind: [f for k, f in host.steps if k == kind] for kind, _ in host.steps}
    assert [(f["index"], f["start"], f["end"]) for f in data["cut"]] == [(0, "0", "1.5"), (1, "3", "4"), (2, "6", "7.5")]
    assert data["cut"][1]["argv"] == ["ffmpeg", "-y", "-loglevel", "error", "-ss", "3", "-to", "4", "-i",
                                      f"{out}/movie.mp4", "-c", "copy", "-an", f"{out}/clip_1.mp4"]
    assert [(f["index"], f["text"], f["target"]) for f in data["narration"]] == [
        (i, r["voiceover"], f"{out}/voice_{i}.mp3") for i, r in enumerate(RANGES)]
    assert [f["why"] for f in data["pause"]] == ["poll", "narration", "narration", "narration"]
    merged = [f"{out}/merged_{i}.mp4" for i in range(3)]
    assert data["concat"][0]["clips"] == merged == [f["target"] for f in data["merge"]]
    hardware, software = data["conversion"]
    assert (hardware["encoder"], hardware["checked"], software["encoder"], software["checked"]) == (
        "h264_nvenc", False, "libx264", True)
    assert software["source"] == f"{out}/horizontal_final.mp4" and software["speed"] == 2.0
    assert data["cleanup"][-1]["paths"] == [*merged, f"{out}/filelist.txt", f"{out}/movie.mp4"]
    segment = [f for k, f in host.steps if k == "event" and f["kind"] == "segment"][2]
    assert (segment["index"], segment["count"], segment["text"]) == (2, 3, "  Segment 3/3: 6 \u2192 7.5")
    vertical = host.steps[-1][1]
    assert vertical["path"] == f"{out}/FINAL_RECAP.mp4" and vertical["text"].endswith(vertical["path"])


def test_a_host_that_extends_the_conversion_has_its_command_run(source_video, tmp_path):
    class Shaping(Recorder):
        def conversion(self, step):
            if step.encoder == "h264_nvenc":
                return 1
            return self.command([*step.argv[:-1], "-metadata", "comment=shaped", step.argv[-1]], captured=False)

    out = recap(tmp_path, Shaping(source_video))
    tags = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags=comment", "-of", "csv=p=0",
                           str(out / "FINAL_RECAP.mp4")], capture_output=True, text=True).stdout
    assert tags.strip() == "shaped"


@pytest.mark.parametrize("argv, restricted", [
    (["ffmpeg", "-y", "-i", "a", "-i", "b", "c"],
     ["ffmpeg", "-y", "-protocol_whitelist", "file,pipe", "-i", "a", "-protocol_whitelist", "file,pipe", "-i", "b",
      "c"]),
    (["/usr/bin/ffprobe", "-i", "a"], ["/usr/bin/ffprobe", "-protocol_whitelist", "file,pipe", "-i", "a"]),
    (["wget", "-i", "list"], ["wget", "-i", "list"])])
def test_inputs_restricted_for_ffmpeg_and_ffprobe_only(argv, restricted):
    assert restricted_inputs(argv) == restricted



def test_a_step_whose_child_a_signal_killed_fails_the_run(source_video, tmp_path):
    class Killed(Recorder):
        def cut(self, step):
            return -9  # what subprocess reports for a child ended by SIGKILL

    with pytest.raises(subprocess.CalledProcessError) as failed:
        recap(tmp_path, Killed(source_video))
    assert failed.value.returncode == -9 and failed.value.cmd[0] == "ffmpeg"


AGENT = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/144.0.0.0 Safari/537.36"


def wget_step(address, target):
    return Fetch(["wget", "-q", "-O", str(target), "--user-agent", AGENT, address], address, str(target))


def test_the_fetch_puts_no_file_address_on_a_command_line(tmp_path):
    """wget reads the address from a private file; the run's own services'
    file is taken from their cache in place (one file, two names)."""
    from hostile_site import Site, body

    seen = []

    def run(argv):
        listed = argv[argv.index("-i") + 1]
        seen.append((list(argv), stat.S_IMODE(os.stat(listed).st_mode), stat.S_IMODE(os.stat(os.path.dirname(
            listed)).st_mode)))
        return subprocess.run(argv)

    with Site({"/files/cap.mp4": body(b"film bytes")}) as site:
        address = site.base_url + "/files/cap.mp4"
        assert fetch_step.fetch(wget_step(address, tmp_path / "movie.mp4"), run) == 0
    (argv, file_mode, folder_mode), = seen
    assert (tmp_path / "movie.mp4").read_bytes() == b"film bytes" and (file_mode, folder_mode) == (0o600, 0o700)
    assert argv[:6] == wget_step(address, tmp_path / "movie.mp4").argv[:6] and address not in argv
    assert not os.path.exists(argv[-1])  # removed with its folder
    cached = tmp_path / "cached.mp4"
    cached.write_bytes(b"cached film")
    local = {"http://127.0.0.1:1/files/x.mp4": cached}.get
    assert fetch_step.fetch(wget_step("http://127.0.0.1:1/files/x.mp4", tmp_path / "linked.mp4"), run, local) == 0
    assert os.path.samefile(tmp_path / "linked.mp4", cached) and len(seen) == 1  # nothing ran
    with pytest.raises(Exception, match="control character"):
        fetch_step.fetch(wget_step(address + "\nhttp://127.0.0.1:1/other", tmp_path / "x.mp4"), run)


def test_a_child_stopped_by_ctrl_c_interrupts_the_run_instead_of_failing_it(tmp_path):
    import signal
    import threading
    import time

    from vantor.recap.engine.host import RunHost

    host = RunHost(emit=lambda event: None, local=True)
    started = []

    def start(argv, **kwargs):  # the terminal's Ctrl-C, reaching the child alone
        child = subprocess.Popen(argv, **kwargs)
        started.append(child)
        threading.Timer(0.5, child.send_signal, (signal.SIGINT,)).start()
        return child

    host._start_child = start
    forever = ["ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i", "testsrc", "-f", "null", "-"]
    for argv in (forever, ["sleep", "30"]):
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            host.run_child(argv)
        assert time.monotonic() - began < 20 and started[-1].returncode in (255, -signal.SIGINT)
    failed = host.run_child(["sh", "-c", "exit 255"])  # another tool's 255 is its own failure
    assert failed.returncode == 255
