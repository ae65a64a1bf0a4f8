"""`--services`, as every command that talks to the services takes it: read
once into a `ServicesChoice` that the command hands to each step."""

from __future__ import annotations

import argparse

from ..recap.engine.services_choice import SERVICES, ServicesChoice, ServicesChoiceError

__all__ = ["services_argument"]


def _services(value: str) -> ServicesChoice:
    try:
        return ServicesChoice(value)
    except ServicesChoiceError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def services_argument(parser: argparse.ArgumentParser, local: str) -> None:
    """--services; `local` says what the local services are for this command."""
    parser.add_argument("--services", type=_services, default=ServicesChoice("auto"),
                        metavar="|".join(SERVICES) + "|URL",
                        help=f"local: {local}, or at $VANTOR_SERVICES_URL; configured: the hosts the build names; "
                             "URL: a running vantor serve; auto: local when the build's hosts are placeholders")
