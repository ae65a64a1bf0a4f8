"""A directory of finished files shared by every process on this machine.

Entries appear only whole: they are written under temporary names in
`partial/` (each named after its key, written under the key's lock) and
renamed into place. `lock(key)` is an fcntl lock on a file beside the entry,
so one process fills an entry while the others wait and then find it; the
holder removes the lock file when done. Reading an entry marks it used (its
mtime); `evict` removes the least recently used ones above the size limit,
counting partial files too. Partial files whose key nobody holds (left by a
killed process) are removed when a cache opens.

The cache is private: its folders are 0700 and its files 0600 (what a user
downloaded, and what was said, is nobody else's business), and entries an
older version left readable are tightened the first time this process
opens the cache.
"""

from __future__ import annotations

import errno
import fcntl
import os
import shutil
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO

__all__ = ["FileCache", "is_disk_full", "private_dir", "private_file", "private_tree"]

_tightened: set[Path] = set()  # caches this process has made private


def private_dir(path: str | os.PathLike[str]) -> Path:
    """`path` made (with its missing parents) or tightened to 0700, when it is ours."""
    folder = Path(path)
    folder.mkdir(mode=0o700, parents=True, exist_ok=True)
    _tighten(folder, 0o700)
    return folder


def private_file(path: str | os.PathLike[str]) -> int:
    """A new file at `path`, 0600, opened for writing (never through a link)."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)


def _tighten(path: Path, mode: int) -> None:
    try:
        info = os.lstat(path)
        if info.st_uid == os.geteuid() and not os.path.islink(path) and info.st_mode & 0o777 != mode:
            os.chmod(path, mode)
    except OSError:
        pass  # gone meanwhile, or not ours to change


def _tighten_entries(root: Path) -> None:
    """Every entry below `root` private: folders 0700, files 0600."""
    for folder, folders, files in os.walk(root):
        for name in folders:
            _tighten(Path(folder) / name, 0o700)
        for name in files:
            _tighten(Path(folder) / name, 0o600)


def private_tree(root: str | os.PathLike[str]) -> Path:
    """`root` private (0700), and every entry below it the first time this
    process asks: folders 0700, files 0600."""
    folder = private_dir(root)
    if folder not in _tightened:
        _tighten_entries(folder)
        _tightened.add(folder)
    return folder


def _lock_file(path: Path) -> IO[str]:
    return os.fdopen(os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600), "a")


class FileCache:
    def __init__(self, root: str | os.PathLike[str], suffix: str, max_bytes: int,
                 protected: Callable[[], set[Path]] | None = None) -> None:
        self.root: Path = Path(root)
        self.suffix: str = suffix
        self.max_bytes: int = max_bytes
        # Entries a client still has to fetch; eviction passes them over.
        self.protected: Callable[[], set[Path]] = protected or set
        private_tree(self.root)
        private_dir(self.root / "partial")
        self.sweep_partial()

    def sweep_partial(self) -> list[Path]:
        """Removes partial files and folders whose key no process holds."""
        removed = []
        for entry in (self.root / "partial").iterdir():
            key = entry.name.split("-", 1)[0]
            if not key or not self._try_lock_then(key, lambda: _remove(entry)):
                continue
            removed.append(entry)
        return removed

    def _try_lock_then(self, key: str, action: Callable[[], None]) -> bool:
        path = self.root / f"{key}.lock"
        with _lock_file(path) as handle:
            try:
                fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return False
            try:
                if _same_file(handle, path):
                    action()
                    path.unlink(missing_ok=True)
                    return True
                return False
            finally:
                fcntl.flock(handle, fcntl.LOCK_UN)

    def path(self, key: str) -> Path:
        return self.root / f"{key}{self.suffix}"

    def get(self, key: str) -> Path | None:
        path = self.path(key)
        try:
            os.utime(path)  # marks it recently used
        except FileNotFoundError:
            return None
        return path

    def put_file(self, key: str, source: str | os.PathLike[str]) -> Path:
        """Moves a finished file (on the same file system) into the cache, private."""
        path = self.path(key)
        os.chmod(source, 0o600)
        os.replace(source, path)
        self.evict(keep=path)
        return path

    def put_bytes(self, key: str, data: bytes) -> Path:
        """Stores `data` as `key`; on a full disk (OSError ENOSPC) nothing
        is left behind."""
        with self.lock(key):
            with tempfile.NamedTemporaryFile(dir=self.root / "partial", prefix=f"{key}-", delete=False) as f:
                try:
                    f.write(data)
                    f.flush()
                except OSError:
                    os.unlink(f.name)
                    raise
            try:
                return self.put_file(key, f.name)
            except OSError:
                Path(f.name).unlink(missing_ok=True)
                raise

    def work_dir(self, key: str) -> tempfile.TemporaryDirectory[str]:
        """A scratch directory for one attempt at `key`, removed afterwards."""
        return tempfile.TemporaryDirectory(prefix=f"{key}-", dir=self.root / "partial")

    @contextmanager
    def lock(self, key: str) -> Iterator[None]:
        """Holds `key` against every process. The lock file is removed by its
        holder; a waiter that then finds another file under the name tries
        again on that one, so two holders never meet."""
        path = self.root / f"{key}.lock"
        while True:
            handle = _lock_file(path)
            fcntl.flock(handle, fcntl.LOCK_EX)
            if _same_file(handle, path):
                break
            handle.close()
        try:
            yield
        finally:
            path.unlink(missing_ok=True)
            fcntl.flock(handle, fcntl.LOCK_UN)
            handle.close()

    def evict(self, keep: Path | None = None) -> list[Path]:
        """Removes least recently used entries until the rest fit the limit."""
        with _lock_file(self.root / ".evict.lock") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            entries = []
            for path in self.root.glob(f"*{self.suffix}"):
                try:
                    stat = path.stat()
                except FileNotFoundError:
                    continue
                entries.append((stat.st_mtime, stat.st_size, path))
            # Files still being written take room too, though they cannot go.
            total = sum(size for _, size, _ in entries) + _tree_size(self.root / "partial")
            removed = []
            protected = self.protected() if total > self.max_bytes else set()
            for _, size, path in sorted(entries):
                if total <= self.max_bytes:
                    break
                if path == keep or path in protected:
                    continue
                path.unlink(missing_ok=True)  # a reader holding it open keeps its copy
                total -= size
                removed.append(path)
            return removed


def _same_file(handle: object, path: Path) -> bool:
    try:
        return os.stat(path).st_ino == os.fstat(handle.fileno()).st_ino  # type: ignore[attr-defined]
    except FileNotFoundError:
        return False


def _remove(entry: Path) -> None:
    if entry.is_dir() and not entry.is_symlink():
        shutil.rmtree(entry, ignore_errors=True)
    else:
        entry.unlink(missing_ok=True)


def _tree_size(root: Path) -> int:
    total = 0
    for folder, _, files in os.walk(root):
        for name in files:
            try:
                total += os.lstat(os.path.join(folder, name)).st_size
            except FileNotFoundError:
                pass
    return total


def is_disk_full(error: BaseException) -> bool:
    return isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT)
