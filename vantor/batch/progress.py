"""Progress over the jobs: a bar redrawn in place on a terminal, plain
lines (one per finished job) otherwise."""

from __future__ import annotations

import sys
from typing import TextIO

from .report import JobReport

__all__ = ["Progress"]

_WIDTH = 30


class Progress:
    def __init__(self, total: int, stream: TextIO | None = None, *, bar: bool | None = None) -> None:
        self.total = total
        self.stream = stream if stream is not None else sys.stderr
        self.bar = self.stream.isatty() if bar is None else bar
        self.done = self.failed = self.running = 0
        self._drawn = False

    def note(self, text: str) -> None:
        self._clear()
        print(text, file=self.stream, flush=True)
        self._draw()

    def finished(self, job: JobReport) -> None:
        if job.status == "failed":
            self.failed += 1
        else:
            self.done += 1
        if not self.bar:
            line = f"[{self.done + self.failed}/{self.total}] {job.status} {job.job}"
            if job.status == "ok":
                line += f" ({job.run_s:.1f} s, {job.attempts} attempt{'s' if job.attempts != 1 else ''})"
            elif job.status == "failed":
                line += f": {job.error_type}: {job.error}"
            print(line, file=self.stream, flush=True)
        elif job.status == "failed":
            self.note(f"failed {job.job}: {job.error_type}: {job.error}")
        self._draw()

    def set_running(self, running: int) -> None:
        if running != self.running:
            self.running = running
            self._draw()

    def close(self) -> None:
        if self.bar and self._drawn:
            print(file=self.stream, flush=True)
            self._drawn = False

    def _clear(self) -> None:
        if self.bar and self._drawn:
            print("\r\x1b[2K", end="", file=self.stream)

    def _draw(self) -> None:
        if not self.bar:
            return
        filled = _WIDTH * (self.done + self.failed) // max(self.total, 1)
        bar = "#" * filled + "." * (_WIDTH - filled)
        print(f"\r\x1b[2K[{bar}] {self.done + self.failed}/{self.total}  done {self.done}  "
              f"failed {self.failed}  running {self.running}", end="", file=self.stream, flush=True)
        self._drawn = True
