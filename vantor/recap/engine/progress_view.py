"""Shows a run's progress on stderr (or any stream), never on stdout.

A run's events (`vantor.recap.engine.host.RunEvent`: the engine's typed events,
the local services' download, the conversion, the run's own warnings) go to
a `ProgressView`, which renders them for the stream it owns:

- not a terminal: plain lines, one per step (the engine's own words, its
  results named where the run publishes them), the download job's running
  percentage collapsed to its last figure;
- a terminal: the same lines, plus a live bar for the download job and one
  for the conversion (ffmpeg's own time stamp, from the report file the run
  asks that one ffmpeg to write, against the expected length of the result);
- the local services' download ahead of the run (`show_download`): a live
  bar with bytes, speed and time left on a terminal, elsewhere a line every
  few seconds and the last figure;
- emoji and arrows only when the stream's encoding can carry them;
- the detail only when verbose: each command the run started, with the
  output it captured (the hardware encoder's reason for failing), each
  range's place in the recap as the run's timeline holds it (planned, then
  as made), and the engine's note that it fell back to the CPU encoder, which on a machine
  without a GPU is no news (`vantor doctor` says it once).
"""

from __future__ import annotations

import contextlib
import io
import re
import threading
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, TextIO

if TYPE_CHECKING:
    from ...services import Progress
    from .host import RunEvent
    from .steps import Event
    from ..timeline.model import Timeline

__all__ = ["ProgressView", "bar", "complete_lines", "conversion_done", "download_words",
           "plain_text", "showing_progress", "timeline_lines"]

BAR_WIDTH = 30
_FFMPEG_TIME = re.compile(rb"time=(\d+):(\d\d):(\d\d(?:\.\d+)?)")
_ASCII_FOR = {"\u2192": "->", "\u2026": "..."}
# Off a terminal the download's figure is a line this often (and at its end).
PLAIN_DOWNLOAD_EVERY = 10.0


def complete_lines(pending: str, text: str) -> tuple[list[str], str]:
    """The complete lines of `pending + text`, and the rest still pending."""
    *lines, rest = (pending + text).split("\n")
    return lines, rest


def human_size(count: float | None) -> str:
    if count is None:
        return "?"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{int(count)} B" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return "?"


def download_figures(progress: Progress) -> str:
    """ "12.0 MiB of 80.3 MiB, 4.1 MiB/s, 0:16 left" with what is known."""
    text = f"{human_size(progress.downloaded_bytes)} of {human_size(progress.total_bytes)}"
    if progress.speed:
        text += f", {human_size(progress.speed)}/s"
    if progress.eta is not None and progress.per_mille < 1000:
        eta = int(progress.eta)
        text += f", {eta // 60}:{eta % 60:02d} left"
    return text


CONVERTING_SOURCE = "converting the source video to MP4"


def download_words(progress: Progress) -> str:
    """ "downloading: 45% 12.0 MiB of 80.3 MiB, ..." or, while the service
    rewrites a non-MP4 download, "converting the source video to MP4: 45%"."""
    if progress.converting is not None:
        return f"{CONVERTING_SOURCE}: {int(min(max(progress.converting, 0.0), 1.0) * 100)}%"
    return f"downloading: {progress.per_mille // 10}% {download_figures(progress)}"


def _already_there(progress: Progress) -> bool:
    """A finished download the service counted no bytes of: a cached video,
    answered complete at the first poll (not "100% ? of ?")."""
    return progress.per_mille >= 1000 and progress.downloaded_bytes is None and progress.total_bytes is None


def plain_text(line: str, encoding: str | None) -> str:
    """`line` as `encoding` can carry it: arrows spelt out, other symbols it
    cannot encode (the leading pictographs) left out. No encoding (an
    in-memory stream) carries everything."""
    if not encoding:
        return line
    try:
        line.encode(encoding)
        return line
    except (UnicodeEncodeError, LookupError):
        pass
    out = []
    for char in line:
        try:
            char.encode(encoding)
            out.append(char)
        except (UnicodeEncodeError, LookupError):
            out.append(_ASCII_FOR.get(char, ""))
    text = "".join(out)
    # A dropped pictograph leaves its separating spaces behind.
    stripped = text.lstrip(" ")
    indent = len(line) - len(line.lstrip(" "))
    return " " * indent + stripped


def conversion_done(report: str, expected: float | None) -> float | None:
    """The share of the recap the conversion's ffmpeg has written, from the
    last time stamp of its report (None: nothing to say yet)."""
    if not expected:
        return None
    try:
        with open(report, "rb") as f:
            stamps = _FFMPEG_TIME.findall(f.read())
    except OSError:
        return None
    if not stamps:
        return None
    hours, minutes, seconds = stamps[-1]
    return (int(hours) * 3600 + int(minutes) * 60 + float(seconds)) / expected


# How a range's clip ended against its narration (`timeline.FIT_OUTCOMES`), as a range's line says it.
_FIT_WORDS = {"range": "", "extended": ", extended", "cut": ", its narration cut",
              "narration": ", ended with its narration"}


def timeline_lines(timeline: Timeline, stage: str) -> list[str]:
    """The run's timeline as the verbose detail shows it: a heading, then
    "range 3: 12.40-18.05 s of the recap, from 61.20 s of the film, extended"."""
    lines = [f"  the recap's timeline, {'as made' if stage == 'final' else stage}: {timeline.duration:.2f} s"]
    lines += [f"    {rng.name}: {rng.recap_in:.2f}-{rng.recap_out:.2f} s of the recap, from {rng.source_in:.2f} s "
              f"of the film{_FIT_WORDS.get(rng.fit, ', ' + rng.fit)}" for rng in timeline.ranges]
    return lines


def bar(fraction: float, label: str) -> str:
    """"  label [#####.....]  50%" for a fraction from 0 to 1."""
    fraction = min(max(fraction, 0.0), 1.0)
    filled = round(fraction * BAR_WIDTH)
    return f"  {label} [{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {fraction * 100:3.0f}%"


class _ConversionWatch:
    """Follows the time stamps the conversion's ffmpeg writes to its report."""

    def __init__(self, view: ProgressView, report: str, expected: float | None) -> None:
        self._view = view
        self._report = report
        self._stop = threading.Event()
        self._expected = expected
        self._thread = threading.Thread(target=self._follow, name="vantor-conversion-bar", daemon=True)
        self._thread.start()

    def _follow(self) -> None:
        while not self._stop.wait(0.25):
            self._show()

    def _show(self) -> None:
        if (done := conversion_done(self._report, self._expected)) is not None:
            self._view.draw(bar(done, "converting"))

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        self._show()  # where ffmpeg really stopped, kept on its own line
        self._view._finish_bar()


class ProgressView(io.TextIOBase):
    """Renders a run's events (`on_event`) and any text written to it (see
    the module doc). `live`: draw bars (default: when `stream` is a terminal)."""

    def __init__(self, stream: TextIO | None, *, live: bool | None = None, verbose: bool = False) -> None:
        super().__init__()
        self._stream = stream
        self._verbose = verbose
        self._live = bool(stream is not None and (stream.isatty() if live is None else live))
        self._encoding = getattr(stream, "encoding", None)
        self._pending = ""
        self._bar_shown = ""  # the bar now on the stream's last line
        self._lock = threading.Lock()
        self._watch: _ConversionWatch | None = None
        self._download_shown_at: float | None = None  # off a terminal: when its last line went out
        self._download_line: str | None = None
        self._download_counted = False  # a figure with bytes was shown
        self._download_last: Progress | None = None
        self._job_figure: str | None = None  # the download job's last figure, not yet a line
        self._published: dict[str, str] = {}  # the engine's result paths, as published
        self.lines: list[str] = []  # every complete line shown or held back

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        lines, self._pending = complete_lines(self._pending, text)
        for line in lines:
            self._line(line)
        return len(text)

    def flush(self) -> None:
        if self._stream is not None:
            self._stream.flush()

    def close(self) -> None:
        if self._pending.strip():
            self._line(self._pending)
        self._pending = ""
        self._end_job_figure()
        self._stop_watch()
        with self._lock:
            self._clear_bar()
        super().close()

    def on_event(self, event: RunEvent) -> None:
        """One event of a run, as `EngineRun(on_event=...)` hands it over."""
        if event.kind == "engine":
            self._engine(event.data)
        elif event.kind == "line":
            self._line(event.text)
        elif event.kind == "stage" and event.text == "engine" and event.data:
            self._published = dict(event.data)
        elif event.kind == "download":
            self.show_download(event.data)
        elif event.kind == "speech" and not event.data.spoken:
            self._line(f"  speaking narration {event.data.number}/{event.data.count} for the fit report")
        elif event.kind == "stage" and event.text == "downloaded":
            self.end_download()
        elif event.kind == "child" and self._verbose:
            self._child_detail(event.text, event.data)
        elif event.kind == "timeline":
            for line in timeline_lines(event.data, event.text):
                self._line(line, shown=self._verbose, ends_watch=False)
        elif event.kind == "conversion" and self._live:
            self._stop_watch()
            report, expected = event.data
            self._watch = _ConversionWatch(self, report, expected)

    def show_download(self, progress: Progress) -> None:
        """A figure of the local services' download (see the module doc)."""
        self._download_last = progress
        if _already_there(progress):
            return  # nothing to count: `end_download` says so once
        self._download_counted = True
        if self._live:
            self.draw(bar(progress.converting, CONVERTING_SOURCE) if progress.converting is not None
                      else bar(progress.per_mille / 1000, "downloading") + " " + download_figures(progress))
            return
        now = time.monotonic()
        # The rewrite's first figure is a line at once: the download's last one read 90%.
        starts_converting = progress.converting is not None and not (self._download_line or "").startswith(
            CONVERTING_SOURCE)
        if (self._download_shown_at is None or starts_converting
                or now - self._download_shown_at >= PLAIN_DOWNLOAD_EVERY):
            self._download_shown_at = now
            self._plain_download(progress)

    def end_download(self) -> None:
        """Leaves the download's last figure as a line of its own."""
        last, self._download_last = self._download_last, None
        counted, self._download_counted = self._download_counted, False
        if last is not None and _already_there(last) and not counted:
            self._finish_bar()
            self._emit("  downloading: already downloaded")
        elif self._live:
            self._finish_bar()
        elif last is not None:
            self._plain_download(last)
        self._download_shown_at = self._download_line = None

    def _plain_download(self, progress: Progress) -> None:
        line = f"  {download_words(progress)}"
        if line != self._download_line:
            self._download_line = line
            self._emit(line)

    def _child_detail(self, command: str, done: object) -> None:
        from .services_choice import without_paths

        self._emit(f"  $ {without_paths(command)}")  # a service's file address may carry its token
        for captured in (getattr(done, "stdout", None), getattr(done, "stderr", None)):
            if isinstance(captured, bytes):
                captured = captured.decode("utf-8", "replace")
            for line in (captured or "").splitlines():
                if line.strip():
                    self._emit(f"    {line}")

    def _engine(self, event: Event) -> None:
        if event.kind == "job-progress":
            self._job_figure = event.text.lstrip("\r")
            if self._live and event.percent is not None:
                self.draw(bar(float(event.percent) / 100, "download job"))
            return
        self._end_job_figure()
        text = event.text
        if event.path is not None and event.path in self._published:
            text = text.replace(event.path, self._published[event.path])
        for line in text.split("\n"):
            # The hardware encoder's failure comes mid-conversion and, on a
            # machine without a GPU, is no news (`vantor doctor` says it once).
            self._line(line, shown=self._verbose or event.kind != "fallback", ends_watch=event.kind != "fallback")

    def _end_job_figure(self) -> None:
        """The download job's last figure stays as a line of its own."""
        figure, self._job_figure = self._job_figure, None
        if figure is None:
            return
        self.lines.append(figure)
        if self._live:
            self._finish_bar()
        else:
            self._emit(figure)

    def _line(self, line: str, *, shown: bool = True, ends_watch: bool = True) -> None:
        if not line.strip():
            return
        self.lines.append(line)
        if ends_watch:
            self._stop_watch()
        if shown:
            self._emit(line)

    def _stop_watch(self) -> None:
        if self._watch is not None:
            watch, self._watch = self._watch, None
            watch.stop()

    def _emit(self, line: str) -> None:
        if self._stream is None:
            return
        with self._lock:
            self._clear_bar()
            self._stream.write(plain_text(line, self._encoding) + "\n")
            self._stream.flush()

    def draw(self, bar: str) -> None:
        """Shows `bar` on the stream's last line, in place of the one there."""
        if self._stream is None or bar == self._bar_shown:
            return
        with self._lock:
            # Blanks over what a longer bar left (the download's figures vary in length).
            self._stream.write("\r" + bar + " " * max(0, len(self._bar_shown) - len(bar)))
            self._stream.flush()
            self._bar_shown = bar

    def _finish_bar(self) -> None:
        with self._lock:
            if self._bar_shown and self._stream is not None:
                self._stream.write("\n")
                self._stream.flush()
            self._bar_shown = ""

    def _clear_bar(self) -> None:
        if self._bar_shown and self._stream is not None:
            self._stream.write("\r\033[K")
            self._bar_shown = ""


@contextlib.contextmanager
def showing_progress(stream: TextIO | None, *, live: bool | None = None,
                     verbose: bool = False) -> Iterator[ProgressView]:
    """A view on `stream` (None: shown nowhere), closed after the block."""
    view = ProgressView(stream, live=live, verbose=verbose)
    try:
        yield view
    finally:
        view.close()
