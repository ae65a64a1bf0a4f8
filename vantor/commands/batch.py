"""`vantor batch JOBS`: many recaps from a jobs file on Dask distributed;
`vantor batch --check JOBS` checks every job and runs nothing.

Progress (the bar over the jobs, retries, the dashboard address, the
summary) goes to stderr; stdout carries the result: the summary line and the
written report's path, or with --json the whole report as one object."""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
from typing import Any

from ..batch.check import JobProblem, check_jobs, fit_problems, in_line_order
from ..batch.jobs import Job, JobsFileError, load_jobs
from ..batch.report import Report
from ..tools import require_tools
from ._common import EXIT_FAILURE, EXIT_OK, CommandFailed, add_command, plural, whole_number
from .recap_options import add_keep_work_option
from .services_option import services_argument

__all__ = ["register"]


def _load(path: str) -> list[Job]:
    try:
        return load_jobs(path)
    except JobsFileError as error:
        print(error, file=sys.stderr)
        raise CommandFailed("the jobs file has errors; nothing was run") from None


def _check(args: argparse.Namespace, jobs: list[Job]) -> int:
    services = args.services
    problems = check_jobs(jobs, local_voices=services.where != "configured")
    if services.where != "configured":  # the narrations spoken now, to say how each fits its range
        problems = in_line_order(jobs, problems + fit_problems(jobs, services, problems))
    errors = [p for p in problems if p.severity == "error"]
    if args.json:
        print(json.dumps({"ok": not errors, "jobs": len(jobs), "problems": [p.as_json() for p in problems]}))
        return EXIT_FAILURE if errors else EXIT_OK
    shown: list[JobProblem] = errors if args.quiet else problems
    for problem in shown:
        print(problem)
    if not args.quiet:
        warnings = len(problems) - len(errors)
        print(f"{plural(len(jobs), 'job')}: " + (plural(len(errors), "error") if errors else "OK")
              + (f" ({plural(warnings, 'warning')})" if warnings else ""))
    return EXIT_FAILURE if errors else EXIT_OK


def _finish(args: argparse.Namespace, report: Report) -> None:
    """The report where it was asked for; each failed or locked job as one
    line, the only place its reason is printed."""
    if args.report:
        report.write(args.report)
    for entry in report.jobs:
        if entry.status in ("failed", "locked"):
            print(f"vantor: {entry.job}: {entry.error}", file=sys.stderr)


def _run(args: argparse.Namespace, jobs: list[Job]) -> int:
    if importlib.util.find_spec("distributed") is None:
        from ..extras import install_extra

        raise CommandFailed(f"batch needs Dask distributed; install it with: {install_extra('batch')}")
    from ..batch.cluster import remote_security
    from ..batch.progress import BatchProgress
    from ..batch.runner import BatchInterrupted, run
    from ..batch.safe_files import shared_folder_warning
    from ..batch.services import provider_for

    tls = (args.tls_ca_file, args.tls_cert, args.tls_key)
    if args.scheduler is None and any(tls):
        args.parser.error("--tls-ca-file, --tls-cert and --tls-key are for --scheduler; the embedded cluster "
                          "makes its own")
    if args.scheduler is None:  # the embedded cluster's workers share this machine's programs
        require_tools(local_services=args.services.where == "local")
    for folder in dict.fromkeys(job.output_dir for job in jobs):  # each once, before anything runs
        if (warning := shared_folder_warning(folder)) is not None:
            print(warning, file=sys.stderr)
    progress = BatchProgress(len(jobs), None if args.quiet else sys.stderr)
    try:
        report = run(jobs, workers=args.workers, scheduler=args.scheduler, retries=args.retries,
                     services=provider_for(args.services, args.cache_dir), force=args.force, progress=progress,
                     security=remote_security(*tls), dashboard=args.dashboard, keep_work=args.keep_work)
    except BatchInterrupted as interrupted:
        _finish(args, interrupted.report)
        # What became of each job, on one line; the cancelled ones had their ffmpeg stopped or never started.
        print(f"vantor: {interrupted.report.summary()}", file=sys.stderr)
        raise
    except (ValueError, OSError) as error:  # shared output directories, TLS files, no scheduler there
        raise CommandFailed(str(error)) from None
    _finish(args, report)
    if args.json:
        print(json.dumps(report.to_dict()))
    else:
        print(report.summary())
        if args.report:
            print(args.report)
    return EXIT_OK if report.ok else EXIT_FAILURE


def _batch(args: argparse.Namespace) -> int:
    jobs = _load(args.jobs)
    return _check(args, jobs) if args.check else _run(args, jobs)


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "batch", help="run many recaps from a jobs file (JSON lines) on Dask distributed",
        example="vantor batch jobs.jsonl --workers 2 --report report.json; vantor batch --check jobs.jsonl",
        description="Run many recaps from a jobs file on Dask distributed.\n\n"
                    'Each line of JOBS is one recap: {"url", "segments", "voice", "speed", "output_dir"},\n'
                    'optionally "captions": "files", "burn" or "track" (see vantor recap --captions);\n'
                    'and with it "caption_style": "clean", "bold", "boxed", "karaoke" or "pop",\n'
                    '"caption_position" and "caption_size" (see vantor recap --caption-style and the next two);\n'
                    'optionally "frame" and "aspect" (see vantor recap --frame, --aspect; default smart, 9:16);\n'
                    "relative paths are relative to the jobs file. Without --scheduler the jobs run on\n"
                    "worker processes of this machine. A job whose output directory holds its finished\n"
                    "recap is skipped, so a rerun redoes only what is missing (--force redoes all).\n"
                    "Progress goes to stderr; stdout carries the summary line and the report's path,\n"
                    "or with --json the report as one object. Exit status 0 only when every job is done.",
    )
    parser.add_argument("jobs", help="jobs file, one JSON object per line")
    parser.add_argument("--check", action="store_true",
                        help="check every job (segments file, speed, voice, output directory); run nothing")
    parser.add_argument("--workers", type=whole_number(1), default=None, metavar="N",
                        help="worker processes of the embedded cluster (default: one per core)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="submit to a running Dask scheduler, e.g. tls://10.0.0.1:8786")
    parser.add_argument("--tls-ca-file", default=None, metavar="FILE",
                        help="with --scheduler: the CA certificate the scheduler's certificate is signed by")
    parser.add_argument("--tls-cert", default=None, metavar="FILE",
                        help="with --scheduler: this client's certificate (PEM; may hold the key too)")
    parser.add_argument("--tls-key", default=None, metavar="FILE", help="with --scheduler: this client's key (PEM)")
    parser.add_argument("--dashboard", action="store_true",
                        help="serve the embedded cluster's Dask dashboard on 127.0.0.1 (plain HTTP: "
                             "other local users can read it)")
    parser.add_argument("--retries", type=whole_number(0), default=2, metavar="N",
                        help="extra attempts after a transient failure")
    parser.add_argument("--report", default=None, metavar="FILE", help="write the report as JSON to FILE")
    parser.add_argument("--force", action="store_true", help="redo jobs that are already finished")
    add_keep_work_option(parser)
    services_argument(parser, "each worker process runs the download and speech services of its machine "
                              "(yt-dlp, espeak-ng), sharing the machine's cache")
    parser.add_argument("--cache-dir", default=None, metavar="DIR",
                        help="cache directory of the local services on each machine (default: the user's cache)")
    parser.add_argument("--json", action="store_true", help="print the report (or the check) as one JSON object")
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress, only the result and errors")
    parser.add_argument("--debug", action="store_true", help="show the traceback on failure")
    parser.set_defaults(handler=_batch, parser=parser)
