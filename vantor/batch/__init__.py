"""Many recaps at once on Dask distributed: `vantor batch` and `run()`.

    from vantor.batch import run
    report = run("jobs.jsonl", workers=2)

Needs the `distributed` package (`make install` brings it; see `vantor.extras`).
"""

from .check import SharedOutputError, check_jobs
from .jobs import Job, JobsFileError, load_jobs
from .report import JobReport, Report
from .runner import BatchInterrupted, run

__all__ = ["BatchInterrupted", "Job", "JobReport", "JobsFileError", "Report", "SharedOutputError",
           "check_jobs", "load_jobs", "run"]
