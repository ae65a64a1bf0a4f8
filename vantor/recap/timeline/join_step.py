"""The conversion of a product run: the ranges joined exactly, in the one
decode that makes the recap.

Each range is its own pair of inputs: the source read from just before the
range's first frame (decoded from the key frame before it, as any exact cut
must be) and trimmed to its whole frames, and the range's merged clip for
its sound (the source's own cut from the range's start, under the
narration), trimmed to the same instant and padded or cut to the picture's
length. The concat filter joins them, so every range starts on its own
frame with its own sound and the joined picture's time stamps rise evenly.
The joined picture and sound are the horizontal file; sped up and framed,
the recap. The engine's own copied join is still made and checked (it is
what the engine hands on) and is then replaced by the exact one.

The features add to the named parts (`picture`, `sound`, `music`, the
outputs' codecs and maps) and the host renders the command once.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from fractions import Fraction

from .command import ENCODERS, PICTURE_STAGES, SOUND_STAGES, Command, Output, Stages
from .model import RangeTime, Timeline

__all__ = ["RecapJoin", "RangeChain"]

# A feature's picture chain for one range: `[src]...[out]`, its time 0 at the range's first frame; None: none.
RangeChain = Callable[[RangeTime, str, str], "str | None"]
_EDGE_S = 0.005  # seconds of fade at each end of a range's sound
_MANY_RANGES = 16
_LEAD = 0.25  # of a frame: the seek lands this much before a range's first frame, so rounding never loses it


@dataclass
class RecapJoin:
    timeline: Timeline
    clips: Sequence[str]  # each range's merged clip, its sound starting at the range's requested start
    starts: Sequence[float]  # each range's requested start in the source
    target: str  # the recap
    horizontal: str  # the joined picture and sound at the source's speed
    encoder: str
    atempo: str  # the engine's chain for the speed
    picture: Stages = field(default_factory=lambda: Stages(PICTURE_STAGES))
    sound: Stages = field(default_factory=lambda: Stages(SOUND_STAGES))
    audio_codec: list[str] = field(default_factory=lambda: ["-c:a", "aac"])
    extra_inputs: list[str] = field(default_factory=list)  # further files (a subtitle track), after the ranges'
    final_maps: list[str] = field(default_factory=list)  # beyond the picture and the sound
    final_options: list[str] = field(default_factory=list)

    def __post_init__(self) -> None:
        rate = Fraction(*self.timeline.frame_rate)
        self.picture.set("speed", f"setpts={1 / self.timeline.speed:.6f}*PTS")
        # Every output frame the source frame nearest its time (the recap keeps the source's rate).
        self.picture.set("rate", f"fps=fps={rate.numerator}/{rate.denominator}:round=near")
        self.picture.set("framing", "scale=1080:1920:force_original_aspect_ratio=increase", "crop=1080:1920")
        self.sound.set("tempo", self.atempo)
        self.music: str | None = None  # a graph fragment making the music bed, mixed under the sound

    def extra_input(self, path: str) -> int:
        """The input number of a further file in the recap's command."""
        self.extra_inputs.append(path)
        return 2 * len(self.timeline.ranges) + len(self.extra_inputs) - 1

    def _base(self, range_chains: Sequence[RangeChain] = (), picture: bool = True) -> Command:
        """The inputs and the join: pads [vh] and [ah] (the joined picture
        and sound), [vr] (the recap's picture, framed per range when a
        feature frames ranges) and [as] (its sound); the sound alone
        without `picture`."""
        command = Command()
        rate = Fraction(*self.timeline.frame_rate)
        per_frame = float(1 / rate)
        video, sound, framed = "", "", ""
        # Every input's decoder is opened at the start: many ranges each get one thread, not one per core.
        threads = ["-threads", "1"] if len(self.timeline.ranges) > _MANY_RANGES else []
        for number, (rng, clip, start) in enumerate(zip(self.timeline.ranges, self.clips, self.starts)):
            frames = round((rng.source_out - rng.source_in) * rate)
            length = float(frames / rate)
            if picture:
                v = command.add_input(os.path.abspath(self.timeline.source), *threads, "-ss",
                                      f"{max(0.0, rng.source_in - _LEAD * per_frame):.6f}",
                                      "-t", f"{length + per_frame:.6f}")
            a = command.add_input(os.path.abspath(clip))  # the conversion runs in the working folder
            offset = max(0.0, rng.source_in - start)
            # A few milliseconds faded at each end: two ranges' sounds meet without a click.
            edge = min(_EDGE_S, length / 4)
            command.graph.add([f"{a}:a"], [f"atrim=start={offset:.6f}", "asetpts=PTS-STARTPTS",
                                           f"apad=whole_dur={length:.6f}", f"atrim=duration={length:.6f}",
                                           f"afade=t=in:d={edge:.4f}", f"afade=t=out:st={length - edge:.6f}:d={edge:.4f}"],
                              [f"a{number}"])
            sound += f"[a{number}]"
            if not picture:
                continue
            command.graph.add([f"{v}:v"], [f"trim=end_frame={frames}", "setpts=PTS-STARTPTS"], [f"v{number}"])
            chain = next((c for c in (f(rng, f"f{number}", f"p{number}") for f in range_chains) if c), None)
            if chain is None:
                video += f"[v{number}][a{number}]"
                continue
            command.graph.add([f"v{number}"], "split", [f"h{number}", f"f{number}"])
            command.graph.chains.append(chain)
            video += f"[h{number}][a{number}]"
            framed += f"[p{number}]"
        if picture:
            for path in self.extra_inputs:
                command.add_input(path)
        count = len(self.timeline.ranges)
        if not picture:
            command.graph.chains.append(f"{sound}concat=n={count}:v=0:a=1[as]")
            return command
        if framed:
            command.graph.chains.append(f"{video}concat=n={count}:v=1:a=1[vh][aj]")
            command.graph.add(["aj"], "asplit", ["ah", "as"])
            command.graph.chains.append(f"{framed}concat=n={count}:v=1:a=0[vr]")
            self.picture.set("framing")  # each range came framed
        else:
            command.graph.chains.append(f"{video}concat=n={count}:v=1:a=1[vj][aj]")
            command.graph.add(["vj"], "split", ["vh", "vr"])
            command.graph.add(["aj"], "asplit", ["ah", "as"])
        return command

    def _sound_graph(self, command: Command, upto: str | None, out: str) -> None:
        """[as] through the sound stages (up to `upto`) to `out`, the music mixed after the tempo."""
        tempo = self.sound.get("tempo")
        if self.music is None:
            command.graph.add(["as"], [*tempo, *self._after_tempo(upto)], [out])
            return
        command.graph.add(["as"], tempo, ["sound_sped"])
        command.graph.chains.append(f"{self.music}[music]")
        command.graph.add(["sound_sped", "music"], ["amix=inputs=2:duration=first:normalize=0", *self._after_tempo(upto)],
                          [out])

    def _after_tempo(self, upto: str | None) -> list[str]:
        names = [n for n in self.sound.order if n not in ("tempo", "music")]
        if upto is not None:
            names = names[:names.index(upto)] if upto in names else names
        return [f for n in names for f in self.sound.get(n)]

    def sound_measure(self, extra: Sequence[str]) -> list[str]:
        """A command that decodes the recap's sound as far as the level
        stage, then `extra` (a meter), to nothing: no picture decoded."""
        command = self._base(picture=False)
        command.tool = ("ffmpeg", "-nostdin", "-hide_banner", "-nostats")  # the meter speaks at ffmpeg's info level
        self._sound_graph(command, "level", "measured_in")
        command.graph.add(["measured_in"], list(extra), ["measured"])
        command.outputs.append(Output("-", ["[measured]"], ["-f", "null"]))
        return command.render()

    def render(self, range_chains: Sequence[RangeChain] = ()) -> list[str]:
        command = self._base(range_chains)
        command.graph.add(["vr"], self.picture.render(), ["vo"])
        self._sound_graph(command, None, "af")
        video = ["-c:v", self.encoder, *ENCODERS[self.encoder]]
        # ffmpeg's progress counts on the furthest output's clock: the horizontal file's, at the source's speed.
        command.outputs.append(Output(os.path.abspath(self.horizontal), ["[vh]", "[ah]"],
                                      [*self.audio_codec, *video]))
        command.outputs.append(Output(os.path.abspath(self.target), ["[vo]", "[af]", *self.final_maps],
                                      [*self.audio_codec, *video, *self.final_options]))
        return command.render()
