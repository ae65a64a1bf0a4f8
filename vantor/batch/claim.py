"""One attempt at a time in a job's output folder.

Each attempt holds an exclusive lock on `.vantor-batch.lock` in the job's
folder for as long as it runs, so a second `vantor batch` of the same jobs
file (or another machine of a shared file system) finds the folder taken
and leaves it alone instead of writing over the first run's working files.
The lock is flock(2), held by the open file: another thread of the same
worker is refused too, and the kernel lets go when the worker dies.

The lock file also counts the attempts of one batch run. The count is kept
here, beside the work, because Dask re-runs a task whose worker died
without the batch's driver seeing a new submission.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
from collections.abc import Iterator

from .safe_files import open_own

__all__ = ["LOCK_NAME", "FolderTaken", "claim_folder", "recorded_attempts"]

LOCK_NAME = ".vantor-batch.lock"


class FolderTaken(Exception):
    """Another attempt (of another batch run) holds the job's folder."""


def _read(fd: int) -> dict[str, object]:
    os.lseek(fd, 0, os.SEEK_SET)
    try:
        record = json.loads(os.read(fd, 4096) or b"{}")
    except ValueError:
        return {}
    return record if isinstance(record, dict) else {}


def _attempt_number(fd: int, batch: str | None) -> int:
    """This attempt's number within `batch` (1 for a new batch run, or
    without one), written back before the attempt does anything."""
    previous = _read(fd)
    count = previous.get("attempts")
    number = count + 1 if batch is not None and previous.get("batch") == batch and isinstance(count, int) else 1
    data = json.dumps({"batch": batch, "attempts": number}).encode()
    os.ftruncate(fd, 0)
    os.pwrite(fd, data, 0)
    return number


@contextlib.contextmanager
def claim_folder(output_dir: str, batch: str | None = None) -> Iterator[int]:
    """Creates `output_dir` if needed and holds its lock while the block
    runs; yields this attempt's number. FolderTaken when another holds it."""
    os.makedirs(output_dir, exist_ok=True)
    path = os.path.join(output_dir, LOCK_NAME)
    fd = open_own(path, os.O_RDWR | os.O_CREAT, 0o644)  # never through a link; not inherited by ffmpeg or wget
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise FolderTaken(f"another vantor batch is working in {output_dir}; run this job again when "
                              "it has finished") from None
        yield _attempt_number(fd, batch)
    finally:
        os.close(fd)  # and with it the lock


def recorded_attempts(output_dir: str, batch: str) -> int | None:
    """The attempts `batch` made in the folder, as the lock file says (for
    a task that Dask gave up on, whose own count never came back)."""
    try:
        with os.fdopen(open_own(os.path.join(output_dir, LOCK_NAME)), "rb") as f:
            record = json.loads(f.read(4096) or b"{}")
    except (OSError, ValueError):
        return None
    count = record.get("attempts") if isinstance(record, dict) and record.get("batch") == batch else None
    return count if isinstance(count, int) else None
