"""Resuming: the finished-recap marker in a job's output directory.

After a successful run the worker writes `.vantor-batch.json` beside the
outputs, holding a hash of the job's description. A later run of the same
job finds the marker, sees the same hash and the outputs still there, and
skips the job. The hash covers the segments file's content, so editing the
segments redoes the recap even though the path is unchanged.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any

from ..recap.outputs import OutputNames
from .jobs import Job

__all__ = ["MARKER_NAME", "OUTPUT_NAMES", "job_hash", "finished_outputs", "write_marker"]

MARKER_NAME = ".vantor-batch.json"
OUTPUT_NAMES = (OutputNames().final, OutputNames().horizontal)


def job_hash(job: Job) -> str:
    """sha256 over what decides the result: address, segments content,
    voice and speed (the output directory is where the marker lives)."""
    digest = hashlib.sha256()
    with open(job.segments, "rb") as f:
        segments = hashlib.sha256(f.read()).hexdigest()
    description = {"url": job.url, "segments_sha256": segments, "voice": job.voice, "speed": job.speed}
    digest.update(json.dumps(description, sort_keys=True).encode())
    return digest.hexdigest()


def finished_outputs(job: Job) -> dict[str, Any] | None:
    """The marker's record when the job already finished with this exact
    description and its outputs are still in place; None otherwise."""
    try:
        with open(os.path.join(job.output_dir, MARKER_NAME), encoding="utf-8") as f:
            record = json.load(f)
        current = job_hash(job)
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict) or record.get("job_sha256") != current:
        return None
    if not all(os.path.isfile(os.path.join(job.output_dir, name)) for name in OUTPUT_NAMES):
        return None
    return record


def write_marker(job: Job, outputs: dict[str, float | None]) -> None:
    """Written last, through a temporary file and a rename, so a crash never
    leaves a marker that claims a recap that is not complete."""
    record = {"job_sha256": job_hash(job), "outputs": outputs}
    path = os.path.join(job.output_dir, MARKER_NAME)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(record, f)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)
