"""A second Unix user, made for one test and removed after it: the other
local user a shared machine has."""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import subprocess
from collections.abc import Iterator

import pytest


@contextlib.contextmanager
def another_user() -> Iterator[pwd.struct_passwd]:
    """Skips only where the user cannot be made (not root, no useradd)."""
    name = f"vantor-t{os.getpid() % 100000}"
    made = subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                          capture_output=True, text=True) if os.geteuid() == 0 and shutil.which("useradd") else None
    if made is None or made.returncode != 0:
        pytest.skip("a second Unix user cannot be created here (needs root and useradd): "
                    + (made.stderr.strip() if made else "not root"))
    try:
        yield pwd.getpwnam(name)
    finally:
        subprocess.run(["userdel", name], capture_output=True)
