"""`vantor doctor`: is this machine ready for a first real run?"""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ._common import add_command

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    from ..doctor import run_doctor

    return run_doctor(sys.stdout)


def register(subparsers: Any) -> None:
    parser = add_command(subparsers, "doctor",
                         help="check ffmpeg, ffprobe, wget, the encoders and the service settings",
                         example="vantor doctor")
    parser.set_defaults(handler=_run)
