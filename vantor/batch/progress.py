"""Progress over the jobs, drawn as `vantor recap` draws its own (see
vantor.recap.engine.progress_view): on a terminal a bar redrawn in place with the counts of
done, failed and running jobs; elsewhere one line per finished job. No
stream: nothing shown (--quiet)."""

from __future__ import annotations

from typing import TextIO

from ..recap.engine.progress_view import ProgressView, bar
from .report import JobReport

__all__ = ["BatchProgress"]


class BatchProgress:
    def __init__(self, total: int, stream: TextIO | None, *, live: bool | None = None) -> None:
        self.total: int = total
        self.done: int = 0
        self.failed: int = 0
        self.locked: int = 0  # left to another batch run that holds the job's folder
        self.running: int = 0
        self._view = ProgressView(stream, live=live)
        self._live = bool(stream is not None and (stream.isatty() if live is None else live))

    def note(self, text: str) -> None:
        """A line of its own (above the bar on a terminal)."""
        self._view.write(text + "\n")
        self._draw()

    def finished(self, job: JobReport) -> None:
        """One line per job's final state; the reason for a failed or locked
        job is said once, at the end (vantor batch) or in the report."""
        if job.status == "failed":
            self.failed += 1
        elif job.status == "locked":
            self.locked += 1
        else:
            self.done += 1
        if not self._live:
            line = f"[{self.done + self.failed + self.locked}/{self.total}] {job.status} {job.job}"
            if job.status == "ok":
                line += f" ({job.run_s:.1f} s, {job.attempts} attempt{'s' if job.attempts != 1 else ''})"
            self._view.write(line + "\n")
        elif job.status in ("failed", "locked"):
            self.note(f"{job.status} {job.job}")
        self._draw()

    def set_running(self, running: int) -> None:
        if running != self.running:
            self.running = running
            self._draw()

    def close(self) -> None:
        self._view.close()

    def _draw(self) -> None:
        if self._live:
            finished = self.done + self.failed + self.locked
            locked = f"  locked {self.locked}" if self.locked else ""
            self._view.draw(bar(finished / max(self.total, 1), "jobs") + f" {finished}/{self.total}  done "
                            f"{self.done}  failed {self.failed}{locked}  running {self.running}")
