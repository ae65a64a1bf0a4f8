"""`vantor from-timeline TIMELINE -o segments.json`: the segments of a
timeline edited in a video editor (OTIO, FCPXML or Kdenlive), checked as
`vantor check` checks them."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from ..interchange.reader import TimelineRefused, read_timeline
from ..recap.checks.segments_check import check_segments_bytes
from ._common import EXIT_OK, CommandFailed, add_command
from .check import print_report

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    try:
        back = read_timeline(args.timeline)
    except TimelineRefused as refused:
        raise CommandFailed(str(refused)) from None
    content = (json.dumps(back.segments, indent=2, ensure_ascii=False) + "\n").encode("utf-8")
    report = check_segments_bytes(content, args.output)
    if not report.ok:
        print_report(report, sys.stderr)
        raise CommandFailed(f"the segments read from {args.timeline} do not pass vantor check (above); "
                            "fix the timeline and read it again")
    for note in back.notes:
        print(f"note: {note}", file=sys.stderr)
    if args.output == "-":
        sys.stdout.buffer.write(content)
        return EXIT_OK
    if os.path.lexists(args.output) and not args.force:
        raise CommandFailed(f"{args.output} already exists; pass --force to replace it")
    partial = f"{args.output}.partial"
    with open(partial, "wb") as f:
        f.write(content)
    os.replace(partial, args.output)
    print(f"{args.output}: {len(back.segments)} segments from {args.timeline}", file=sys.stderr)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "from-timeline", help="read the segments back from a timeline edited in a video editor",
        example="vantor from-timeline FINAL_RECAP.kdenlive -o segments.json",
        description="Read the segments back from a timeline written by --timeline and edited in a video\n"
                    "editor (.otio, .fcpxml or .kdenlive): the ranges as the editor left them (trimmed,\n"
                    "reordered, deleted), each with its narration's text. A range whose narration clip was\n"
                    "removed is said in one line. The result passes vantor check.",
    )
    parser.add_argument("timeline", help="the edited timeline: NAME.otio, NAME.fcpxml or NAME.kdenlive")
    parser.add_argument("-o", "--output", required=True, metavar="FILE", help="the segments file to write; - for stdout")
    parser.add_argument("--force", action="store_true", help="replace an existing segments file")
    parser.add_argument("--debug", action="store_true", help="show the traceback on failure")
    parser.set_defaults(handler=_run)
