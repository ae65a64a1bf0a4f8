"""Where `vantor serve` and `vantor studio` listen: --allow's networks, the
rule that another machine may connect only from a named network, and the
listening socket (IPv4 or IPv6, see vantor.net)."""

from __future__ import annotations

import argparse
import ipaddress
import os
import socket

from ..net import is_loopback, listen
from ._common import CommandFailed

__all__ = ["listening", "network"]


def network(value: str) -> ipaddress.IPv4Network | ipaddress.IPv6Network:
    """--allow's type."""
    try:
        return ipaddress.ip_network(value, strict=False)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a network like 192.168.1.0/24: {error}") from None


def listening(args: argparse.Namespace) -> socket.socket:
    """The socket on --host and --port; a host other machines reach needs
    the networks that may use it named with --allow."""
    if not is_loopback(args.host) and not args.allow:
        args.parser.error(f"binding {args.host} serves other machines; name the client networks that may use it "
                          "with --allow CIDR (e.g. --allow 192.168.1.0/24)")
    try:
        return listen(args.host, args.port)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)  # without create_server's addition
        raise CommandFailed(f"cannot listen on {args.host} port {args.port}: {reason}; "
                            "choose another with --port (or stop what uses it)") from None
