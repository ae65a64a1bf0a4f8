"""The lock on a job's folder and the attempts counted in it: no cluster
needed, since the lock is the kernel's and the count is a file."""

from __future__ import annotations

import fcntl
import os
import subprocess
import sys

import pytest

from vantor.batch.claim import LOCK_NAME, FolderTaken, claim_folder, recorded_attempts


def test_one_holder_at_a_time_even_within_one_process(tmp_path):
    folder = str(tmp_path / "out" / "a")
    with claim_folder(folder, "run1"):
        # Another attempt in this process (a second worker thread) is refused,
        # and so is another process.
        with pytest.raises(FolderTaken, match=f"another vantor batch is working in {folder}"):
            with claim_folder(folder, "run2"):
                pass
        probe = (f"import fcntl, os; fd = os.open({os.path.join(folder, LOCK_NAME)!r}, os.O_RDWR)\n"
                 "try: fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\nexcept BlockingIOError: raise SystemExit(3)")
        assert subprocess.run([sys.executable, "-c", probe]).returncode == 3
    with claim_folder(folder, "run2"):  # let go at the end of the block
        pass
    with pytest.raises(RuntimeError), claim_folder(folder, "run2"):
        raise RuntimeError("the attempt failed")
    with claim_folder(folder, "run2"):  # and when the attempt raised
        pass


def test_a_lock_held_elsewhere_is_respected(tmp_path):
    """What a second `vantor batch` meets: the lock taken by whoever got there first."""
    os.makedirs(tmp_path / "a")
    with open(tmp_path / "a" / LOCK_NAME, "w") as other:
        fcntl.flock(other, fcntl.LOCK_EX)
        with pytest.raises(FolderTaken):
            with claim_folder(str(tmp_path / "a"), "run"):
                pass


def test_attempts_are_counted_per_batch_run(tmp_path):
    folder = str(tmp_path / "a")
    numbers = []
    for batch in ("run1", "run1", "run1", "run2", None, None, "run2"):
        with claim_folder(folder, batch) as number:
            numbers.append(number)
    assert numbers == [1, 2, 3, 1, 1, 1, 1]
    assert recorded_attempts(folder, "run2") == 1 and recorded_attempts(folder, "run1") is None
    with claim_folder(folder, "run3"), claim_folder(str(tmp_path / "b"), "run3"):
        pass
    with open(os.path.join(folder, LOCK_NAME), "w") as f:
        f.write("{cut")  # a count that cannot be read starts again
    with claim_folder(folder, "run3") as number:
        assert number == 1
    assert recorded_attempts(str(tmp_path / "none"), "run3") is None
