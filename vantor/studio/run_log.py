"""The studio's run log in a video maker's words: the stages of a recap
with their percentages (the final conversion's included), no working paths,
no job numbers, and no pictographs (the page's fonts are DejaVu only)."""

from __future__ import annotations

import re
import threading
import unicodedata
from collections.abc import Callable

from ..recap.services_choice import without_paths

__all__ = ["ConversionFollower", "user_words"]

# The run's own lines, as the command line shows them, and the page's words
# for each (None: not shown on the page).
_WORDS: tuple[tuple[re.Pattern[str], str | None], ...] = (
    (re.compile(r"^vantor: (?:created the output directory|using the )"), None),  # the studio's own folders
    (re.compile(r"Requesting download from server"), "Asking the download service for the video"),
    (re.compile(r"Processing job "), None),
    (re.compile(r"^\s*\d+%$"), None),  # the download job's last figure
    (re.compile(r"Downloading video"), "Downloading the video"),
    (re.compile(r"Download complete"), "The video is downloaded"),
    (re.compile(r"^downloading: already downloaded"), "The video is already downloaded"),
    (re.compile(r"^downloading: (\d+)%"), r"Downloading the video: \1%"),
    (re.compile(r"^converting the source video to MP4: (\d+)%"), r"Converting the source video to MP4: \1%"),
    (re.compile(r"Processing (\d+) segments"), r"Narrating and cutting \1 ranges"),
    (re.compile(r"^Segment (\d+)/(\d+): (\S+) \S+ (\S+)$"), r"Range \1 of \2: \3 to \4"),
    (re.compile(r"Concatenating segments"), "Joining the ranges"),
    (re.compile(r"Converting to 9:16 vertical at (\S+) speed"), r"Making the vertical video at \1 speed"),
    (re.compile(r"GPU unavailable|Cleaning up|Done! (?:Horizontal|Vertical) Output"), None),
)


# A file's path on this machine (two or more parts): only its name is shown.
_FILE_PATH = re.compile(r"(?<![\w:/.])(?:/[^\s/'\"]+){2,}")


def _plain(line: str) -> str:
    """Without pictographs and their variation selectors."""
    kept = (c for c in line if unicodedata.category(c) not in ("So", "Cs", "Co") and c != "\ufe0f")
    return " ".join("".join(kept).split())


def user_words(line: str) -> str | None:
    """The page's line for one line of the run, or None to leave it out."""
    text = _plain(line)
    if not text:
        return None
    for said, words in _WORDS:
        if (found := said.search(text)) is not None:
            return None if words is None else found.expand(words)
    return _FILE_PATH.sub(lambda found: found.group(0).rsplit("/", 1)[1], without_paths(text))


class ConversionFollower:
    """Follows the final conversion's ffmpeg report (its time stamps against
    the result's expected length) and hands each new whole percentage to
    `on_percent`, until `stop()`."""

    EVERY = 0.5

    def __init__(self, report: str, source: str | None, speed: float, on_percent: Callable[[int], None]) -> None:
        from ..recap.probe import UnreadableVideo, probe_duration

        try:
            self._expected = probe_duration(source) / speed if source else None
        except UnreadableVideo:
            self._expected = None
        self._report, self._on_percent, self._shown = report, on_percent, -1
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._follow, name="vantor-studio-conversion", daemon=True)
        self._thread.start()

    def _follow(self) -> None:
        while not self._stop.wait(self.EVERY):
            self._show()

    def _show(self) -> None:
        from ..recap.progress_view import _FFMPEG_TIME

        if not self._expected:
            return
        try:
            with open(self._report, "rb") as f:
                stamps = _FFMPEG_TIME.findall(f.read())
        except OSError:
            return
        if stamps:
            hours, minutes, seconds = stamps[-1]
            done = int(hours) * 3600 + int(minutes) * 60 + float(seconds)
            percent = min(100, int(done / self._expected * 100))
            if percent > self._shown:
                self._shown = percent
                self._on_percent(percent)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()
        self._show()  # where ffmpeg really stopped
