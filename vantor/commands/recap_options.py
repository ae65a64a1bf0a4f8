"""The fit and caption options `vantor recap` and `vantor batch` share."""

from __future__ import annotations

import argparse

from ..recap.captions import CAPTION_MODES
from ..recap.framing import ASPECTS, DEFAULT_ASPECT, DEFAULT_FRAME, FRAME_MODES

__all__ = ["add_fit_and_caption_options", "add_framing_options"]


def add_fit_and_caption_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--strict", action="store_true",
                        help="refuse, before the download, a narration that does not fit its range (the local "
                             "services speak every narration first and warn otherwise)")
    parser.add_argument("--captions", choices=CAPTION_MODES, default=None,
                        help="files: NAME.srt and NAME.vtt beside the recap, from the narrations' word timings; "
                             "burn: also drawn into the picture; track: also a soft subtitle track")
    add_framing_options(parser)


def add_framing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--frame", choices=FRAME_MODES, default=DEFAULT_FRAME,
                        help="smart: a crop that follows each shot's subject (faces, else motion); center: the "
                             "middle; blur: the whole picture over a blurred copy; fit: the whole picture over bars "
                             f"(default {DEFAULT_FRAME})")
    parser.add_argument("--aspect", choices=tuple(ASPECTS), default=DEFAULT_ASPECT,
                        help="the recap's shape: " + ", ".join(f"{a} ({w}x{h})" for a, (w, h) in ASPECTS.items()))
