"""The engine's steps, as a per-run host receives them.

A run that binds `host` (`engine_run(host=...)`, the per-run bindings only)
has the engine call `host.step(kind, fields)` at each named step instead of
reaching for its generic names (`requests`, `subprocess`, `time`, `print`,
`os`, `_generate_tts`). `StepHost.step` turns the fields into the step's
dataclass below and calls the method of the same name, whose answer goes
back to the engine:

- "job", "poll": the download job's request and each poll: a response
  (`.json()`, `.raise_for_status()`), as `requests.get` answers;
- "fetch", "cut", "merge", "concat", "conversion": a command, handed the
  exact argv the engine would run; the answer is its exit status (a status
  but 0 fails the run, except for the conversion's hardware attempt, which
  then falls back to the software one as a second "conversion" step);
- "narration", "pause", "cleanup", "event": nothing.

A host may run a command as given or an extended one (inputs restricted,
the conversion's filter chain extended). `StepHost`'s own methods do
exactly what the engine does without a host, through the same names the
engine would look up, so a subclass that overrides nothing makes the same
files with the same commands.
"""

from __future__ import annotations

import builtins
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from ...bindings import current_bindings

__all__ = ["Cleanup", "Concat", "Conversion", "Cut", "Event", "Fetch", "Job", "Merge", "Narration", "Pause", "Poll",
           "STEPS", "StepHost", "engine_name"]


@dataclass(frozen=True)
class Job:
    """The download job's request (`attempt` is 0); `Poll`: one poll of it."""
    url: str
    headers: Mapping[str, str]
    timeout: float
    attempt: int


class Poll(Job):
    pass


@dataclass(frozen=True)
class Pause:
    seconds: float
    why: str  # "poll": before each poll of the job; "narration": after each narration


@dataclass(frozen=True)
class Fetch:
    """wget of the job's finished file to `target`."""
    argv: list[Any]
    url: str
    target: str


@dataclass(frozen=True)
class Narration:
    index: int  # of the segment, from 0
    text: str
    voice: str
    target: str


@dataclass(frozen=True)
class Cut:
    argv: list[Any]
    index: int
    source: str
    target: str
    start: str
    end: str


@dataclass(frozen=True)
class Merge:
    argv: list[Any]
    index: int
    clip: str
    narration: str
    target: str


@dataclass(frozen=True)
class Concat:
    argv: list[Any]
    list_file: str
    clips: list[str]  # the merged clips, in the order joined
    target: str


@dataclass(frozen=True)
class Conversion:
    """The joined clips to the vertical recap: the hardware attempt
    (`checked` False: a failure falls back), then when that fails the
    software one."""
    argv: list[Any]
    source: str
    target: str
    speed: float
    encoder: str  # "h264_nvenc" or "libx264"
    checked: bool


@dataclass(frozen=True)
class Cleanup:
    paths: list[str]  # each removed when it exists


@dataclass(frozen=True)
class Event:
    """Something the engine shows: `kind` with its numbers, and `text`, the
    exact line it prints without a host.

    requesting, job (`job`), job-progress (`percent`, the line overwrites
    itself), fetching, downloaded (`path`), segments (`count`), segment
    (`index` from 0 of `count`, `start`, `end`), concatenating, converting
    (`speed`), fallback, cleaning, horizontal and vertical (`path`)."""
    kind: str
    text: str
    percent: float | None = None
    job: Any = None
    path: str | None = None
    count: int | None = None
    index: int | None = None
    start: str | None = None
    end: str | None = None
    speed: float | None = None


STEPS: Mapping[str, type] = {
    "job": Job, "poll": Poll, "pause": Pause, "fetch": Fetch, "narration": Narration, "cut": Cut, "merge": Merge,
    "concat": Concat, "conversion": Conversion, "cleanup": Cleanup, "event": Event,
}


def engine_name(name: str) -> Any:
    """What the engine would use for `name` now: the per-run binding, the
    module's name, the builtin."""
    from ... import vantor as engine

    bound = current_bindings()
    if name in bound:
        return bound[name]
    if name in vars(engine):
        return vars(engine)[name]
    return getattr(builtins, name)


class StepHost:
    """A host that does what the engine does; override the steps to shape."""

    def step(self, kind: str, fields: Mapping[str, Any]) -> Any:
        """The engine's one call: `kind` with its fields, to the method of
        that name with the typed step."""
        return getattr(self, kind)(STEPS[kind](**fields))

    def job(self, step: Job) -> Any:
        return engine_name("requests").get(step.url, headers=step.headers, timeout=step.timeout)

    def poll(self, step: Poll) -> Any:
        return engine_name("requests").get(step.url, headers=step.headers, timeout=step.timeout)

    def pause(self, step: Pause) -> None:
        engine_name("time").sleep(step.seconds)

    def narration(self, step: Narration) -> None:
        engine_name("_generate_tts")(step.text, step.target, step.voice)

    def command(self, argv: Sequence[Any], *, captured: bool) -> int:
        """Runs `argv` as the engine does: sharing this process's streams, or
        with its output collected and dropped."""
        return int(engine_name("subprocess").run(list(argv), capture_output=captured).returncode)

    def fetch(self, step: Fetch) -> int:
        return self.command(step.argv, captured=False)

    def cut(self, step: Cut) -> int:
        return self.command(step.argv, captured=False)

    def merge(self, step: Merge) -> int:
        return self.command(step.argv, captured=False)

    def concat(self, step: Concat) -> int:
        return self.command(step.argv, captured=False)

    def conversion(self, step: Conversion) -> int:
        return self.command(step.argv, captured=not step.checked)

    def cleanup(self, step: Cleanup) -> None:
        paths = engine_name("os").path
        for path in step.paths:
            if paths.exists(path):
                engine_name("os").remove(path)

    def event(self, step: Event) -> None:
        if step.kind == "job-progress":
            engine_name("print")(step.text, end="", flush=True)
        else:
            engine_name("print")(step.text)


def fspath_argv(argv: Sequence[Any]) -> list[str]:
    """`argv` as text, for showing or comparing."""
    return [os.fspath(a) if isinstance(a, os.PathLike) else str(a) for a in argv]
