"""`vantor studio`: the local services and the browser editor on one
loopback address, opened once by a one-time address (see studio/guard.py)."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from pathlib import Path
from typing import Any
from urllib.parse import quote

from ..net import is_loopback, url_host
from ..services.limits import default_cache_dir
from ._common import EXIT_OK, PORT, CommandFailed, add_command
from .listen_options import listening as listening_socket, network
from .serve import _on_sigterm, _Terminated

__all__ = ["register"]


def _page_address(host: str, port: int, path: str, url: str | None) -> str:
    """The page's one-time address (`path` from StudioGuard.one_time_path):
    it goes to the browser's command line, so it holds no lasting secret."""
    return f"http://{url_host(host)}:{port}{path}" + (f"?url={quote(url, safe='')}" if url else "")


def _has_desktop() -> bool:
    # Without a display, Python's webbrowser falls back to a text browser in
    # this terminal, which would take it over: then the printed address is enough.
    return any(os.environ.get(name) for name in ("BROWSER", "DISPLAY", "WAYLAND_DISPLAY"))


def _open_browser(address: str) -> None:
    import webbrowser

    try:
        webbrowser.open(address)
    except Exception:  # no browser after all: the printed address is enough
        pass


def _music_dir(folder: str | None) -> Path | None:
    """The folder `--music` names, checked once at the start."""
    if folder is None:
        return None
    from ..recap.sound.sound_step import MUSIC_SUFFIXES, music_names

    path = Path(folder).resolve()
    if not path.is_dir():
        raise CommandFailed(f"--music {folder}: not a folder; pass a folder of audio files ({' '.join(MUSIC_SUFFIXES)})")
    try:
        music_names(str(path))
    except OSError as error:
        raise CommandFailed(f"--music {folder}: cannot be read ({error.strerror}); pass a folder you can read") from None
    return path


def _run(args: argparse.Namespace) -> int:
    import uvicorn

    from ..services.app import LOOPBACK
    from ..recap.engine.services_choice import shown_address
    from ..services.gate import new_secret
    from ..services.server import InProcessServer, Services, new_token, server_config, stderr_logging
    from ..studio.app import Studio
    from ..studio.guard import StudioGuard
    from ..studio.project import Project

    try:
        project = Project(args.project)
    except NotADirectoryError as error:
        raise CommandFailed(f"{error}; create it or choose another with --project") from None
    music = _music_dir(args.music)
    listening = listening_socket(args)
    port = listening.getsockname()[1]
    allow = (*LOOPBACK, *args.allow)
    # On loopback the services stay on 127.0.0.1; for other machines they
    # listen where the page does (the page reaches them by its own host name).
    # The services answer only with their own token, which the page learns
    # from its loads; like a recap's own services, a video on the user's own
    # network may be loaded, but no public page leads to a private address.
    services = InProcessServer(Services(args.cache_dir, allow=allow, token=new_token(), private_sources="direct"),
                               host="127.0.0.1" if is_loopback(args.host) else args.host)
    studio = Studio(project, services.base_url, first_url=args.url or "", music_dir=music)
    guard = StudioGuard(studio.app, new_secret(), port)
    where = f"project {project.root}; services on {shown_address(services.base_url)}"
    if not args.no_browser and _has_desktop():
        # The browser's command line is every local user's to read: it names a private file of ours,
        # whose form carries the one-time code to the server.
        origin = f"http://{url_host(args.host)}:{port}"
        opened = guard.open_file(origin, args.url)
        print(f"vantor studio: {origin} (opening it in the browser; if no page opens, run vantor studio "
              f"--no-browser and open the address it prints; {where})", flush=True)
        threading.Thread(target=_open_browser, args=(Path(opened).as_uri(),), daemon=True).start()
    else:
        address = _page_address(args.host, port, guard.one_time_path(), args.url)
        print(f"vantor studio: {address} (opens the page once; {where})", flush=True)
    from ..services.app import ClientAllowList

    app = ClientAllowList(guard, allow)
    signal.signal(signal.SIGTERM, _on_sigterm)
    config = server_config(app, log_level="warning", log_config=stderr_logging(), lifespan="off",
                            timeout_graceful_shutdown=2)
    class Server(uvicorn.Server):
        def handle_exit(self, sig: int, frame: Any) -> None:
            studio.framing_queue.stop()  # its analyses end now, so their requests answer within the shutdown
            super().handle_exit(sig, frame)

    try:
        Server(config).run(sockets=[listening])
    except _Terminated:
        pass
    finally:
        guard.close()
        studio.close()
        services.close()
        listening.close()
        print("vantor studio: stopped", file=sys.stderr, flush=True)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "studio", help="mark ranges, write narrations and make recaps in the browser",
        example="vantor studio https://www.youtube.com/watch?v=... --project my-recap",
        description="Start the local services and the browser editor on this machine. The browser opens\n"
                    "it through a private file that carries a one-time code; with --no-browser a one-time\n"
                    "address goes on stdout instead (open it yourself, once).\n"
                    "The project folder holds segments.json and the finished recaps (recaps/).",
    )
    parser.add_argument("url", nargs="?", help="a video address to load at once")
    parser.add_argument("--project", default=".", metavar="DIR", help="project folder")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind")
    parser.add_argument("--port", type=PORT, default=8766, help="port; 0 picks a free one")
    parser.add_argument("--allow", action="append", default=[], metavar="CIDR", type=network,
                        help="client network allowed besides loopback; required for a non-loopback --host")
    parser.add_argument("--cache-dir", default=str(default_cache_dir()), metavar="DIR", help="services' cache directory")
    parser.add_argument("--no-browser", action="store_true", help="only print the address")
    parser.add_argument("--music", metavar="DIR",
                        help="a folder of music beds the page may choose from, by name (none by default)")
    parser.set_defaults(handler=_run, parser=parser)
