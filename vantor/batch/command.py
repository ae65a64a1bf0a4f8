"""`vantor batch`: many recaps from a jobs file, on Dask distributed.

    vantor batch jobs.jsonl [--workers N] [--scheduler tcp://HOST:8786]
                 [--retries 2] [--report report.json] [--force]
                 [--services local|configured|URL]
    vantor batch --check jobs.jsonl
"""

from __future__ import annotations

import argparse
import importlib.util
import sys

__all__ = ["register"]


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _not_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def _check(jobs) -> int:
    from .check import check_jobs

    problems = check_jobs(jobs)
    for problem in problems:
        print(problem)
    errors = sum(1 for p in problems if p.severity == "error")
    print(f"{len(jobs)} job{'s' if len(jobs) != 1 else ''}: "
          + ("OK" if not errors else f"{errors} error{'s' if errors != 1 else ''}")
          + (f" ({len(problems) - errors} warnings)" if len(problems) > errors else ""))
    return 1 if errors else 0


def _run(args, jobs) -> int:
    if importlib.util.find_spec("distributed") is None:
        print("vantor: batch needs Dask distributed; install it with: pip install 'vantor[batch]'",
              file=sys.stderr)
        return 1
    from .runner import BatchInterrupted, run
    from .services import provider_for

    try:
        services = provider_for(args.services, args.cache_dir)
        report = run(jobs, workers=args.workers, scheduler=args.scheduler, retries=args.retries,
                     services=services, force=args.force)
    except BatchInterrupted as interrupted:
        report = interrupted.report
        print("vantor: interrupted; pending jobs cancelled, running ones stopped", file=sys.stderr)
        if args.report:
            report.write(args.report)
        return 130
    except (ValueError, OSError) as error:  # shared output directories, a bad --services, no scheduler
        print(f"vantor: {error}", file=sys.stderr)
        return 1
    if args.report:
        report.write(args.report)
    print(report.summary())
    for entry in report.jobs:
        if entry.status == "failed":
            print(f"  {entry.job}: {entry.error_type}: {entry.error}", file=sys.stderr)
    return 0 if report.ok else 1


def _cmd_batch(args) -> int:
    from .jobs import JobsFileError, load_jobs

    try:
        jobs = load_jobs(args.jobs)
    except JobsFileError as error:
        print(error, file=sys.stderr)
        print("vantor: the jobs file has errors; nothing was run", file=sys.stderr)
        return 1
    return _check(jobs) if args.check else _run(args, jobs)


def register(subparsers) -> None:
    batch = subparsers.add_parser(
        "batch", help="run many recaps from a jobs file (JSON lines) on Dask distributed",
        description="Each line of JOBS is one recap: "
                    '{"url", "segments", "voice", "speed", "output_dir"}; relative paths are '
                    "relative to the jobs file. Finished jobs are skipped on a rerun.")
    batch.add_argument("jobs", help="jobs file, one JSON object per line")
    batch.add_argument("--check", action="store_true", help="check every job without running anything")
    batch.add_argument("--workers", type=_positive, default=None,
                       help="worker processes of the embedded cluster (default: one per core)")
    batch.add_argument("--scheduler", default=None, metavar="ADDRESS",
                       help="submit to a running Dask scheduler, e.g. tcp://host:8786")
    batch.add_argument("--retries", type=_not_negative, default=2,
                       help="extra attempts after a transient failure (default 2)")
    batch.add_argument("--report", default=None, metavar="FILE", help="write the report as JSON")
    batch.add_argument("--force", action="store_true", help="redo jobs that are already finished")
    batch.add_argument("--services", default=None, metavar="local|configured|URL",
                       help="services for the recaps: this machine's local services, the configured "
                            "hosts, or a `vantor serve` address (default: local when the build has "
                            "no service hosts)")
    batch.add_argument("--cache-dir", default=None, help="cache directory of the local services")
    batch.set_defaults(handler=_cmd_batch)
