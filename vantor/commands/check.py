"""`vantor check FILE... | -`: every problem of segments files, in one pass;
with --voice, how each narration fits its range, spoken by the speech service."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, TextIO

from ..recap.fit.fit_report import SegmentFit, misfits, show_fits
from ..recap.checks.segments_check import Problem, SegmentsReport, check_segments, check_segments_bytes, report_lines
from ._common import EXIT_FAILURE, EXIT_OK, CommandFailed, add_command, plural
from ..recap.sound.sound_step import FIT_MODES
from .services_option import services_argument
from ..recap.framing.modes import ASPECTS
from .recap_options import add_framing_options

__all__ = ["print_fit", "print_report", "register"]


def print_report(report: SegmentsReport, out: TextIO, *, quiet: bool = False, prefix: str = "") -> None:
    """Problem lines, then the shared advice once (errors only when `quiet`)."""
    shown = report.errors if quiet else report.problems
    for line in report_lines(shown):
        print(f"{prefix}{line}", file=out)
    for hint in report.hints(shown):
        print(f"{prefix}hint: {hint}", file=out)


def print_fit(fits: list[SegmentFit], out: TextIO, *, strict: bool = False, prefix: str = "") -> None:
    """The fit report's lines as `vantor check` prints them."""
    show_fits(fits, out, strict=strict, prefix=prefix)


def _summary(report: SegmentsReport, fit: list[SegmentFit] | None = None, strict: bool = False) -> str:
    wrong = len(misfits(fit)) if fit is not None else 0
    if report.ok and strict and wrong:
        return f"{report.name}: {plural(wrong, 'narration')} not fitting {'its' if wrong == 1 else 'their'} range"
    if report.ok:
        warnings = len(report.warnings) + wrong
        return f"{report.name}: OK" + (f" ({plural(warnings, 'warning')})" if warnings else "")
    parts = [plural(len(report.errors), "error")] + ([plural(len(report.warnings), "warning")]
                                                      if report.warnings else [])
    return f"{report.name}: " + ", ".join(parts)


def _check(source: str) -> SegmentsReport:
    if source == "-":
        return check_segments_bytes(sys.stdin.buffer.read(), "<stdin>")
    return check_segments(source)


def _guessed_fit(problem: Problem) -> bool:
    # The segments check's only narration warning is its guess from word counts.
    return problem.member == "voiceover" and problem.severity == "warning"


def _fits(reports: list[SegmentsReport], args: argparse.Namespace) -> list[list[SegmentFit] | None]:
    """Each file's fit report (None for a file with errors, or without --voice)."""
    if args.voice is None:
        return [None] * len(reports)
    from ..recap.fit.fit_report import fit_reports

    return fit_reports([r.segments if r.ok else None for r in reports], args.voice, args.services,
                       progress=None if args.json or args.quiet else sys.stderr, mode=args.fit)


def _framing(args: argparse.Namespace) -> dict[str, object]:
    from ..recap.framing.modes import DEFAULT_ASPECT, DEFAULT_FRAME

    aspect = args.aspect or DEFAULT_ASPECT
    return {"frame": args.frame or DEFAULT_FRAME, "aspect": aspect, "size": list(ASPECTS[aspect])}


def _run(args: argparse.Namespace) -> int:
    if args.strict and args.voice is None:
        raise CommandFailed("--strict refuses narrations that do not fit their ranges; give the voice with --voice")
    reports = [_check(source) for source in args.segments]
    fits = _fits(reports, args)
    for report, fit in zip(reports, fits):
        if fit is not None:  # measured: the word-count guess is dropped
            report.problems = [p for p in report.problems if not _guessed_fit(p)]
    refused = any(fit is not None and misfits(fit) for fit in fits) and args.strict
    ok = all(r.ok for r in reports) and not refused
    if args.json:
        files = [{**r.as_json(), **({"fit": [f.as_json() for f in fit]} if fit is not None else {})}
                 for r, fit in zip(reports, fits)]
        print(json.dumps({"ok": ok, "files": files, "framing": _framing(args)}))
    else:
        several = len(reports) > 1
        for report, fit in zip(reports, fits):
            prefix = f"{report.name}: " if several else ""
            print_report(report, sys.stdout, quiet=args.quiet, prefix=prefix)
            if fit is not None and (args.strict or not args.quiet):
                print_fit(fit, sys.stdout, strict=args.strict, prefix=prefix)
            if not args.quiet:
                print(_summary(report, fit, args.strict))
        if not args.quiet and (args.frame or args.aspect):  # asked about: said (the JSON always says)
            shown = _framing(args)
            width, height = ASPECTS[str(shown["aspect"])]
            print(f"framing: {shown['frame']} at {shown['aspect']} ({width}x{height})")
    return EXIT_OK if ok else EXIT_FAILURE


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "check", help="check segments files and report every problem, numbering segments from 1",
        example="vantor check segments.json other.json; cat segments.json | vantor check -",
    )
    parser.add_argument("segments", nargs="+", metavar="SEGMENTS", help="segments JSON file; - reads stdin")
    parser.add_argument("-q", "--quiet", action="store_true", help="show only errors, no warnings or summary")
    parser.add_argument("--json", action="store_true", help="print one JSON object for tools instead")
    parser.add_argument("--voice", metavar="NAME",
                        help="also have the speech service speak each narration in this voice and report how it "
                             "fits its range (the narrations are cached for the recap)")
    parser.add_argument("--strict", action="store_true", help="with --voice: a narration that does not fit its "
                        "range is an error")
    services_argument(parser, "speak the narrations on this machine")
    parser.add_argument("--fit", choices=FIT_MODES, default="extend",
                        help="with --voice: the fit the recap will use (see vantor recap --fit); only lost words "
                             "and clips much shorter than their ranges are warned")
    add_framing_options(parser)
    parser.set_defaults(handler=_run, frame=None, aspect=None)
