"""Checks every job without running anything: `vantor batch --check`, and
the refusal of shared output directories at the start of a run. The checks
of one job are the ones `vantor recap` makes (vantor.recap.checks.preflight)."""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..recap.checks.preflight import PreflightError, check_output_dir, check_run_voice
from ..recap.checks.segments_check import check_segments
from ..recap.engine.services_choice import ServicesChoice
from .jobs import Job

__all__ = ["JobProblem", "SharedOutputError", "check_jobs", "fit_problems", "in_line_order",
           "refuse_shared_output_dirs", "shared_output_dirs"]


@dataclass(frozen=True)
class JobProblem:
    job: str
    message: str
    severity: str = "error"  # or "warning"

    def __str__(self) -> str:
        return f"{self.severity}: {self.job}: {self.message}"

    def as_json(self) -> dict[str, str]:
        return {"severity": self.severity, "job": self.job, "message": self.message}


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
        raise SharedOutputError("; ".join(f"{p.job}: {p.message}" for p in problems)
                                + "; give each job its own output_dir")


def _check_output_dir(job: Job) -> list[JobProblem]:
    """The directory as a run will use it: the worker creates it when
    missing, so then its nearest existing parent must take new entries."""
    path = job.output_dir
    while not os.path.exists(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    try:
        check_output_dir(path)
    except PreflightError as error:
        shown = str(error).split("; ", 1)[0]  # without the command line's advice
        where = "" if path == job.output_dir else f" (creating {job.output_dir})"
        return [JobProblem(job.name, f"{shown}{where}; fix its \"output_dir\"")]
    return []


def check_jobs(jobs: list[Job], *, local_voices: bool = False) -> list[JobProblem]:
    """Every problem of every job (segments file, voice, output directory)
    and every shared output directory, in job order. The speed was checked
    when the jobs file was read. `local_voices`: the voice must be one of
    the local speech service's."""
    problems: list[JobProblem] = []
    for job in jobs:
        for problem in check_segments(job.segments):
            detail = str(problem).split(": ", 1)[1]  # without its own severity word
            problems.append(JobProblem(job.name, f"{job.segments}: {detail}", problem.severity))
        try:
            check_run_voice(job.spec.voice, local=local_voices)
        except PreflightError as error:
            problems.append(JobProblem(job.name, str(error)))
        problems.extend(_check_output_dir(job))
    problems.extend(shared_output_dirs(jobs))
    return problems


def in_line_order(jobs: list[Job], problems: list[JobProblem]) -> list[JobProblem]:
    """The problems job by job as the jobs file lists them; each job's own
    in the order they were found."""
    line = {job.name: number for number, job in enumerate(jobs)}
    return sorted(problems, key=lambda problem: line.get(problem.job, len(line)))


def fit_problems(jobs: list[Job], services: str | ServicesChoice, problems: list[JobProblem]) -> list[JobProblem]:
    """A warning per narration that does not fit its range, for each job
    with no error so far, spoken by the local speech service (whose cache
    the runs then share)."""
    from ..recap.fit.fit_report import fit_reports, misfits

    failed = {p.job for p in problems if p.severity == "error"}
    checked = [job for job in jobs if job.name not in failed]
    lists = [check_segments(job.segments).segments for job in checked]
    found = []
    for voice, fit in dict.fromkeys((job.spec.voice, job.spec.fit) for job in checked):
        mine = [(job, segments) for job, segments in zip(checked, lists)
                if (job.spec.voice, job.spec.fit) == (voice, fit)]
        try:
            reports = fit_reports([segments for _, segments in mine], voice, services, mode=fit)
        except PreflightError as error:
            found.append(JobProblem(mine[0][0].name, f"no fit report: {error}", "warning"))
            continue
        for (job, _), fits in zip(mine, reports):
            found += [JobProblem(job.name, f"{job.segments}: {fit.message}", "warning") for fit in misfits(fits or [])]
    return found  # voice by voice: see in_line_order
