"""How to add one of the package's optional extras (transcribe, neural,
batch) to the install this process runs from, as a command that works
there: no package index serves vantor itself, so `pip install
'vantor[extra]'` is no answer.

A checkout (the source tree, or the folder pip recorded installing from)
adds recognition with its own `make transcribe`; anything else gets this
environment's own pip with the extra's pinned packages, read from the
installed package's metadata."""

from __future__ import annotations

import json
import re
import shlex
import sys
from importlib import metadata
from pathlib import Path
from urllib.parse import unquote, urlsplit

__all__ = ["install_extra", "source_checkout"]

# The extras a checkout's Makefile installs by a target of their own.
_MAKE_TARGETS = {"transcribe": "transcribe"}


def _is_checkout(folder: Path) -> bool:
    return (folder / "pyproject.toml").is_file() and (folder / "Makefile").is_file()


def source_checkout() -> Path | None:
    """The checkout this vantor runs from, or the local folder pip installed it from."""
    here = Path(__file__).resolve().parent.parent
    if _is_checkout(here):
        return here
    try:
        record = json.loads(metadata.distribution("vantor").read_text("direct_url.json") or "null")
    except (metadata.PackageNotFoundError, ValueError):
        return None
    url = record.get("url", "") if isinstance(record, dict) else ""
    if not isinstance(url, str) or not url.startswith("file://"):
        return None
    folder = Path(unquote(urlsplit(url).path))
    return folder if _is_checkout(folder) else None


def _requirements(extra: str, checkout: Path | None) -> list[str]:
    """The extra's requirements as the checkout's pyproject.toml, else the
    installed metadata, states them."""
    if checkout is not None:
        import tomllib

        try:
            project = tomllib.loads((checkout / "pyproject.toml").read_text(encoding="utf-8"))["project"]
            return [str(r) for r in project["optional-dependencies"][extra]]
        except (OSError, ValueError, KeyError, TypeError):
            pass
    try:
        listed = metadata.requires("vantor") or []
    except metadata.PackageNotFoundError:
        return []
    marker = re.compile(rf"""extra\s*==\s*["']{re.escape(extra)}["']""")
    return [r.split(";", 1)[0].strip() for r in listed if ";" in r and marker.search(r.split(";", 1)[1])]


def install_extra(extra: str, *, reinstall: bool = False) -> str:
    """The command that adds `extra` (`reinstall`: replaces what is there)."""
    checkout = source_checkout()
    pip = [sys.executable, "-m", "pip", "install", *(["--force-reinstall"] if reinstall else [])]
    if checkout is not None and extra in _MAKE_TARGETS and not reinstall:
        return shlex.join(["make", "-C", str(checkout), _MAKE_TARGETS[extra]])
    if wanted := _requirements(extra, checkout):
        return shlex.join([*pip, *wanted])
    return f"install vantor's {extra} extra from the checkout it was installed from (make install there)"
