"""`vantor serve`: the local download and speech services as one long-lived
process, for several users or batch workers on this machine or a LAN."""

from __future__ import annotations

import argparse
import ipaddress
import os
import signal
import socket
from types import FrameType
from typing import Any

from ..services.limits import Limits, default_cache_dir
from ._common import EXIT_OK, CommandFailed, add_command

__all__ = ["register"]


class _Terminated(Exception):
    """SIGTERM: the service manager's ordinary way to stop a server."""


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise _Terminated


def _network(value: str) -> ipaddress.IPv4Network | ipaddress.IPv6Network:
    try:
        return ipaddress.ip_network(value, strict=False)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a network like 192.168.1.0/24: {error}") from None


def _is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def _listen(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    try:
        return socket.create_server((host, port), family=family)
    except OSError as error:
        reason = os.strerror(error.errno) if error.errno else str(error)  # without create_server's addition
        raise CommandFailed(f"cannot listen on {host} port {port}: {reason}; "
                            "choose another with --port (or stop what uses it)") from None


def _run(args: argparse.Namespace) -> int:
    import uvicorn

    from ..services.app import LOOPBACK
    from ..services.server import Services, stderr_logging
    from ..services.voices import VOICES_DIR_ENV

    if not _is_loopback(args.host) and not args.allow:
        args.parser.error(f"binding {args.host} serves other machines; name the client networks that may use it "
                          "with --allow CIDR (e.g. --allow 192.168.1.0/24)")
    listening = _listen(args.host, args.port)
    port = listening.getsockname()[1]
    limits = Limits(max_jobs=args.max_jobs, cache_bytes=int(args.cache_gib * 1024**3))
    services = Services(args.cache_dir, limits=limits, allow=(*LOOPBACK, *args.allow),
                        voices_dir=args.voices_dir or os.environ.get(VOICES_DIR_ENV) or None)
    shown = f"[{args.host}]" if ":" in args.host else args.host
    base = f"http://{shown}:{port}"
    print(f"vantor serve: download and speech services on {base} (cache {args.cache_dir}); clients route "
          f"the download API and speech host to it: vantor.local_services(\"{base}\") or "
          f"VANTOR_SERVICES_URL={base} vantor recap ...", flush=True)
    # uvicorn stops serving on Ctrl-C and SIGTERM, then raises the signal again
    # for the handlers it found: SIGTERM ends here as a clean stop (0), Ctrl-C
    # as every command's interruption (130).
    signal.signal(signal.SIGTERM, _on_sigterm)
    config = uvicorn.Config(services.app, log_level="info", log_config=stderr_logging(), lifespan="off",
                            timeout_graceful_shutdown=5)
    try:
        uvicorn.Server(config).run(sockets=[listening])
    except _Terminated:
        pass
    finally:
        services.close()
        listening.close()
        print("vantor serve: stopped", flush=True)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "serve", help="run the local download and speech services for other processes",
        example="vantor serve --port 8765, then VANTOR_SERVICES_URL=http://127.0.0.1:8765 vantor recap ...",
        description="Run the local download (yt-dlp) and speech (neural voice, espeak-ng) services as one "
                    "long-lived process.\n"
                    "Its address goes on stdout in the first line; one line per request goes to stderr.\n"
                    "Stops cleanly on Ctrl-C (exit 130) or SIGTERM (exit 0).",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to bind")
    parser.add_argument("--port", type=int, default=8765, help="port; 0 picks a free one")
    parser.add_argument("--cache-dir", default=str(default_cache_dir()), metavar="DIR", help="cache directory")
    parser.add_argument("--allow", action="append", default=[], metavar="CIDR", type=_network,
                        help="client network allowed besides loopback; required for a non-loopback --host")
    parser.add_argument("--max-jobs", type=int, default=Limits.max_jobs, metavar="N", help="downloads at once")
    parser.add_argument("--cache-gib", type=float, default=Limits.cache_bytes / 1024**3, metavar="GIB",
                        help="size limit of each cache in GiB")
    parser.add_argument("--voices-dir", metavar="DIR",
                        help="a folder of Piper voices (NAME.onnx with NAME.onnx.json) offered as voices NAME "
                             "(default: $VANTOR_VOICES_DIR)")
    parser.set_defaults(handler=_run, parser=parser)
