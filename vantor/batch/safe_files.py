"""Files a batch writes in a job's output folder, where another user who can
write in it may have planted links: nothing is opened through one.

- `replace_file`: a temporary created with O_EXCL beside the file (a name
  nobody could have planted), then renamed over it (a rename replaces a
  link, never follows it);
- `open_own`: the log, the lock, the marker and the outputs read back, with
  O_NOFOLLOW (a link there is refused, not followed);
- `shared_folder_warning`: one line before the jobs run for a folder other
  users can write.
"""

from __future__ import annotations

import grp
import os
import pwd
import stat

__all__ = ["open_own", "replace_file", "shared_folder_warning"]


def open_own(path: str, flags: int = os.O_RDONLY, mode: int = 0o600) -> int:
    """`os.open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode)`: OSError (ELOOP)
    when `path` is a symbolic link."""
    return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode)


def replace_file(path: str, data: bytes, mode: int = 0o644) -> None:
    """`path` holds `data` whole, or is left as it was."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{name}.{os.urandom(6).hex()}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def shared_folder_warning(folder: str) -> str | None:
    """One line when other users can write in `folder` (writable by all, by
    a group with other members, or someone else's), None otherwise or when
    it does not exist yet."""
    try:
        info = os.stat(folder)
    except OSError:
        return None
    if not stat.S_ISDIR(info.st_mode):
        return None
    who = None
    if info.st_uid != os.geteuid():
        who = f"it belongs to {_user(info.st_uid)}"
    elif info.st_mode & stat.S_IWOTH:
        who = "every user can write in it"
    elif info.st_mode & stat.S_IWGRP and _others_in_group(info.st_gid, info.st_uid):
        who = f"the group {_group(info.st_gid)} can write in it"
    if who is None:
        return None
    return (f"vantor: warning: other users can write in the output folder {folder} ({who}); vantor batch opens "
            "nothing there through a link, but they can replace its files: use a folder of your own")


def _user(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return f"user {uid}"


def _group(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _others_in_group(gid: int, owner: int) -> bool:
    try:
        members = set(grp.getgrgid(gid).gr_mem)
    except KeyError:
        return True  # an unknown group: assume the worst
    try:
        owner_name = pwd.getpwuid(owner).pw_name
    except KeyError:
        owner_name = None
    if members - {owner_name}:
        return True
    return any(user.pw_gid == gid and user.pw_uid != owner for user in pwd.getpwall())
