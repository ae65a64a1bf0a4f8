"""`vantor voices`: the voice names the local speech service accepts."""

from __future__ import annotations

import sys


def _cmd_voices(args) -> int:
    from .services.voices import VOICES

    width = max(map(len, VOICES))
    for name, espeak in VOICES.items():
        print(f"{name:<{width}}  espeak-ng {espeak}" if name != espeak else f"{name:<{width}}  espeak-ng voice")
    sys.stdout.flush()
    return 0


def register(subparsers) -> None:
    voices = subparsers.add_parser("voices", help="list the voices of the local speech service")
    voices.set_defaults(handler=_cmd_voices)


__all__ = ["register"]
