"""The studio's run log in a video maker's words: the stages of a recap
with their percentages (the final conversion's included), no working paths,
no job numbers, and no pictographs (the page's fonts are DejaVu only).

The words come from the run's typed events (the engine's steps, the local
services' download progress, the run's own warnings), never from reading
back the lines the command line prints. A run's log (`RunLog`) never
contradicts itself: once the services have the video, the engine's own
fetch of it is the copy into the run's folder, not a second download."""

from __future__ import annotations

import re
import threading
import unicodedata
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ..recap.engine.services_choice import without_paths

if TYPE_CHECKING:
    from ..recap.engine.host import RunEvent

__all__ = ["ConversionFollower", "PageLine", "RunLog", "event_words"]

# Each engine step's words on the page (a step not named here is not shown).
_STEP_WORDS: dict[str, Callable[[Any], str]] = {
    "requesting": lambda step: "Asking the download service for the video",
    "fetching": lambda step: "Downloading the video",
    "downloaded": lambda step: "The video is downloaded",
    "segments": lambda step: f"Narrating and cutting {step.count} ranges",
    "segment": lambda step: f"Range {step.index + 1} of {step.count}: {step.start} to {step.end}",
    "concatenating": lambda step: "Joining the ranges",
    "converting": lambda step: f"Making the vertical video at {step.speed:g}x speed",
}
# The same steps once the download service holds the video (fetched ahead of the run).
_AFTER_DOWNLOAD: dict[str, str | None] = {
    "requesting": None,
    "fetching": "Taking the downloaded video into this recap",
    "downloaded": "The video is ready",
}


# A file's path on this machine (two or more parts): only its name is shown.
_FILE_PATH = re.compile(r"(?<![\w:/.])(?:/[^\s/'\"]+){2,}")


class PageLine(str):
    """A line of the page's log; `update`: it replaces the line before it
    (a stage's running percentage)."""

    update: bool = False


def _line(text: str, update: bool = False) -> PageLine:
    line = PageLine(text)
    line.update = update
    return line


def _plain(line: str) -> str:
    """Without pictographs and their variation selectors."""
    kept = (c for c in line if unicodedata.category(c) not in ("So", "Cs", "Co") and c != "\ufe0f")
    return " ".join("".join(kept).split())


def event_words(event: RunEvent) -> PageLine | None:
    """The page's line for one event of the run, or None to leave it out."""
    if event.kind == "engine":
        words = _STEP_WORDS.get(getattr(event.data, "kind", ""))
        return None if words is None else _line(words(event.data))
    if event.kind == "download":
        progress = event.data
        if progress.converting is not None:
            percent = int(min(max(progress.converting, 0.0), 1.0) * 100)
            return _line(f"Converting the source video to MP4: {percent}%", update=True)
        if progress.per_mille >= 1000 and progress.downloaded_bytes is None and progress.total_bytes is None:
            return _line("The video is already downloaded")
        return _line(f"Downloading the video: {progress.per_mille // 10}%", update=True)
    if event.kind == "line":  # the run's own warning (the video's duration against the ranges)
        text = _FILE_PATH.sub(lambda found: found.group(0).rsplit("/", 1)[1], _plain(without_paths(event.text)))
        return _line(text) if text else None
    return None


class RunLog:
    """One run's page lines, in order: `words(event)` as `event_words`,
    but the engine's fetch after the services' download is said as what it
    is (the copy of a video already downloaded). `lines` adds where each
    range plays, from the run's timeline."""

    def __init__(self) -> None:
        self.downloaded: bool = False

    def words(self, event: RunEvent) -> PageLine | None:
        if event.kind == "download" and event.data.per_mille >= 1000:
            self.downloaded = True
        kind = getattr(event.data, "kind", "") if event.kind == "engine" else ""
        if self.downloaded and kind in _AFTER_DOWNLOAD:
            said = _AFTER_DOWNLOAD[kind]
            return None if said is None else _line(said)
        return event_words(event)

    def lines(self, event: RunEvent) -> list[PageLine]:
        """The page's lines for one event: `words`, and where each range
        plays in the recap once the run's timeline is final."""
        if event.kind == "timeline" and event.text == "final":
            return [_line(f"Range {rng.number} plays at {rng.recap_in:.2f}-{rng.recap_out:.2f} s of the recap")
                    for rng in event.data.ranges]
        words = self.words(event)
        return [] if words is None else [words]


class ConversionFollower:
    """Follows the final conversion's ffmpeg report (its time stamps against
    the result's expected length) and hands each new whole percentage to
    `on_percent`, until `stop()`."""

    EVERY = 0.5

    def __init__(self, report: str, expected: float | None, on_percent: Callable[[int], None]) -> None:
        self._expected = expected
        self._report, self._on_percent, self._shown = report, on_percent, -1
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._follow, name="vantor-studio-conversion", daemon=True)
        self._thread.start()

    def _follow(self) -> None:
        while not self._stop.wait(self.EVERY):
            self._show()

    def _show(self) -> None:
        from ..recap.engine.progress_view import conversion_done

        if (done := conversion_done(self._report, self._expected)) is not None:
            percent = min(100, int(done * 100))
            if percent > self._shown:
                self._shown = percent
                self._on_percent(percent)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        self._show()  # where ffmpeg really stopped
