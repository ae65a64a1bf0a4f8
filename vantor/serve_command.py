"""`vantor serve`: the local download and speech services as one long-lived
process, for several users or batch workers on this machine or a LAN."""

from __future__ import annotations


import ipaddress
import signal
import sys

from .services.limits import Limits, default_cache_dir


class _Stopped(Exception):
    pass


def _stop(signum, frame) -> None:
    raise _Stopped


def _networks(values: list[str]) -> list:
    return [ipaddress.ip_network(value, strict=False) for value in values]


def _cmd_serve(args) -> int:
    import uvicorn

    from .services.app import LOOPBACK
    from .services.server import Services

    try:
        allowed = _networks(args.allow)
    except ValueError as error:
        print(f"vantor serve: bad --allow network: {error}", file=sys.stderr)
        return 2
    try:
        loopback_bind = ipaddress.ip_address(args.host).is_loopback
    except ValueError:
        loopback_bind = args.host == "localhost"
    if not loopback_bind and not allowed:
        print(f"vantor serve: binding {args.host} serves other machines; name the client networks that may use it "
              "with --allow CIDR (e.g. --allow 192.168.1.0/24)", file=sys.stderr)
        return 2
    limits = Limits(max_jobs=args.max_jobs, cache_bytes=int(args.cache_gib * 1024**3))
    services = Services(args.cache_dir, limits=limits, allow=(*LOOPBACK, *allowed))
    shown = f"[{args.host}]" if ":" in args.host else args.host
    base = f"http://{shown}:{args.port}"
    print(f"vantor serve: download and speech services on {base} (cache {args.cache_dir}); clients route "
          f"the download API and speech host to it: vantor.local_services(\"{base}\") or "
          f"VANTOR_SERVICES_URL={base} vantor recap ...", flush=True)
    # uvicorn stops serving on Ctrl-C and SIGTERM, then raises the signal again
    # for the handlers it found: these make that a clean stop here.
    signal.signal(signal.SIGTERM, _stop)
    try:
        # uvicorn's access log is the one line per request.
        uvicorn.run(services.app, host=args.host, port=args.port, log_level="info", lifespan="off",
                    timeout_graceful_shutdown=5)
    except (KeyboardInterrupt, _Stopped):
        pass
    finally:
        services.close()
    print("vantor serve: stopped", flush=True)
    return 0


def register(subparsers) -> None:
    serve = subparsers.add_parser("serve", help="run the local download and speech services for other processes")
    serve.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8765, help="port (default 8765)")
    serve.add_argument("--cache-dir", default=str(default_cache_dir()), help="cache directory (default %(default)s)")
    serve.add_argument("--allow", action="append", default=[], metavar="CIDR",
                       help="client network allowed besides loopback; required for a non-loopback --host")
    serve.add_argument("--max-jobs", type=int, default=Limits.max_jobs, help="downloads at once (default %(default)s)")
    serve.add_argument("--cache-gib", type=float, default=Limits.cache_bytes / 1024**3,
                       help="size limit of each cache in GiB (default %(default)s)")
    serve.set_defaults(handler=_cmd_serve)


__all__ = ["register"]

