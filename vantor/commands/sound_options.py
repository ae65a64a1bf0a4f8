"""The sound options `vantor recap` takes: the source's sound, music, loudness, fit."""

from __future__ import annotations

import argparse

from ..recap.sound.sound_step import DEFAULT_LOUDNESS, FIT_MODES, SOURCE_AUDIO_MODES

__all__ = ["add_sound_options"]


def add_sound_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--source-audio", choices=SOURCE_AUDIO_MODES, default="duck",
                        help="the source's own sound under the narration: duck (lowered about 12 dB while the "
                             "narration speaks), mix (lowered all along) or off (narration only)")
    parser.add_argument("--music", metavar="FILE|DIR", default=None,
                        help="a music bed from an audio file, or from a folder (one file picked by the segments: "
                             "the same recap gets the same file), looped, ducked under the narration, faded out")
    parser.add_argument("--loudness", type=float, default=DEFAULT_LOUDNESS, metavar="LUFS",
                        help="integrated loudness of the final mix, e.g. -14 for short-video platforms; true peak "
                             "at most -1 dBTP")
    parser.add_argument("--fit", choices=FIT_MODES, default="extend",
                        help="extend: each clip lasts the longer of its range and its narration; range: "
                             "exactly the range, a long narration cut; narration: each clip ends with its narration")

