"""The resume marker trusts nothing it did not write: each output must be
the very file the finished job left, and the segments file must hold the
same text, wherever it lies."""

from __future__ import annotations

import json
import os
import shutil

import pytest

from vantor.batch.jobs import job_from_mapping
from vantor.batch.marker import MARKER_NAME, OUTPUT_NAMES, finished_outputs, write_marker

SEGMENTS = [{"start": "1", "end": "2", "voiceover": "one"}]


@pytest.fixture
def finished(tmp_path):
    """A job whose outputs and marker are in place, as a successful run leaves them."""
    (tmp_path / "seg.json").write_text(json.dumps(SEGMENTS))
    job = job_from_mapping({"url": "https://v.test/1", "segments": "seg.json", "voice": "v",
                            "output_dir": "out"}, str(tmp_path))
    os.makedirs(job.output_dir)
    for name in OUTPUT_NAMES:
        (tmp_path / "out" / name).write_bytes(name.encode() * 1000)
    write_marker(job, {name: 1.0 for name in OUTPUT_NAMES})
    assert finished_outputs(job) is not None
    return job


def cut_short(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) // 2)


def emptied(path):
    open(path, "wb").close()


def same_size_other_bytes(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[-1] ^= 1
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, ns=(0, 0))  # even with the old time stamp restored by hand


@pytest.mark.parametrize("name", OUTPUT_NAMES)
@pytest.mark.parametrize("damage", [cut_short, emptied, same_size_other_bytes, os.remove])
def test_a_changed_output_redoes_the_job(finished, name, damage):
    damage(os.path.join(finished.output_dir, name))
    assert finished_outputs(finished) is None


def test_the_segments_files_text_decides_not_its_path(finished, tmp_path):
    # Moved elsewhere with the same text: still the same job.
    shutil.move(finished.segments, tmp_path / "moved.json")
    moved = job_from_mapping({"url": finished.url, "segments": "moved.json", "voice": "v",
                              "output_dir": "out"}, str(tmp_path))
    assert finished_outputs(moved) is not None
    # Edited in place: the same path, another recap.
    (tmp_path / "moved.json").write_text(json.dumps(SEGMENTS + SEGMENTS))
    assert finished_outputs(moved) is None


def test_a_marker_without_the_outputs_sizes_and_hashes_is_not_trusted(finished):
    path = os.path.join(finished.output_dir, MARKER_NAME)
    with open(path) as f:
        record = json.load(f)
    with open(path, "w") as f:
        json.dump({key: value for key, value in record.items() if key != "files"}, f)
    assert finished_outputs(finished) is None


# Another value for each field of a job and of its options; a field added to
# Job or RecapSpec without a case here fails the test below, so the
# fingerprint's coverage is decided, not forgotten.
CHANGED = {"url": "https://v.test/2", "segments": SEGMENTS + SEGMENTS, "output_dir": "elsewhere", "line": 7,
           "timeline": ("otio",)}
CHANGED_OPTIONS = {"voice": "w", "speed": 1.25, "captions": "burn", "frame": "blur", "aspect": "1:1",
                   "source_audio": "off", "music": "bed.mp3", "loudness": -14.0, "fit": "range",
                   "caption_style": "bold", "caption_position": "top", "caption_size": "120%", "strict_fit": True,
                   "plain": True}


def test_every_field_that_changes_the_output_changes_the_fingerprint(finished, tmp_path):
    import dataclasses

    from vantor.batch.marker import job_hash

    (tmp_path / "bed.mp3").write_bytes(b"")
    with_captions = dataclasses.replace(finished, spec=dataclasses.replace(finished.spec, captions="files"))
    before, captioned = job_hash(finished), job_hash(with_captions)
    for field in dataclasses.fields(finished):
        if field.name == "spec":
            continue
        value = CHANGED[field.name]
        if field.name == "segments":
            (tmp_path / "other.json").write_text(json.dumps(value))
            value = str(tmp_path / "other.json")
        changed = job_hash(dataclasses.replace(finished, **{field.name: value}))
        # Where the marker lives and where the job was read do not change the recap.
        assert (changed == before) is (field.name in ("output_dir", "line")), field.name
    for field in dataclasses.fields(finished.spec):
        value = CHANGED_OPTIONS[field.name]
        value = str(tmp_path / value) if field.name == "music" else value
        spec = dataclasses.replace(with_captions.spec, **{field.name: value})
        assert job_hash(dataclasses.replace(finished, spec=spec)) != captioned, field.name
    assert captioned != before


def test_nothing_is_written_or_read_through_a_link_planted_in_the_folder(finished, tmp_path):
    from vantor.batch.claim import LOCK_NAME, claim_folder
    from vantor.batch.report import Report

    out = tmp_path / "out"
    secret = tmp_path / "secret"
    secret.write_text("root only")
    for planted in (f"{MARKER_NAME}.tmp", MARKER_NAME, "report.json"):  # the old temporary's name, the files
        (out / planted).unlink(missing_ok=True)
        os.symlink(secret, out / planted)
    assert finished_outputs(finished) is None  # a marker that is a link vouches for nothing
    write_marker(finished, {name: 1.0 for name in OUTPUT_NAMES})
    Report(jobs=[], workers=1, wall_s=0.0).write(out / "report.json")
    assert not (out / MARKER_NAME).is_symlink() and not (out / "report.json").is_symlink()
    assert finished_outputs(finished) is not None and secret.read_text() == "root only"
    os.symlink(secret, out / LOCK_NAME)
    with pytest.raises(OSError):
        with claim_folder(str(out)):
            pass
    (out / OUTPUT_NAMES[0]).unlink()
    os.symlink(secret, out / OUTPUT_NAMES[0])
    assert finished_outputs(finished) is None and secret.read_text() == "root only"
