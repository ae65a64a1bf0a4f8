"""The whole-MP4 check after each ffmpeg step, at its edges: box sizes in the
64-bit form (size field 1, then the size in the next eight bytes), sizes
beyond 4 GiB, and the index box (`moov`) that every finished file needs.

The files are written where the engine's own ffmpeg output would be, right
after ffmpeg exits 0, so the check judges exactly these bytes."""

from __future__ import annotations

import errno
import os
import struct

import pytest

from test_output_faults import run_then
from test_recap_run import ONE, OUTPUTS, Rig, make_dir, recap, write_segments

FTYP = struct.pack(">I4s4sI4s4s", 24, b"ftyp", b"isom", 0x200, b"isom", b"mp41")


def box(kind: bytes, payload: bytes = b"") -> bytes:
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def top_level(data: bytes) -> list[tuple[bytes, int, int]]:
    """(type, offset, size) of each top-level box of a whole file."""
    found, offset = [], 0
    while offset < len(data):
        size, kind = struct.unpack_from(">I4s", data, offset)
        if size == 1:
            (size,) = struct.unpack_from(">Q", data, offset + 8)
        found.append((kind, offset, size))
        offset += size
    return found


def mdat_in_64_bit_form(path: str) -> None:
    """Rewrites ffmpeg's `free` + `mdat` pair as one `mdat` with a 64-bit
    size: the same length, every sample at the same offset, so the file
    stays a valid MP4 that the next ffmpeg step reads."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    kinds = [kind for kind, _, _ in top_level(bytes(data))]
    at = kinds.index(b"free")
    _, offset, size = top_level(bytes(data))[at]
    kind, mdat_offset, mdat_size = top_level(bytes(data))[at + 1]
    assert (size, kind) == (8, b"mdat"), f"ffmpeg's layout changed: {kinds}"
    data[offset:mdat_offset + 8] = struct.pack(">I4sQ", 1, b"mdat", mdat_size + 8)
    with open(path, "wb") as f:
        f.write(data)
    assert [k for k, _, _ in top_level(bytes(data))] == [k for k in kinds if k != b"free"]


def sparse_file(parts: list[tuple[int, bytes]], length: int):
    """A writer of `length` bytes holding each (offset, bytes), holes elsewhere."""

    def write(path: str) -> None:
        with open(path, "wb") as f:
            f.truncate(length)
            for offset, data in parts:
                f.seek(offset)
                f.write(data)

    return write


BIG = 2**32 + 16  # a box whose size does not fit in 32 bits


def large_box(kind: bytes, size: int) -> bytes:
    return struct.pack(">I4sQ", 1, kind, size)


def run_with(engine, source_video, tmp_path, alter):
    Rig(source_video, alter).install(engine)
    out = make_dir(tmp_path / "out")
    result, error, _ = recap(engine, write_segments(tmp_path / "s.json", ONE), str(out))
    return out, result, error


@pytest.mark.parametrize("target", ["clip_0.mp4", "horizontal_final.mp4"])
def test_64_bit_box_sizes_of_a_real_file_are_whole(engine, source_video, tmp_path, target):
    out, result, error = run_with(engine, source_video, tmp_path, run_then(mdat_in_64_bit_form, target))
    assert error is None and result == f"{out}/FINAL_RECAP.mp4"
    assert sorted(os.listdir(out)) == OUTPUTS


def test_a_box_over_4_gib_before_the_index_is_read_whole(engine, source_video, tmp_path):
    # Read as 32 bits either way, the size is 0 or 16 and the index is lost.
    index_at = len(FTYP) + BIG
    whole = sparse_file([(0, FTYP + large_box(b"free", BIG)), (index_at, box(b"moov"))], index_at + 8)
    out, result, error = run_with(engine, source_video, tmp_path, run_then(whole, "FINAL_RECAP.mp4"))
    assert error is None and result == f"{out}/FINAL_RECAP.mp4"
    assert os.path.getsize(result) == index_at + 8


MDAT = box(b"mdat", b"\0" * 64)

BROKEN = {
    "no index": (FTYP + MDAT, "its index, the 'moov' box, is missing"),
    "no index after a box over 4 GiB": (
        sparse_file([(0, FTYP + large_box(b"mdat", BIG))], len(FTYP) + BIG), "its index, the 'moov' box, is missing"),
    "64-bit size past the end": (FTYP + box(b"moov") + large_box(b"mdat", 16 + 65) + b"\0" * 64,
                                 f"box 'mdat' at byte {len(FTYP) + 8} runs past the end of the file"),
    "64-bit size below its header": (FTYP + box(b"moov") + large_box(b"mdat", 15) + b"\0" * 64,
                                     f"box 'mdat' at byte {len(FTYP) + 8} has an impossible size"),
    "64-bit size cut off": (FTYP + box(b"moov") + struct.pack(">I4sI", 1, b"mdat", 0),
                            f"a box header is cut off at byte {len(FTYP) + 8}"),
    "32-bit size past the end": (FTYP + box(b"moov") + MDAT[:-1], "box 'mdat' at byte 32 runs past the end"),
}


@pytest.mark.parametrize("case", BROKEN)
def test_an_incomplete_file_after_exit_0_ends_the_run(engine, source_video, tmp_path, case):
    content, fault = BROKEN[case]
    write = content if callable(content) else sparse_file([(0, content)], len(content))
    out, result, error = run_with(engine, source_video, tmp_path, run_then(write, "FINAL_RECAP.mp4"))
    assert result is None and type(error) is OSError and error.errno == errno.EIO, error
    assert error.filename == f"{out}/FINAL_RECAP.mp4" and f"({fault}" in str(error), str(error)
