"""The engine's download step as a product run takes it. The file address
the download service hands out is a capability for the file, and every
local user can read every process's command line, so it goes on none:

- from the run's own services (started in this process) the finished file
  is taken from their cache in place, by a hard link in the working
  folder: nothing is fetched and the film is not copied a second time;
- otherwise (a `vantor serve` elsewhere, the configured service, a cache on
  another file system) wget fetches it with the engine's own options, but
  reads the address from a private file (`-i`: 0600, in a 0700 folder,
  removed afterwards) instead of its argument list.

A host that calls the engine directly keeps the engine's exact command.
"""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from .steps import Fetch

__all__ = ["LocalFile", "fetch", "wget_reading_address"]

# The in-process services' cached file for a file address, or None.
LocalFile = Callable[[str], "Path | None"]
_NOT_LINKED = (errno.EXDEV, errno.EPERM, errno.EMLINK, errno.EACCES, errno.ENOTSUP)


def fetch(step: Fetch, run: Callable[[Sequence[Any]], subprocess.CompletedProcess[Any]],
          local_file: LocalFile | None = None) -> int:
    """Takes the fetch step: its exit status, as the engine reads one."""
    if local_file is not None and (cached := local_file(step.url)) is not None and _link(cached, step.target):
        return 0
    with tempfile.TemporaryDirectory(prefix="vantor-fetch-") as folder:  # 0700
        return run(wget_reading_address(step, folder)).returncode


def wget_reading_address(step: Fetch, folder: str) -> list[Any]:
    """The engine's wget command with its address moved into a private file
    in `folder`, which wget reads (`-i`)."""
    address = str(step.url)
    if any(ch.isspace() or ord(ch) < 0x20 or ord(ch) == 0x7F for ch in address):
        # One line of the file is one address: a line break would make two.
        raise Exception(f"Download API error: download_url {address!r} holds a space or a control character")
    argv = list(step.argv)
    at = [i for i, item in enumerate(argv) if str(item) == address]
    if not at:
        raise Exception("Download API error: the download command does not name its address")
    listed = os.path.join(folder, "address")
    fd = os.open(listed, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(address + "\n")
    return [*argv[:at[-1]], "-i", listed, *argv[at[-1] + 1:]]


def _link(cached: Path, target: str) -> bool:
    """`target` made a second name of `cached`; False where the file system
    cannot (then it is fetched)."""
    try:
        if os.path.lexists(target):
            os.remove(target)
        os.link(cached, target)
        return True
    except FileNotFoundError:  # evicted meanwhile
        return False
    except OSError as error:
        if error.errno in _NOT_LINKED:
            return False
        raise


def copy_or_link(cached: Path, target: str) -> None:
    """`cached` at `target`, linked where it can be, else copied (the
    studio's own private copy)."""
    if not _link(cached, target):
        shutil.copyfile(cached, target)
