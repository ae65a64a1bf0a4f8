"""The ffmpeg commands a product run shapes, as values: named inputs, filter
chains between labelled pads, outputs with their maps and options, rendered
to an argument vector once, when the command runs.

The features (framing, sound, captions) never edit a command's words: each
adds to the named part it owns, and the run's host renders the result. The
picture and the sound of the recap are each a chain of named stages, in a
declared order (`PICTURE_STAGES`, `SOUND_STAGES`), so the order in which
the features are handed the command does not decide the order of their
filters.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

__all__ = ["ENCODERS", "PICTURE_STAGES", "SOUND_STAGES", "Command", "Graph", "Input", "Output", "Stages"]

BASE = ("ffmpeg", "-y", "-loglevel", "error")
# Each encoder the conversion tries, with the preset and quality the recap is made at.
ENCODERS = {"h264_nvenc": ("-preset", "p1", "-cq", "23"), "libx264": ("-preset", "ultrafast", "-crf", "23")}
# The recap's picture after the join: sped up, framed, captions drawn on the framed picture, then each
# output frame taken at the recap's rate (last: framing and captions switch on the frames' own times).
PICTURE_STAGES = ("speed", "framing", "captions", "rate")
# Its sound after the join: brought to the speed, the music laid under it, then levelled.
SOUND_STAGES = ("tempo", "music", "level")


@dataclass
class Input:
    path: str
    options: list[str] = field(default_factory=list)  # before its -i (a seek, a format)


@dataclass
class Output:
    path: str
    maps: list[str] = field(default_factory=list)  # "[label]" or "N:stream"
    options: list[str] = field(default_factory=list)


@dataclass
class Graph:
    """A filter graph: chains `[in]...filters...[out]` joined with ';'."""

    chains: list[str] = field(default_factory=list)

    def add(self, sources: Sequence[str], filters: Sequence[str] | str, targets: Sequence[str]) -> None:
        body = filters if isinstance(filters, str) else ",".join(f for f in filters if f)
        pads = "".join(f"[{s}]" for s in sources)
        outs = "".join(f"[{t}]" for t in targets)
        self.chains.append(f"{pads}{body or 'null'}{outs}")

    def render(self) -> str:
        return ";".join(self.chains)


class Stages:
    """A chain of named stages, rendered in the declared order; a stage may
    hold several filters, or a graph fragment whose pads are its own."""

    def __init__(self, order: Sequence[str]) -> None:
        self.order: tuple[str, ...] = tuple(order)
        self._parts: dict[str, list[str]] = {name: [] for name in self.order}

    def add(self, stage: str, *filters: str) -> None:
        self._parts[stage].extend(f for f in filters if f)

    def set(self, stage: str, *filters: str) -> None:
        self._parts[stage] = [f for f in filters if f]

    def get(self, stage: str) -> list[str]:
        return list(self._parts[stage])

    def render(self, upto: str | None = None) -> str:
        """The filters of every stage (up to and without `upto`)."""
        names = self.order if upto is None else self.order[:self.order.index(upto)]
        return ",".join(f for name in names for f in self._parts[name])


@dataclass
class Command:
    inputs: list[Input] = field(default_factory=list)
    graph: Graph = field(default_factory=Graph)
    outputs: list[Output] = field(default_factory=list)
    tool: tuple[str, ...] = BASE

    def add_input(self, path: str, *options: str) -> int:
        self.inputs.append(Input(path, list(options)))
        return len(self.inputs) - 1

    def render(self) -> list[str]:
        argv = list(self.tool)
        for item in self.inputs:
            argv += [*item.options, "-i", item.path]
        if self.graph.chains:
            argv += ["-filter_complex", self.graph.render()]
        for out in self.outputs:
            for pad in out.maps:
                argv += ["-map", pad]
            argv += [*out.options, out.path]
        return argv


@dataclass
class CutCommand:
    """A range copied out of the source as the engine cuts it (the picture's
    packets from the key frame before `start`), and, when `sound_target` is
    named, the source's sound decoded to PCM from `start` itself: the sound
    is exact to the sample while the picture is trimmed in the conversion."""

    source: str
    start: str
    stop: str
    target: str
    sound_target: str | None = None

    def render(self) -> list[str]:
        argv = [*BASE, "-ss", self.start, "-to", self.stop, "-i", self.source]
        if self.sound_target is not None:
            argv += ["-map", "0:v"]
        argv += ["-c", "copy", "-an", self.target]
        if self.sound_target is not None:
            argv += ["-map", "0:a", "-c:a", "pcm_s16le", "-ar", "48000", "-ac", "2", self.sound_target]
        return argv
