"""`vantor demo`: a complete recap offline, through the local services."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..recap.checks.preflight import check_output_dir
from ..tools import require_tools
from ._common import EXIT_OK, add_command

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    from ..demo import run_demo

    require_tools(local_services=True)  # before the output directory is made
    check_output_dir(args.output_dir, create=True)
    outputs = run_demo(args.output_dir, progress=None if args.quiet else sys.stderr, overwrite=args.force)
    print(os.path.abspath(outputs["final"]))
    if not args.quiet:
        print(f"  horizontal video: {os.path.abspath(outputs['horizontal'])}", file=sys.stderr)
        print(f"  contact sheet:    {os.path.abspath(outputs['preview'])}", file=sys.stderr)
        film, segments = (os.path.relpath(outputs[key]) for key in ("film", "segments"))
        print(f"  your turn: edit {segments}, then: vantor recap {film} {segments} --output-dir my-recap",
              file=sys.stderr)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "demo", help="run a complete recap offline: a loopback video page through the local services",
        example="vantor demo --output-dir demo-output",
        description="Run a complete recap offline: a synthetic video published on a loopback web page is\n"
                    "fetched by the local download service through yt-dlp, and four narrations are spoken\n"
                    "by the local speech service. Prints the recap's path; progress goes to stderr.",
    )
    parser.add_argument("--output-dir", default="demo-output", help="directory for the results (created)")
    parser.add_argument("--force", action="store_true", help="replace the results of an earlier demo there")
    parser.add_argument("-q", "--quiet", action="store_true", help="show no progress")
    parser.add_argument("--debug", action="store_true", help="show the traceback on failure")
    parser.set_defaults(handler=_run)
