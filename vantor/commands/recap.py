"""`vantor recap`: checks, then the run with progress on stderr, then the
result alone on stdout (the final path, or one JSON object)."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

from ..interchange import FORMATS
from ..recap.engine.checked_run import (PreparedRecap, RecapResult, TimelineResult, execute, execute_timeline_only,
                                        prepare)
from ..recap.engine.outputs import DEFAULT_FINAL
from ..recap.checks.preflight import MAX_SPEED, MIN_SPEED, SegmentsError
from ..services.voices import DEFAULT_VOICE
from ._common import EXIT_OK, CommandFailed, add_command
from .check import print_report
from .recap_options import add_fit_and_caption_options, add_keep_work_option, recap_spec
from .services_option import services_argument
from .sound_options import add_sound_options

__all__ = ["add_timeline_options", "register"]


def add_timeline_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--timeline", metavar="FORMATS",
                        help=f"also write the recap's timeline for a video editor beside it, NAME.<ext> with its "
                             f"media in NAME.media/: {', '.join(FORMATS)} (several comma-separated)")
    parser.add_argument("--timeline-only", action="store_true",
                        help="write the --timeline and its media without rendering the recap (seconds)")


@contextlib.contextmanager
def _segments_file(source: str) -> Iterator[tuple[str, str | None]]:
    """(path, name) of the segments; "-" reads standard input, as `vantor
    check -` does, into a file of the run's own that lasts the run."""
    if source != "-":
        yield source, None
        return
    content = sys.stdin.buffer.read()
    with tempfile.TemporaryDirectory(prefix="vantor-segments-") as scratch:
        path = os.path.join(scratch, "segments.json")
        with open(path, "wb") as f:
            f.write(content)
        yield path, "<stdin>"


def _prepare(args: argparse.Namespace, segments: str, name: str | None) -> PreparedRecap:
    try:
        prepared = prepare(args.url, segments, recap_spec(args), output_dir=args.output_dir,
                           services=args.services, mkdir=args.mkdir, check_segments=not args.no_check,
                           segments_name=name, output_name=args.output, overwrite=args.force,
                           timeline=args.timeline, timeline_only=args.timeline_only)
        prepared = dataclasses.replace(prepared, keep_work=args.keep_work)
    except SegmentsError as refused:
        print_report(refused.report, sys.stderr)
        raise CommandFailed(refused.summary) from None  # every error is in the report above
    return prepared


def _print_result(result: RecapResult | TimelineResult, as_json: bool) -> None:
    if as_json:
        print(json.dumps(result.as_json()))
    elif isinstance(result, TimelineResult):
        print("\n".join(str(path) for path in result.timelines))
    else:
        print(result.final)


def _run(args: argparse.Namespace) -> int:
    with _segments_file(args.segments) as (segments, name):
        run = _prepare(args, segments, name)
        shown = None if args.quiet else sys.stderr
        result: RecapResult | TimelineResult = (
            execute_timeline_only(run, progress=shown, verbose=args.verbose) if run.timeline_only
            else execute(run, progress=shown, verbose=args.verbose))
    _print_result(result, args.json)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "recap", help="make a recap (FINAL_RECAP.mp4) from a video address and a segments file",
        example='vantor recap "https://www.youtube.com/watch?v=..." segments.json --speed 1.5 -p --output-dir out',
        description="Make FINAL_RECAP.mp4 from a video address and a segments file.\n\n"
                    "The segments file, the speed and the output directory are checked before anything is\n"
                    "downloaded; after the download every segment is checked against the video's length.\n"
                    "Existing results are kept unless --force is given, and no other file in the output\n"
                    "directory is touched. Progress goes to stderr; stdout carries only the result: the\n"
                    "recap's path, or with --json one object (outputs, durations, sizes, segments,\n"
                    "wall_time, encoder, sound; with --captions, outputs also has srt and vtt).",
    )
    parser.add_argument("url", help="address of the source video, or a video file on this machine")
    parser.add_argument("segments", help="segments JSON file (see `vantor check`); - reads standard input")
    parser.add_argument("--voice", default=DEFAULT_VOICE, metavar="NAME",
                        help="voice name of the speech service (vantor voices lists them)")
    parser.add_argument("--speed", type=float, default=1.0, metavar="FACTOR",
                        help=f"speed of the result, from {MIN_SPEED:g} to {MAX_SPEED:g}")
    parser.add_argument("--output-dir", default=".", metavar="DIR",
                        help="directory for the results; the run works in a folder of its own inside it")
    parser.add_argument("-o", "--output", default=DEFAULT_FINAL, metavar="NAME",
                        help="file name of the recap; the horizontal video is NAME with .horizontal before .mp4 "
                             "(horizontal_final.mp4 beside FINAL_RECAP.mp4)")
    parser.add_argument("--force", action="store_true", help="replace existing results of the same names")
    parser.add_argument("-p", "--mkdir", action="store_true",
                        help="create the output directory's missing parent folders too (a missing output directory "
                             "whose parent exists is always created)")
    parser.add_argument("--json", action="store_true", help="print the result as one JSON object")
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress, only the result or error")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show more: each command the run starts and the output it captured, and the "
                             "fallback to the CPU encoder")
    services_argument(parser, "run the download and speech services on this machine (yt-dlp, espeak-ng)")
    parser.add_argument("--no-check", action="store_true", help="skip checking the segments file first")
    add_fit_and_caption_options(parser)
    add_keep_work_option(parser)
    add_sound_options(parser)
    add_timeline_options(parser)
    parser.add_argument("--debug", action="store_true", help="show the traceback on failure")
    parser.set_defaults(handler=_run)
