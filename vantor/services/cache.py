"""A directory of finished files shared by every process on this machine.

Entries appear only whole: they are written under temporary names in
`partial/` (each named after its key, written under the key's lock) and
renamed into place. `lock(key)` is an fcntl lock on a file beside the entry,
so one process fills an entry while the others wait and then find it; the
holder removes the lock file when done. Reading an entry marks it used (its
mtime); `evict` removes the least recently used ones above the size limit,
counting partial files too. Partial files whose key nobody holds (left by a
killed process) are removed when a cache opens.
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

__all__ = ["FileCache", "is_disk_full"]


class FileCache:
    def __init__(self, root: str | os.PathLike[str], suffix: str, max_bytes: int,
                 protected: Callable[[], set[Path]] | None = None) -> None:
        self.root: Path = Path(root)
        self.suffix: str = suffix
        self.max_bytes: int = max_bytes
        # Entries a client still has to fetch; eviction passes them over.
        self.protected: Callable[[], set[Path]] = protected or set
        self.root.mkdir(parents=True, exist_ok=True)
        (self.root / "partial").mkdir(exist_ok=True)
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
        with open(path, "a") as handle:
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
        """Moves a finished file (on the same file system) into the cache."""
        path = self.path(key)
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
            handle = open(path, "a")
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
        with open(self.root / ".evict.lock", "a") as handle:
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
