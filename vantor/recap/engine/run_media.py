"""What one run knows about its own media files, each read once at most.

The run's shapers ask the same questions of the same files: the source's
length and whether it has sound (the cut), each merged clip's length (the
framing's notes, the music's place, the captions' times) and how long its
sound lasts once joined (the captions). One ffprobe call answers all of
them for a file; the answer is kept with the file's size and time of
change, so a file written again is read again. A narration's length is
known from its voiced timing when the run has one: no file is read for it.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ...runner import ChildStopped, Runner
from ..checks.probe import PROBE_LIMIT_S, UnreadableVideo

if TYPE_CHECKING:
    from ...services import NarrationTiming

__all__ = ["MediaFacts", "RunMedia"]

_AAC_FRAME = 1024  # samples in one coded AAC frame


@dataclass(frozen=True)
class MediaFacts:
    """One file as ffprobe read it."""

    duration: float  # the container's, in seconds; inf when it states none
    audio_format: str | None  # the demuxer, when the file has a sound stream; None without one
    # How long the sound lasts once the concat step has copied it: every
    # coded AAC frame, the encoder's leading one and the padded last one
    # included (the joined file keeps no per-clip trim). None: not AAC, or
    # its packets were not counted.
    sound_length: float | None


class RunMedia:
    """The per-run record. `timings`: each segment's voiced narration, in
    order, when the run has them (their lengths are those of the run's
    narration files: the speech service measured the very bytes it answers).
    `runner`: runs its ffprobe (the run's, once it has one: a cancel ends it)."""

    def __init__(self, timings: Sequence[NarrationTiming] | None = None, runner: Runner | None = None) -> None:
        self.runner: Runner = runner or Runner()
        self._timings = list(timings) if timings is not None else None
        self._facts: dict[tuple[str, bool], tuple[tuple[int, int], MediaFacts]] = {}
        self.probes: int = 0  # ffprobe calls made, for the benchmark

    def facts(self, path: str, *, count_packets: bool = True) -> MediaFacts:
        """The file's facts; its sound's packets are counted unless told not
        to (a long source is read through for them)."""
        try:
            stat = os.stat(path)
            stamp = (stat.st_size, stat.st_mtime_ns)
        except OSError as error:
            raise UnreadableVideo(f"{path}: {error.strerror}") from None
        for counted in (True, False) if not count_packets else (True,):
            kept = self._facts.get((path, counted))
            if kept is not None and kept[0] == stamp:
                return kept[1]
        found = self._probe(path, count_packets)
        self._facts[(path, count_packets)] = (stamp, found)
        return found

    def length(self, path: str) -> float:
        """The container duration of `path`; UnreadableVideo when it has none."""
        duration = self.facts(path).duration
        if duration == float("inf"):
            raise UnreadableVideo(f"{path} states no duration")
        return duration

    def source_length(self, path: str) -> float:
        """The duration of the source video `path` (its packets not counted)."""
        duration = self.facts(path, count_packets=False).duration
        if duration == float("inf"):
            raise UnreadableVideo(f"{path} states no duration")
        return duration

    def narration_length(self, index: int, path: str) -> float:
        """Seconds of segment `index`'s narration, whose file is `path`."""
        if self._timings is not None and index < len(self._timings):
            return self._timings[index].duration
        return self.length(path)

    def _probe(self, path: str, count_packets: bool) -> MediaFacts:
        self.probes += 1
        try:
            done = self.runner.run(["ffprobe", "-v", "error", "-protocol_whitelist", "file,pipe", "-select_streams",
                                    "a:0", *(["-count_packets"] if count_packets else []), "-show_entries",
                                    "format=duration,format_name:stream=codec_name,sample_rate,nb_read_packets",
                                    "-of", "json", path], text=True, time_limit=PROBE_LIMIT_S)
        except ChildStopped as stopped:
            if stopped.why == "cancelled":
                raise
            raise UnreadableVideo(f"{path}: {stopped}") from None
        try:
            found = json.loads(done.stdout or "{}")
        except ValueError:
            found = {}
        form = found.get("format") if isinstance(found, dict) else None
        if done.returncode != 0 or not isinstance(form, dict):
            reason = done.stderr.strip().splitlines()[-1:] or [f"ffprobe exit status {done.returncode}"]
            raise UnreadableVideo(reason[0])
        try:
            duration = float(form.get("duration", "inf"))
        except (TypeError, ValueError):
            duration = float("inf")
        streams = found.get("streams") or []
        sound = streams[0] if streams and isinstance(streams[0], dict) else None
        demuxer = str(form.get("format_name", "")).split(",")[0] if sound is not None else None
        return MediaFacts(duration, demuxer, _sound_length(sound) if count_packets else None)


def _sound_length(stream: dict[str, object] | None) -> float | None:
    if stream is None or stream.get("codec_name") != "aac":
        return None
    rate, packets = str(stream.get("sample_rate", "")), str(stream.get("nb_read_packets", ""))
    if not rate.isdigit() or not packets.isdigit() or int(rate) == 0:
        return None
    return int(packets) * _AAC_FRAME / int(rate)
