"""Command line: `vantor` (or `python -m vantor`).

    vantor recap URL|FILE SEGMENTS [--voice NAME] [--speed 1.0] [--output-dir .] [-p] [--json] [-q]
                 [--services local|configured|http://HOST:PORT]
    vantor check SEGMENTS... [-q] [--json]
    vantor doctor
    vantor serve [--host 127.0.0.1] [--port 8765] [--cache-dir DIR] [--allow CIDR]
    vantor voices
    vantor demo [--output-dir demo-output]
    vantor batch JOBS [--workers N] [--scheduler tcp://HOST:8786] [--retries 2] [--report FILE]
                 [--force] [--services local|configured|URL] [--json] [-q]
    vantor batch --check JOBS
    vantor studio [URL] [--project DIR] [--host 127.0.0.1] [--port 8766] [--allow CIDR] [--no-browser]
    vantor transcript URL [--json|--srt|--vtt] [--language CODE] [--services ...] [-q]
    vantor suggest URL [--count N] [--length SECONDS] [--keyword WORD]... [--include-ends] [-o FILE] [--force] [--json]

Every subcommand exits 0 when it succeeded, 1 when it failed or refused its
input (one line on stderr, `vantor: ...`), 2 for a command line it cannot
read, 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
from collections.abc import Sequence
from typing import Any

from . import __version__
from .commands import batch, check, demo, doctor, from_timeline, recap, serve, studio, suggest, transcript, voices
from .commands._common import EXIT_FAILURE, EXIT_INTERRUPTED, CommandFailed
from .recap.engine.messages import explain
from .errors import PreflightError
from .recap.engine.outputs import OutputError
from .recap.engine.run import kept_work_dir
from .runner import ChildStopped, run

__all__ = ["build_parser", "main", "version_line"]

# Each registers its parser, in the order `vantor --help` lists them.
COMMANDS = (recap, check, from_timeline, doctor, serve, voices, demo, batch, studio, transcript, suggest)


def _ffmpeg_version() -> str:
    try:
        done = run(["ffmpeg", "-version"], text=True, time_limit=10)
    except (OSError, ChildStopped):
        return "no ffmpeg on PATH"
    words = (done.stdout.splitlines() or [""])[0].split()
    return f"ffmpeg {words[2]}" if len(words) > 2 and words[:2] == ["ffmpeg", "version"] else "ffmpeg (unknown)"


def version_line() -> str:
    """What is knowable about this installation, in one line."""
    import importlib.util

    try:
        from . import _service_settings as settings

        hosts = f"hosts {settings.DOWNLOAD_API_HOST}, {settings.TTS_HOST}"
    except ImportError:
        hosts = "hosts not configured"
    engine = "engine for CPython 3.13" if importlib.util.find_spec("vantor.vantor") else "engine not built"
    return f"vantor {__version__} ({engine}, {_ffmpeg_version()} on PATH, {hosts})"


class _VersionAction(argparse.Action):
    """--version, worked out only when asked for (it runs ffmpeg)."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the version, the engine, ffmpeg and the service hosts, and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        print(version_line())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vantor", description="Narrated vertical recaps of long videos.",
        epilog="exit status: 0 ok, 1 failed or refused, 2 bad command line, 130 interrupted",
    )
    parser.add_argument("--version", action=_VersionAction)
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(subparsers)
    return parser


def _reader_gone() -> int:
    """stdout's reader went away (`vantor voices | head`): stop quietly, and
    point stdout at /dev/null so the interpreter's last flush cannot fail too."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_FAILURE


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)  # exits 2 for a command line it cannot read
    try:
        status = int(args.handler(args))
        sys.stdout.flush()  # a closed pipe shows here, not at exit
        return status
    except KeyboardInterrupt as interrupted:
        print(f"\nvantor: interrupted{_kept(interrupted)}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        return _reader_gone()
    except (PreflightError, CommandFailed, OutputError) as refused:
        print(f"vantor: {refused}{_kept(refused)}", file=sys.stderr)
        return EXIT_FAILURE
    except Exception as error:
        if getattr(args, "debug", False):
            traceback.print_exc()
        else:
            print(f"vantor: {explain(error, verbose=getattr(args, 'verbose', False))}{_kept(error)}", file=sys.stderr)
        return EXIT_FAILURE


def _kept(error: BaseException) -> str:
    """The working folder a failed run left, when its message does not say."""
    folder = kept_work_dir(error)
    return f"; the working files are kept in {folder}" if folder and folder not in str(error) else ""
