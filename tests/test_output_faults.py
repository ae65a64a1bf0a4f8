"""Bad days for the output directory: names ffmpeg would read as a protocol or
an option, names the concatenation list cannot hold, a tool that reports
success over a broken MP4, and a really full disk (a small tmpfs)."""

from __future__ import annotations

import errno
import os
import subprocess

import pytest

from test_recap_run import ONE, OUTPUTS, Rig, hardware_succeeds, make_dir, recap, write_segments

FFMPEG_OUTPUTS = ("clip_0.mp4", "merged_0.mp4", "horizontal_final.mp4", "FINAL_RECAP.mp4")


@pytest.mark.slow
@pytest.mark.parametrize("name", ["pipe:1", "file:x", "-out", "2026-12-08T12:30:00"])
def test_relative_dir_ffmpeg_would_misread(engine, source_video, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    out, decoy = make_dir(tmp_path / name), make_dir(tmp_path / "x")  # file:x would reach ./x
    rig = Rig(source_video).install(engine)
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", ONE), name)
    assert error is None and result == f"{name}/FINAL_RECAP.mp4"
    assert rig.calls[0][2] == f"{name}/movie.mp4" and rig.calls[1][2] == f"{name}/voice_0.mp3"
    for argv, _ in rig.commands:  # every file ffmpeg sees is a plain relative path
        named = [a for a in argv if a.endswith((".mp4", ".mp3", ".txt"))]
        assert named and all(a.startswith(f"./{name}/") for a in named)
    assert rig.lists == [f"file '{tmp_path}/{name}/merged_0.mp4'\n"]
    assert sorted(os.listdir(out)) == OUTPUTS and os.listdir(decoy) == []


@pytest.mark.parametrize("name", ["{tmp}/run 12:30/out", "{tmp}/-out", "runs/12:30", "runs/-out:x"])
def test_dir_ffmpeg_reads_as_a_file_reaches_it_unchanged(engine, source_video, tmp_path, monkeypatch, name):
    # An absolute path, or a colon or dash only after the first '/', is a plain file to ffmpeg.
    monkeypatch.chdir(tmp_path)
    name = name.format(tmp=tmp_path)
    out = make_dir(tmp_path / name)
    rig = Rig(source_video).install(engine)
    result, error, _ = recap(engine, write_segments(tmp_path / "s.json", ONE), name)
    assert error is None and result == f"{name}/FINAL_RECAP.mp4"
    for argv, _ in rig.commands:
        named = [a for a in argv if a.endswith((".mp4", ".mp3", ".txt"))]
        assert named and all(a.startswith(f"{name}/") for a in named), argv
    assert sorted(os.listdir(out)) == OUTPUTS


@pytest.mark.parametrize("name", ["out\nnext", "out\r", "\n"])
def test_line_break_in_dir_refused_before_anything(engine, source_video, tmp_path, name):
    out = make_dir(tmp_path / name)
    (out / "movie.mp4").write_bytes(b"left by an earlier run")
    rig = Rig(source_video).install(engine)
    result, error, lines = recap(engine, tmp_path / "unused.json", str(out))
    assert type(error) is ValueError and "line break" in str(error)
    assert rig.calls == [] and rig.commands == [] and lines == []
    assert os.listdir(out) == ["movie.mp4"]


def run_then(damage, target):
    """Runs the real command, then damages its output when it is `target`;
    the tool's own verdict (exit 0) stands."""

    def alter(argv, kwargs):
        result = hardware_succeeds(argv, kwargs) or subprocess.run(argv, **kwargs)
        if argv[-1].endswith(target) and result.returncode == 0:
            damage(argv[-1])
        return result

    return alter


def drop_tail(path):  # the index sits at the end of every file ffmpeg writes here
    os.truncate(path, os.path.getsize(path) - 600)


def replace_with_text(path):
    with open(path, "wb") as f:
        f.write(b"not an mp4 at all")


STEP_KEPT = {  # what stays when the step's output is found broken
    "clip_0.mp4": ("cutting segment 1", {"movie.mp4", "voice_0.mp3", "clip_0.mp4"}),
    "merged_0.mp4": ("merging segment 1", {"movie.mp4", "voice_0.mp3", "clip_0.mp4", "merged_0.mp4"}),
    "horizontal_final.mp4": ("concatenating the segments",
                             {"movie.mp4", "merged_0.mp4", "filelist.txt", "horizontal_final.mp4"}),
    "FINAL_RECAP.mp4": ("converting to vertical on the hardware encoder",
                        {"movie.mp4", "merged_0.mp4", "filelist.txt", "horizontal_final.mp4", "FINAL_RECAP.mp4"}),
}


@pytest.mark.slow
@pytest.mark.parametrize("target", FFMPEG_OUTPUTS)
def test_broken_mp4_after_exit_0_ends_run_keeping_files(engine, source_video, tmp_path, target):
    rig = Rig(source_video, run_then(drop_tail, target)).install(engine)
    out = make_dir(tmp_path / "out")
    result, error, lines = recap(engine, write_segments(tmp_path / "s.json", ONE), str(out))
    step, kept = STEP_KEPT[target]
    assert type(error) is OSError and error.errno == errno.EIO, error
    assert error.filename == f"{out}/{target}" and step in str(error) and "past the end" in str(error)
    assert result is None and not any(line.startswith("\U0001F9F9") for line in lines)
    assert set(os.listdir(out)) == kept


@pytest.mark.slow
def test_software_conversion_checked_and_non_mp4_left_alone(engine, source_video, tmp_path):
    def alter(argv, kwargs):
        if "h264_nvenc" in argv:  # no GPU: the software run is the one that counts
            return subprocess.CompletedProcess(argv, 1, b"", b"")
        return run_then(drop_tail, "FINAL_RECAP.mp4")(argv, kwargs)

    Rig(source_video, alter).install(engine)
    out = make_dir(tmp_path / "out")
    _, error, _ = recap(engine, write_segments(tmp_path / "s.json", ONE), str(out))
    assert type(error) is OSError and "software encoder" in str(error)

    # A stand-in tool that writes something other than an MP4 is not judged.
    Rig(source_video, run_then(replace_with_text, "FINAL_RECAP.mp4")).install(engine)
    result, error, _ = recap(engine, write_segments(tmp_path / "s.json", ONE), str(out))
    assert error is None and sorted(os.listdir(out)) == OUTPUTS


@pytest.fixture
def small_disk(tmp_path):
    """A 48 MiB tmpfs, unmounted afterwards; skipped where mounting is refused."""
    mount = make_dir(tmp_path / "disk")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48m", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs for the full-disk case (needs root): {done.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


def fill_leaving(directory, room):
    stat = os.statvfs(directory)
    with open(os.path.join(directory, "filler"), "wb") as f:
        f.truncate(0)
        f.write(b"\0" * (stat.f_bfree * stat.f_frsize - room))


@pytest.mark.slow
@pytest.mark.parametrize("target", ["merged_0.mp4", "horizontal_final.mp4"])
def test_full_disk_is_no_success(engine, source_video, small_disk, tmp_path, target):
    def alter(argv, kwargs):
        if argv[-1].endswith(target):  # the disk fills up during this step
            fill_leaving(small_disk, 48 * 1024)
        return subprocess.run(argv, **kwargs)

    Rig(source_video, alter).install(engine)
    result, error, _ = recap(engine, write_segments(tmp_path / "s.json", ONE), str(small_disk))
    # Once the disk is mounted every outcome counts: ffmpeg 5.1 exits 0 over the
    # full disk, and only the missing index tells the run it is not done.
    assert type(error) is OSError and error.errno == errno.ENOSPC, error
    assert "(its index, the 'moov' box, is missing)" in str(error), str(error)
    assert error.filename == f"{small_disk}/{target}" and "free some space" in str(error)
    assert result is None and {"movie.mp4", target} <= set(os.listdir(small_disk))
