"""`vantor check FILE... | -`: every problem of segments files, in one pass."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, TextIO

from ..recap.segments_check import SegmentsReport, check_segments, check_segments_bytes
from ._common import EXIT_FAILURE, EXIT_OK, add_command, plural

__all__ = ["print_report", "register"]


def print_report(report: SegmentsReport, out: TextIO, *, quiet: bool = False, prefix: str = "") -> None:
    """Problem lines, then the shared advice once (errors only when `quiet`)."""
    shown = report.errors if quiet else report.problems
    for problem in shown:
        print(f"{prefix}{problem}", file=out)
    for hint in report.hints(shown):
        print(f"{prefix}hint: {hint}", file=out)


def _summary(report: SegmentsReport) -> str:
    if report.ok:
        warnings = len(report.warnings)
        return f"{report.name}: OK" + (f" ({plural(warnings, 'warning')})" if warnings else "")
    parts = [plural(len(report.errors), "error")] + ([plural(len(report.warnings), "warning")]
                                                      if report.warnings else [])
    return f"{report.name}: " + ", ".join(parts)


def _check(source: str) -> SegmentsReport:
    if source == "-":
        return check_segments_bytes(sys.stdin.buffer.read(), "<stdin>")
    return check_segments(source)


def _run(args: argparse.Namespace) -> int:
    reports = [_check(source) for source in args.segments]
    if args.json:
        print(json.dumps({"ok": all(r.ok for r in reports), "files": [r.as_json() for r in reports]}))
    else:
        several = len(reports) > 1
        for report in reports:
            print_report(report, sys.stdout, quiet=args.quiet, prefix=f"{report.name}: " if several else "")
            if not args.quiet:
                print(_summary(report))
    return EXIT_OK if all(r.ok for r in reports) else EXIT_FAILURE


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "check", help="check segments files and report every problem, numbering segments from 1",
        example="vantor check segments.json other.json; cat segments.json | vantor check -",
    )
    parser.add_argument("segments", nargs="+", metavar="SEGMENTS", help="segments JSON file; - reads stdin")
    parser.add_argument("-q", "--quiet", action="store_true", help="show only errors, no warnings or summary")
    parser.add_argument("--json", action="store_true", help="print one JSON object for tools instead")
    parser.set_defaults(handler=_run)
