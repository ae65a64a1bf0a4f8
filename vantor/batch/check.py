"""Checks every job without running anything: `vantor batch --check`."""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..segments_check import check_segments
from .jobs import Job

# The engine writes a speed below 0.5 into one atempo filter, which ffmpeg
# refuses; the run would fail only in the final conversion, after the download.
_SLOWEST = 0.5

__all__ = ["JobProblem", "SharedOutputError", "check_jobs", "shared_output_dirs", "refuse_shared_output_dirs"]


@dataclass(frozen=True)
class JobProblem:
    job: str
    message: str
    severity: str = "error"  # or "warning"

    def __str__(self) -> str:
        return f"{self.severity}: {self.job}: {self.message}"


class SharedOutputError(ValueError):
    """Two jobs name the same output directory; their working files would collide."""


def shared_output_dirs(jobs: list[Job]) -> list[JobProblem]:
    """One error per job whose output directory an earlier job already uses."""
    first_user: dict[str, Job] = {}
    problems = []
    for job in jobs:
        key = os.path.realpath(job.output_dir)
        if key in first_user:
            other = first_user[key]
            problems.append(JobProblem(job.name, f"shares output directory {job.output_dir} with {other.name}"))
        else:
            first_user[key] = job
    return problems


def refuse_shared_output_dirs(jobs: list[Job]) -> None:
    problems = shared_output_dirs(jobs)
    if problems:
        raise SharedOutputError("; ".join(str(p) for p in problems) + "; give each job its own output_dir")


def _check_output_dir(job: Job) -> list[JobProblem]:
    path = job.output_dir
    if os.path.exists(path):
        if not os.path.isdir(path):
            return [JobProblem(job.name, f"output_dir {path} exists and is not a directory")]
        if not os.access(path, os.W_OK | os.X_OK):
            return [JobProblem(job.name, f"output_dir {path} is not writable")]
        return []
    # It will be created: the nearest existing parent must take new entries.
    parent = os.path.dirname(path)
    while parent and not os.path.exists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent) or not os.access(parent, os.W_OK | os.X_OK):
        return [JobProblem(job.name, f"output_dir {path} cannot be created under {parent}")]
    return []


def check_jobs(jobs: list[Job]) -> list[JobProblem]:
    """Every problem of every job (segments file, output directory) and every
    shared output directory, in job order."""
    problems: list[JobProblem] = []
    for job in jobs:
        for problem in check_segments(job.segments):
            detail = str(problem).split(": ", 1)[1]  # without its own severity word
            problems.append(JobProblem(job.name, f"{job.segments}: {detail}", problem.severity))
        if job.speed < _SLOWEST:
            problems.append(JobProblem(job.name, f"speed {job.speed:g} is below {_SLOWEST}: ffmpeg's atempo "
                                                 "refuses it, and the recap would fail at its last step"))
        problems.extend(_check_output_dir(job))
    problems.extend(shared_output_dirs(jobs))
    return problems
