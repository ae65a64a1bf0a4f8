"""`python -m vantor` before the command line: make sure the engine can load.

Run from a checkout's root, `python -m vantor` finds the source tree's
`vantor/` ahead of the installed package (the working directory comes first
on sys.path), and a checkout that was installed but never built has no
engine there. Then the command runs again with the working directory left
off the path (`-P`), which finds the installed package. Where no engine can
load at all (another Python, nothing built), one line says what to do.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path

__all__ = ["engine_problem", "installed_engine_elsewhere", "launch"]

PACKAGE_DIR = Path(__file__).resolve().parent
NEEDED = (3, 13)


def engine_problem() -> str | None:
    """None when `vantor.vantor` can be imported, else what to do, in one line."""
    checkout = PACKAGE_DIR.parent if (PACKAGE_DIR.parent / "Makefile").is_file() else None
    venv_python = checkout / ".venv" / "bin" / "python" if checkout else None
    if sys.implementation.name != "cpython" or sys.version_info[:2] != NEEDED:
        this = f"{sys.implementation.name} {sys.version.split()[0]} ({sys.executable})"
        if venv_python is not None and venv_python.exists():
            how = f"run it with {venv_python} -m vantor, or the vantor command after make install"
        else:
            how = "run make install in the checkout, then the vantor command"
        return f"vantor: needs CPython {NEEDED[0]}.{NEEDED[1]}, and this is {this}: {how}"
    if importlib.util.find_spec("vantor.vantor") is None:
        where = f"run make build in {checkout} (or make install for the vantor command)" if checkout else (
            "reinstall it: pip install --force-reinstall vantor")
        return f"vantor: the engine is not built in {PACKAGE_DIR}: {where}"
    return None


def installed_engine_elsewhere() -> bool:
    """Is this package the working directory's, shadowing an installed one
    whose engine loads?"""
    if sys.flags.safe_path or not sys.path or Path(sys.path[0] or ".").resolve() != PACKAGE_DIR.parent:
        return False
    spec = importlib.machinery.PathFinder.find_spec("vantor", sys.path[1:])
    if spec is None or not spec.submodule_search_locations:
        return False
    return any(Path(location, "vantor" + suffix).is_file()
               for location in spec.submodule_search_locations
               for suffix in importlib.machinery.EXTENSION_SUFFIXES)


def launch() -> int:
    problem = engine_problem()
    if problem is None:
        from .cli import main

        return main()
    if installed_engine_elsewhere():
        # The same command line, interpreter options included, less the working directory.
        os.execv(sys.executable, [sys.executable, "-P", *sys.orig_argv[1:]])
    print(problem, file=sys.stderr)
    return 1
