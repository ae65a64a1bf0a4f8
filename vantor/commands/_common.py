"""What every subcommand shares: exit statuses, help layout, a failure."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

__all__ = ["EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "CommandFailed", "HelpFormatter",
           "add_command", "plural", "whole_number"]

EXIT_OK = 0
EXIT_FAILURE = 1  # the command ran and failed, or refused its input
EXIT_USAGE = 2  # argparse's status for a command line it cannot read
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'s' if count != 1 else ''}"


def whole_number(least: int, most: int | None = None, *, what: str = "a whole number") -> Callable[[str], int]:
    """An option's type: a whole number from `least` (to `most`)."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if most is not None and not least <= value <= most:
            raise argparse.ArgumentTypeError(f"must be from {least} to {most}, not {value}")
        if value < least:
            raise argparse.ArgumentTypeError(f"must be {least} or more, not {value}")
        return value
    return parse


# A listening port; 0 picks a free one.
PORT = whole_number(0, 65535, what="a port number")


class CommandFailed(Exception):
    """A failure already explained in one line; `vantor: <message>`, exit 1."""


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter, argparse.RawDescriptionHelpFormatter):
    """Defaults shown after each option that has a meaningful one, once and
    as a user types it (an option's own words may say it already);
    description and example kept as written."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        said = action.help or ""
        if action.default in (None, False, [], argparse.SUPPRESS) or action.required or "(default" in said:
            return action.help
        default = action.default
        shown = default if isinstance(default, (str, int, float)) else getattr(default, "choice", default)
        return f"{said} (default: {str(shown).replace('%', '%%')})"


def add_command(subparsers: Any, name: str, *, help: str, example: str,
                description: str | None = None) -> argparse.ArgumentParser:
    return subparsers.add_parser(  # type: ignore[no-any-return]
        name, help=help, description=description or help[0].upper() + help[1:] + ".",
        epilog=f"example:\n  {example}", formatter_class=HelpFormatter,
    )
