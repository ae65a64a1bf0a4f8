"""The project folder: the segments file the studio saves, the finished
recaps it keeps, and the working folders of runs in progress.

The segments file is written exactly as the engine reads it (an array of
{"start", "end", "voiceover"} strings, UTF-8 without a BOM), and only after
the same check `vantor check` makes; a write replaces the old file whole.
A finished recap gets a name of its own in recaps/ (its captions the same
name with .vtt and .srt) and never replaces a file that is there. Only
those files are served, by a plain name.
"""

from __future__ import annotations

import json
import os
import re
import secrets
import time
from collections.abc import Sequence
from pathlib import Path

from ..recap.checks.segments_check import SegmentsReport, check_segments_bytes, engine_segments

__all__ = ["Project", "SegmentsRefused", "SEGMENTS_FILE", "page_segments"]

SEGMENTS_FILE = "segments.json"
_RESULT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,120}\.(mp4|vtt|srt)")
_MEMBERS = ("start", "end", "voiceover")
_OWN_FRAMING = "frame"  # a range's own framing, kept unless it follows the run's ("auto")


class SegmentsRefused(ValueError):
    def __init__(self, message: str, report: SegmentsReport | None = None) -> None:
        super().__init__(message)
        self.problems: list[str] = [str(p) for p in report.errors] if report else []


def page_segments(value: object, *, drafts: bool = False) -> tuple[list[dict[str, str]], SegmentsReport]:
    """The page's ranges as the engine's segments, the three members and a
    range's own framing (the engine reads only the three, by name):
    checked as a segments file is, so a number of seconds is taken and
    written as the engine's string, as for `vantor recap`; refused with
    every problem the check finds. `drafts`: a narration still marked as
    the draft's is kept (saved to work on), not refused (as for a recap)."""
    if not isinstance(value, list):
        raise SegmentsRefused("segments must be an array")
    ranges = [{m: item[m] for m in (*_MEMBERS, _OWN_FRAMING) if m in item} if isinstance(item, dict) else item
              for item in value]
    report = check_segments_bytes(_encode(ranges), SEGMENTS_FILE, drafts=drafts)
    if not report.ok or report.segments is None:
        first = str(report.errors[0]).removeprefix("error: ")
        raise SegmentsRefused(f"{len(report.errors)} problem(s) in the segments (first: {first})", report)
    checked = engine_segments(report.segments) or report.segments
    return [{m: str(segment[m]) for m in _MEMBERS if m in segment}
            | ({_OWN_FRAMING: str(segment[_OWN_FRAMING])} if segment.get(_OWN_FRAMING, "auto") != "auto" else {})
            for segment in checked], report


def _encode(segments: list[dict[str, str]]) -> bytes:
    return (json.dumps(segments, ensure_ascii=False, indent=2) + "\n").encode("utf-8")


class Project:
    def __init__(self, folder: str | os.PathLike[str]) -> None:
        self.root: Path = Path(folder).resolve()
        if not self.root.is_dir():
            raise NotADirectoryError(f"the project folder {str(self.root)!r} does not exist")
        self.recaps: Path = self.root / "recaps"
        self.work: Path = self.root / ".vantor-studio"

    @property
    def segments_path(self) -> Path:
        return self.root / SEGMENTS_FILE

    def save_segments(self, value: object) -> tuple[Path, list[str]]:
        """Writes the checked segments, drafts included; returns the path and
        the check's warnings."""
        segments, report = page_segments(value, drafts=True)
        # Created as any file the user makes is (0666 less the umask): the
        # segments file is the user's own, for an editor or `vantor recap`.
        part = self.root / f".segments-{secrets.token_hex(8)}.part"
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(_encode(segments))
            os.replace(part, self.segments_path)
        except BaseException:
            part.unlink(missing_ok=True)
            raise
        return self.segments_path, [str(p) for p in report.warnings]

    def read_segments(self) -> bytes | None:
        try:
            return self.segments_path.read_bytes()
        except (FileNotFoundError, IsADirectoryError):
            return None

    def work_dir(self, run_id: str) -> Path:
        self.work.mkdir(exist_ok=True)
        return self.work / run_id

    def keep_result(self, final: Path, captions: Sequence[Path] = ()) -> Path:
        """Moves a finished recap into recaps/ under a new name, its caption
        files beside it under the same stem (same file system: links then
        unlinks, so an existing name is never replaced; the recap is linked
        last, so its name means its captions are there)."""
        self.recaps.mkdir(exist_ok=True)
        stamp = time.strftime("%Y%m%d-%H%M%S")
        for attempt in range(1000):
            stem = f"recap-{stamp}" if attempt == 0 else f"recap-{stamp}-{attempt}"
            placed: list[Path] = []
            try:
                for source in (*captions, final):
                    target = self.recaps / (stem + source.suffix)
                    os.link(source, target)
                    placed.append(target)
            except FileExistsError:
                for target in placed:  # only what this attempt linked
                    target.unlink()
                continue
            for source in (*captions, final):
                source.unlink()
            return placed[-1]
        raise FileExistsError(f"no free name for the recap in {self.recaps}")

    def keep_timelines(self, stem: str, timelines: Sequence[Path], media: Path) -> Path:
        """Moves a recap's timelines and their media folder into recaps/,
        together in `stem`.timeline/ (the paths inside them are relative to
        each other, so they move as one)."""
        folder = self.recaps / f"{stem}.timeline"
        folder.mkdir()  # a new stem: never an existing folder
        for path in (*timelines, media):
            os.rename(path, folder / path.name)
        return folder

    def result(self, name: str) -> Path | None:
        """A kept recap or caption file by its plain name; None for anything
        else, including a link that leads out of recaps/."""
        if not _RESULT_NAME.fullmatch(name):
            return None
        path = (self.recaps / name).resolve()
        if path.parent != self.recaps.resolve() or not path.is_file():
            return None
        return path
