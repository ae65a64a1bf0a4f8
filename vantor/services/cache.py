"""A directory of finished files shared by every process on this machine.

Entries appear only whole: they are written under temporary names and renamed
into place. `lock(key)` is an fcntl lock on a file beside the entry, so one
process fills an entry while the others wait and then find it. Reading an
entry marks it used (its mtime); `evict` removes the least recently used ones
above the size limit.
"""

from __future__ import annotations

import fcntl
import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = ["FileCache"]


class FileCache:
    def __init__(self, root: str | os.PathLike[str], suffix: str, max_bytes: int) -> None:
        self.root: Path = Path(root)
        self.suffix: str = suffix
        self.max_bytes: int = max_bytes
        self.root.mkdir(parents=True, exist_ok=True)
        (self.root / "partial").mkdir(exist_ok=True)

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
        with tempfile.NamedTemporaryFile(dir=self.root / "partial", delete=False) as f:
            f.write(data)
        return self.put_file(key, f.name)

    def work_dir(self, key: str) -> tempfile.TemporaryDirectory[str]:
        """A scratch directory for one attempt at `key`, removed afterwards."""
        return tempfile.TemporaryDirectory(prefix=f"{key}-", dir=self.root / "partial")

    @contextmanager
    def lock(self, key: str) -> Iterator[None]:
        with open(self.root / f"{key}.lock", "a") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(handle, fcntl.LOCK_UN)

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
            total = sum(size for _, size, _ in entries)
            removed = []
            for _, size, path in sorted(entries):
                if total <= self.max_bytes:
                    break
                if path == keep:
                    continue
                path.unlink(missing_ok=True)  # a reader holding it open keeps its copy
                total -= size
                removed.append(path)
            return removed
