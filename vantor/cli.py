"""Command line: `python -m vantor` / `vantor`.

    vantor recap URL SEGMENTS --voice NAME [--speed 1.0] [--output-dir .]
    vantor check SEGMENTS
    vantor doctor
    vantor demo [--output-dir demo-output]
    vantor batch JOBS [--workers N] [--scheduler ADDRESS] [--check] ...
"""

from __future__ import annotations

import argparse
import sys
import traceback

from .batch import command as batch_command
from .segments_check import check_segments


def _print_problems(problems, stream) -> bool:
    """Prints every problem; True when none is an error."""
    for problem in problems:
        print(problem, file=stream)
    return not any(p.severity == "error" for p in problems)


def _cmd_check(args) -> int:
    problems = check_segments(args.segments)
    clean = _print_problems(problems, sys.stdout)
    if clean:
        warnings = len(problems)
        print(f"{args.segments}: OK" + (f" ({warnings} warning{'s' if warnings != 1 else ''})" if warnings else ""))
    return 0 if clean else 1


def _cmd_recap(args) -> int:
    if not args.no_check:
        problems = check_segments(args.segments)
        if not _print_problems(problems, sys.stderr):
            print("vantor: segments file has errors; nothing was downloaded (use --no-check to run anyway)",
                  file=sys.stderr)
            return 1
    from . import vantor as engine

    try:
        result = engine.run_recap(args.url, args.segments, args.speed, args.voice, args.output_dir)
    except KeyboardInterrupt:
        print("\nvantor: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # one clear line unless --debug
        if args.debug:
            traceback.print_exc()
        else:
            print(f"vantor: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    print(result)
    return 0


def _cmd_doctor(args) -> int:
    from .doctor import run_doctor

    return run_doctor(sys.stdout)


def _cmd_demo(args) -> int:
    from .demo import run_demo

    run_demo(args.output_dir)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantor", description="Narrated vertical recaps of long videos.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    recap = sub.add_parser("recap", help="make FINAL_RECAP.mp4 from a video address and a segments file")
    recap.add_argument("url", help="address of the source video")
    recap.add_argument("segments", help="segments JSON file")
    recap.add_argument("--voice", required=True, help="voice name of the speech service")
    recap.add_argument("--speed", type=float, default=1.0, help="playback speed of the result (default 1.0)")
    recap.add_argument("--output-dir", default=".", help="directory for all files (default .)")
    recap.add_argument("--no-check", action="store_true", help="skip validating the segments file first")
    recap.add_argument("--debug", action="store_true", help="show the traceback on failure")
    recap.set_defaults(handler=_cmd_recap)

    check = sub.add_parser("check", help="validate a segments file and report every problem")
    check.add_argument("segments")
    check.set_defaults(handler=_cmd_check)

    doctor = sub.add_parser("doctor", help="check ffmpeg, wget, the encoders and the service settings")
    doctor.set_defaults(handler=_cmd_doctor)

    demo = sub.add_parser("demo", help="run a complete recap offline against local stand-in services")
    demo.add_argument("--output-dir", default="demo-output")
    demo.set_defaults(handler=_cmd_demo)

    batch_command.register(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    return args.handler(args)
