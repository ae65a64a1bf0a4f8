"""`vantor serve`: the local download and speech services as one long-lived
process, for several users or batch workers on this machine or a LAN."""

from __future__ import annotations

import argparse
import logging
import math
import os
import signal
from types import FrameType
from typing import Any

from ..net import is_loopback, url_host
from ..services.limits import Limits, default_cache_dir
from ._common import EXIT_OK, PORT, add_command, whole_number
from .listen_options import listening as listening_socket, network

__all__ = ["register"]


class _Terminated(Exception):
    """SIGTERM: the service manager's ordinary way to stop a server."""


def _on_sigterm(signum: int, frame: FrameType | None) -> None:
    raise _Terminated


def _positive(limit: float) -> Any:
    def parse(value: str) -> float:
        try:
            number = float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {value!r}") from None
        if not (math.isfinite(number) and 0 < number <= limit):
            raise argparse.ArgumentTypeError(f"must be above 0 and at most {limit:g}, not {value}")
        return number
    return parse


def _token(value: str) -> str:
    from ..services.server import TOKEN_PATTERN

    if not TOKEN_PATTERN.fullmatch(value):
        raise argparse.ArgumentTypeError("a token is 16 to 128 letters, digits, '-' or '_'")
    return value


def _run(args: argparse.Namespace) -> int:
    import uvicorn

    from ..services.app import LOOPBACK
    from ..services.server import HideToken, Services, new_token, server_config, stderr_logging
    from ..services.voices import VOICES_DIR_ENV

    if args.no_token and (args.token or not is_loopback(args.host)):
        args.parser.error("--no-token serves anyone who can connect; it is allowed only on a loopback --host "
                          "and without --token")
    token = None if args.no_token else args.token or new_token()
    listening = listening_socket(args)
    port = listening.getsockname()[1]
    limits = Limits(max_jobs=args.max_jobs, cache_bytes=int(args.cache_gib * 1024**3),
                    job_deadline=args.deadline, stall_seconds=args.stall_seconds)
    services = Services(args.cache_dir, limits=limits, allow=(*LOOPBACK, *args.allow), token=token,
                        private_sources="allow" if args.allow_private_sources else "refuse",
                        voices_dir=args.voices_dir or os.environ.get(VOICES_DIR_ENV) or None)
    base = f"http://{url_host(args.host)}:{port}" + (f"/{token}" if token else "")
    print(f"vantor serve: download and speech services on {base} (cache {args.cache_dir}); clients route "
          f"the download API and speech host to it: vantor.local_services(\"{base}\") or "
          f"VANTOR_SERVICES_URL={base} vantor recap ...", flush=True)
    # uvicorn stops serving on Ctrl-C and SIGTERM, then raises the signal again
    # for the handlers it found: SIGTERM ends here as a clean stop (0), Ctrl-C
    # as every command's interruption (130).
    signal.signal(signal.SIGTERM, _on_sigterm)
    config = server_config(services.app, log_level="info", log_config=stderr_logging(), lifespan="off",
                            timeout_graceful_shutdown=5)
    if token:
        logging.getLogger("uvicorn.access").addFilter(HideToken(token))

    class _Server(uvicorn.Server):
        def handle_exit(self, sig: int, frame: FrameType | None) -> None:
            services.jobs.begin_close()  # running downloads end now, waiting requests answer at once
            super().handle_exit(sig, frame)

    try:
        _Server(config).run(sockets=[listening])
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
        example="vantor serve --port 8765, then VANTOR_SERVICES_URL=<the address it prints> vantor recap ...",
        description="Run the local download (yt-dlp) and speech (neural voice, espeak-ng) services as one "
                    "long-lived process.\n"
                    "Its address, with the secret token clients must present, goes on stdout in the first line;\n"
                    "one line per request goes to stderr. Only public video addresses are fetched unless\n"
                    "--allow-private-sources is given. Stops cleanly on Ctrl-C (exit 130) or SIGTERM (exit 0).",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to bind")
    parser.add_argument("--port", type=PORT, default=8765, help="port; 0 picks a free one")
    parser.add_argument("--token", type=_token, metavar="TOKEN",
                        help="the secret clients present as the first path segment (default: a new random one)")
    parser.add_argument("--no-token", action="store_true",
                        help="serve without a token (loopback --host only): every local user can use the service")
    parser.add_argument("--allow-private-sources", action="store_true",
                        help="also fetch videos from loopback, private and link-local addresses")
    parser.add_argument("--deadline", type=_positive(7 * 24 * 3600), default=Limits.job_deadline, metavar="SECONDS",
                        help="a download taking longer fails")
    parser.add_argument("--stall-seconds", type=_positive(3600), default=Limits.stall_seconds, metavar="SECONDS",
                        help="a download receiving no byte for this long fails as stalled")
    parser.add_argument("--cache-dir", default=str(default_cache_dir()), metavar="DIR", help="cache directory")
    parser.add_argument("--allow", action="append", default=[], metavar="CIDR", type=network,
                        help="client network allowed besides loopback; required for a non-loopback --host")
    parser.add_argument("--max-jobs", type=whole_number(1, 1000), default=Limits.max_jobs, metavar="N",
                        help="downloads at once")
    parser.add_argument("--cache-gib", type=_positive(1024**2), default=Limits.cache_bytes / 1024**3, metavar="GIB",
                        help="size limit of each cache in GiB")
    parser.add_argument("--voices-dir", metavar="DIR",
                        help="a folder of Piper voices (NAME.onnx with NAME.onnx.json) offered as voices NAME "
                             "(default: $VANTOR_VOICES_DIR)")
    parser.set_defaults(handler=_run, parser=parser)
