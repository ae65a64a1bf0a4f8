"""`vantor voices`: the voice names the local speech service accepts."""

from __future__ import annotations

import argparse
from typing import Any

from ._common import EXIT_OK, add_command

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    from ..services.voices import VOICES

    width = max(map(len, VOICES))
    for name, espeak in VOICES.items():
        print(f"{name:<{width}}  espeak-ng {espeak}" if name != espeak else f"{name:<{width}}  espeak-ng voice")
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(subparsers, "voices", help="list the voice names of the local speech service",
                         example="vantor voices | grep en-GB")
    parser.set_defaults(handler=_run)
