"""Resuming: the finished-recap marker in a job's output directory.

After a successful run the worker writes `.vantor-batch.json` beside the
outputs, holding a hash of the job's description and the size and sha256 of
each output. A later run of the same job skips it only when the description
hashes the same and every output is still the file that was written: an
output cut short, emptied or rewritten (say by a recap run by hand into the
folder and stopped half-way) redoes the job. The description's hash covers
the segments file's content, not its path, so a segments file edited in
place redoes the recap too.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
from typing import Any

from ..recap.engine.outputs import OutputNames
from .jobs import Job
from .safe_files import open_own, replace_file

__all__ = ["MARKER_NAME", "NOT_IN_FINGERPRINT", "OUTPUT_NAMES", "job_hash", "finished_outputs", "write_marker"]

MARKER_NAME = ".vantor-batch.json"
OUTPUT_NAMES = (OutputNames().final, OutputNames().horizontal)
_CHUNK = 1 << 20


# The Job fields that do not change what a run makes: where the marker lives
# and where the job was read. Every other field of the Job and of its
# RecapSpec, including any added later, is part of the fingerprint, so a new
# option cannot be forgotten here.
NOT_IN_FINGERPRINT = frozenset({"output_dir", "line"})


def job_hash(job: Job) -> str:
    """sha256 over every field that decides the result, the recap's options
    each by its name, the segments file by its content rather than its path."""
    description: dict[str, Any] = {field.name: getattr(job, field.name) for field in dataclasses.fields(job)
                                   if field.name not in NOT_IN_FINGERPRINT and field.name != "spec"}
    description |= job.spec.as_json()
    description["segments"] = _file_record(job.segments)["sha256"]
    return hashlib.sha256(json.dumps(description, sort_keys=True).encode()).hexdigest()


def _file_record(path: str) -> dict[str, Any]:
    """Size and sha256 of the file's content (about 1 s per GB here)."""
    digest = hashlib.sha256()
    size = 0
    with os.fdopen(open_own(path), "rb") as f:  # an output replaced by a link is no output of ours
        while chunk := f.read(_CHUNK):
            digest.update(chunk)
            size += len(chunk)
    return {"size": size, "sha256": digest.hexdigest()}


def _unchanged(path: str, recorded: object) -> bool:
    if not isinstance(recorded, dict):
        return False
    try:
        if os.lstat(path).st_size != recorded.get("size"):  # cut short or emptied: no need to read it
            return False
        return _file_record(path) == recorded
    except OSError:
        return False


def finished_outputs(job: Job) -> dict[str, Any] | None:
    """The marker's record when the job already finished with this exact
    description and its outputs are still the files it wrote; None otherwise
    (also for a marker without the outputs' sizes and hashes)."""
    try:
        with os.fdopen(open_own(os.path.join(job.output_dir, MARKER_NAME)), encoding="utf-8") as f:
            record = json.load(f)
        current = job_hash(job)
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("job_sha256") != current:
        return None
    files = record.get("files")
    if not isinstance(files, dict):
        return None
    if not all(_unchanged(os.path.join(job.output_dir, name), files.get(name)) for name in OUTPUT_NAMES):
        return None
    return record


def write_marker(job: Job, outputs: dict[str, float | None]) -> None:
    """Written last, through a temporary file and a rename, so a crash never
    leaves a marker that claims a recap that is not complete."""
    files = {name: _file_record(os.path.join(job.output_dir, name)) for name in OUTPUT_NAMES}
    record = {"job_sha256": job_hash(job), "outputs": outputs, "files": files}
    replace_file(os.path.join(job.output_dir, MARKER_NAME), json.dumps(record).encode())
