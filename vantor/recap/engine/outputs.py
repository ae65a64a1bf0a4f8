"""Where a recap's files go: the output names, the run's private working
folder inside the output directory, and the move of finished results.

The engine writes (and later removes) its working files in the directory it
is given; that directory is a fresh folder of the run's own, so no file of
the user's is ever touched whatever its name. The results are checked and
then renamed into the output directory (same file system: never copied);
an existing result is replaced only when asked.
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from typing import BinaryIO

from ...errors import PreflightError

__all__ = [
    "DEFAULT_FINAL", "ENGINE_FINAL", "ENGINE_HORIZONTAL", "IncompleteVideo", "OutputError", "OutputNames",
    "ResultExists", "move_into_place", "mp4_fault", "publish", "refuse_existing", "require_complete_mp4",
    "working_folder",
]

# The names the engine gives its two results, inside the folder it works in.
ENGINE_FINAL = "FINAL_RECAP.mp4"
ENGINE_HORIZONTAL = "horizontal_final.mp4"
DEFAULT_FINAL = ENGINE_FINAL
WORKING_PREFIX = ".vantor-run-"


class OutputError(Exception):
    """The results cannot be put where they were asked for."""


class IncompleteVideo(OutputError):
    """A result is missing or is not a whole MP4 file."""


class ResultExists(OutputError, PreflightError):
    """A result is already where the run would put it: refused before
    anything is fetched, so it is an output fault and a refused run alike."""


@dataclass(frozen=True)
class OutputNames:
    """The names of a run's two results in the output directory. The
    horizontal video follows the recap's name: `NAME.horizontal.mp4`, and
    `horizontal_final.mp4` beside the default `FINAL_RECAP.mp4`."""

    final: str = DEFAULT_FINAL
    captions: bool = False  # the recap's captions, NAME.srt and NAME.vtt, are made beside it

    def __post_init__(self) -> None:
        name = self.final
        if not name or name in (".", "..") or "/" in name or "\0" in name or (os.altsep and os.altsep in name):
            raise OutputError(f"the output name {name!r} must be a plain file name, such as recap.mp4")
        if name.startswith(WORKING_PREFIX):
            raise OutputError(f"the output name {name!r} is reserved for working folders; choose another")
        if not name.lower().endswith(".mp4") or len(name) <= len(".mp4"):
            raise OutputError(f"the output name {name!r} must end in .mp4")

    @property
    def horizontal(self) -> str:
        if self.final == DEFAULT_FINAL:
            return ENGINE_HORIZONTAL
        stem, suffix = os.path.splitext(self.final)
        return f"{stem}.horizontal{suffix}"

    def caption_name(self, suffix: str) -> str:
        """NAME.srt, NAME.vtt: the captions' names after the recap's."""
        return os.path.splitext(self.final)[0] + suffix

    @property
    def results(self) -> tuple[str, ...]:
        captions = (self.caption_name(".srt"), self.caption_name(".vtt")) if self.captions else ()
        return (self.final, self.horizontal, *captions)

    def existing(self, output_dir: str) -> list[str]:
        """The results already in `output_dir`, as paths."""
        paths = [os.path.join(output_dir or ".", name) for name in self.results]
        return [path for path in paths if os.path.lexists(path)]


def working_folder(output_dir: str) -> str:
    """A new, empty folder for one run, inside `output_dir`."""
    return tempfile.mkdtemp(prefix=WORKING_PREFIX, dir=output_dir or ".")


def _box_fault(f: BinaryIO, size: int) -> str | None:
    offset, has_index, has_data = 0, False, False
    while offset < size:
        f.seek(offset)
        header = f.read(16)
        if len(header) < 8:
            return f"a box header is cut off at byte {offset}"
        box_size, kind = int.from_bytes(header[:4], "big"), header[4:8]
        header_size = 8
        if box_size == 1:
            if len(header) < 16:
                return f"a box header is cut off at byte {offset}"
            box_size, header_size = int.from_bytes(header[8:16], "big"), 16
        elif box_size == 0:
            box_size = size - offset
        shown = kind.decode("ascii", "replace")
        if box_size < header_size:
            return f"box {shown!r} at byte {offset} has an impossible size"
        if box_size > size - offset:
            return f"box {shown!r} at byte {offset} runs past the end of the file"
        has_index |= kind == b"moov"
        has_data |= kind == b"mdat"
        offset += box_size
    if not has_index:
        return "its index, the 'moov' box, is missing"
    if not has_data:
        return "its media data, the 'mdat' box, is missing"
    return None


def mp4_fault(path: str) -> str | None:
    """What keeps `path` from being a whole MP4 file, or None: the
    top-level boxes must tile the file exactly and hold an index and media."""
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size == 0:
                return "it is empty"
            return _box_fault(f, size)
    except FileNotFoundError:
        return "it does not exist"
    except IsADirectoryError:
        return "it is a directory"
    except OSError as error:
        return f"it cannot be read ({error.strerror or error})"


def require_complete_mp4(path: str, what: str) -> None:
    if (fault := mp4_fault(path)) is not None:
        raise IncompleteVideo(f"{what} {path} is not a complete MP4 file: {fault}")


def refuse_existing(names: OutputNames, output_dir: str, *, overwrite: bool, replace: str,
                    also: Sequence[str] = ()) -> None:
    """Before anything is fetched: a result (or a file named in `also`)
    already in `output_dir` stays unless the run may replace it; `replace`
    tells the reader how to, or how to choose another name."""
    if overwrite:
        return
    existing = names.existing(output_dir) + [p for p in (os.path.join(output_dir or ".", n) for n in also)
                                             if os.path.lexists(p)]
    if existing:
        raise ResultExists(f"{existing[0]} exists; {replace}")


def move_into_place(source: str, target: str, overwrite: bool) -> None:
    """Renames `source` to `target`; an existing `target` is replaced only
    with `overwrite` (else OutputError, the target untouched)."""
    if overwrite:
        os.replace(source, target)
        return
    try:
        os.link(source, target)  # fails when the target exists: never clobbers
    except FileExistsError:
        raise OutputError(f"{target} appeared during the run; it was left as it was") from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        if os.path.lexists(target):  # a file system without hard links
            raise OutputError(f"{target} appeared during the run; it was left as it was") from None
        os.rename(source, target)
        return
    os.unlink(source)


def publish(work_dir: str, output_dir: str, names: OutputNames, *, overwrite: bool,
            extras: Sequence[tuple[str, str]] = ()) -> tuple[str, str]:
    """Checks both results in `work_dir`, renames them into `output_dir`
    (the recap last, so its presence means the run finished) and removes
    `work_dir`. `extras`: (file in `work_dir`, name) of further finished
    results, moved before the recap. Returns the two final paths."""
    made_final = os.path.join(work_dir, ENGINE_FINAL)
    made_horizontal = os.path.join(work_dir, ENGINE_HORIZONTAL)
    require_complete_mp4(made_horizontal, "the horizontal video")
    require_complete_mp4(made_final, "the recap")
    final = os.path.join(output_dir or ".", names.final)
    horizontal = os.path.join(output_dir or ".", names.horizontal)
    move_into_place(made_horizontal, horizontal, overwrite)
    for made, name in extras:
        move_into_place(made, os.path.join(output_dir or ".", name), overwrite)
    move_into_place(made_final, final, overwrite)
    shutil.rmtree(work_dir, ignore_errors=True)
    return final, horizontal
