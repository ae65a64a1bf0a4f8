"""The outside programs a recap runs, found on PATH before anything starts.

A missing program otherwise shows up late, as an error of whatever step
first needs it (a FileNotFoundError after the download, or a download
"failure" when yt-dlp cannot find ffprobe). `require_tools` refuses the run
up front, in one line naming the Debian package that brings each one.
"""

from __future__ import annotations

import shutil
from dataclasses import dataclass

from .errors import PreflightError

__all__ = ["LOCAL_SERVICE_TOOLS", "RUN_TOOLS", "MissingToolError", "Tool", "install_hint", "missing_tools",
           "require_tools"]


@dataclass(frozen=True)
class Tool:
    """A program looked up on PATH, and the Debian package that provides it."""

    name: str
    package: str
    purpose: str


# Every recap: the engine cuts, merges and converts with ffmpeg and fetches
# the video with wget; the run's checks measure the video with ffprobe.
RUN_TOOLS = (
    Tool("ffmpeg", "ffmpeg", "cuts, merges and converts the video"),
    Tool("ffprobe", "ffmpeg", "measures the downloaded video"),
    Tool("wget", "wget", "fetches the video from the download service"),
)
# With the local services, the speech service speaks through espeak-ng; its
# neural voices are optional (a voice without its model speaks with espeak-ng).
LOCAL_SERVICE_TOOLS = (Tool("espeak-ng", "espeak-ng", "speaks the narrations for the local speech service"),)


class MissingToolError(PreflightError):
    """A program the run needs is not on PATH; the message is one line.
    A refusal before the run like any other, so every front end shows it
    as it shows a bad argument."""

    def __init__(self, missing: tuple[Tool, ...]) -> None:
        self.missing = missing
        names = " and ".join(tool.name for tool in missing) if len(missing) <= 2 else (
            ", ".join(tool.name for tool in missing[:-1]) + f" and {missing[-1].name}")
        verb = "is" if len(missing) == 1 else "are"
        super().__init__(f"{names} {verb} not installed (not found on PATH): {install_hint(missing)}")


def tools_for(local_services: bool, extra: tuple[Tool, ...] = ()) -> tuple[Tool, ...]:
    return RUN_TOOLS + (LOCAL_SERVICE_TOOLS if local_services else ()) + extra


def missing_tools(local_services: bool, extra: tuple[Tool, ...] = (), path: str | None = None) -> tuple[Tool, ...]:
    """The tools a run needs that `path` (default: PATH) lacks, in order."""
    return tuple(tool for tool in tools_for(local_services, extra) if shutil.which(tool.name, path=path) is None)


def install_hint(missing: tuple[Tool, ...]) -> str:
    """The one command that installs them: `apt-get install ffmpeg wget`."""
    packages = list(dict.fromkeys(tool.package for tool in missing))
    return "install with: apt-get install " + " ".join(packages)


def require_tools(local_services: bool, extra: tuple[Tool, ...] = (), path: str | None = None) -> None:
    """Raises MissingToolError unless every tool the run needs is on PATH.

    Called before any request, so a missing tool costs nothing but the line."""
    missing = missing_tools(local_services, extra, path)
    if missing:
        raise MissingToolError(missing)
