"""What a batch did, job by job; written as JSON with `--report`."""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass, field
from typing import Any

from .jobs import Job
from .safe_files import replace_file

__all__ = ["JobReport", "Report"]


@dataclass
class JobReport:
    job: str  # "line N" in the jobs file, or the output directory's name
    url: str
    output_dir: str
    status: str = "pending"  # ok | failed | skipped | locked (another run holds its folder) | cancelled
    error_type: str | None = None
    error: str | None = None
    attempts: int = 0
    wall_s: float = 0.0  # from the first submission to the final answer, queueing and pauses included
    run_s: float = 0.0  # time inside the workers, all attempts
    outputs: dict[str, float | None] = field(default_factory=dict)  # path -> duration in seconds

    @classmethod
    def for_job(cls, job: Job) -> "JobReport":
        return cls(job.name, job.url, job.output_dir)


@dataclass
class Report:
    jobs: list[JobReport]
    workers: int = 0
    wall_s: float = 0.0
    interrupted: bool = False
    dashboard: str | None = None

    def count(self, status: str) -> int:
        return sum(1 for job in self.jobs if job.status == status)

    @property
    def ok(self) -> bool:
        """True when every job finished (now or in an earlier run)."""
        return not self.interrupted and all(job.status in ("ok", "skipped") for job in self.jobs)

    def summary(self) -> str:
        parts = [f"{self.count('ok')} ok", f"{self.count('skipped')} skipped (already done)",
                 f"{self.count('failed')} failed"]
        if self.count("locked"):
            parts.append(f"{self.count('locked')} left to another run")
        if self.count("cancelled"):
            parts.append(f"{self.count('cancelled')} cancelled")
        workers = f"{self.workers} worker{'s' if self.workers != 1 else ''}"
        jobs = f"{len(self.jobs)} job{'s' if len(self.jobs) != 1 else ''}"
        return f"{jobs}: " + ", ".join(parts) + f" in {self.wall_s:.1f} s on {workers}"

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    def write(self, path: str | os.PathLike[str]) -> None:
        replace_file(os.fspath(path), (json.dumps(self.to_dict(), indent=2) + "\n").encode())
