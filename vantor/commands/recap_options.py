"""The fit and caption options `vantor recap` and `vantor batch` share,
and the recap's options as one `RecapSpec` from a parsed command line."""

from __future__ import annotations

import argparse

from ..recap.captions.caption_layout import (CAPTION_POSITIONS, DEFAULT_POSITION, DEFAULT_SIZE, SIZE_PERCENT,
                                             check_caption_size)
from ..recap.captions.cues import CAPTION_MODES, CAPTION_STYLES
from ..recap.framing.modes import ASPECTS, DEFAULT_ASPECT, DEFAULT_FRAME, FRAME_MODES
from ..recap.engine.options import OptionError, RecapSpec, frame_name
from ..recap.checks.preflight import COMMAND_LINE, PreflightError

__all__ = ["add_fit_and_caption_options", "add_framing_options", "add_keep_work_option", "recap_spec"]


def recap_spec(args: argparse.Namespace) -> RecapSpec:
    """The options `vantor recap` was given, checked once; a refusal names the flags."""
    try:
        return RecapSpec(voice=args.voice, speed=args.speed, captions=args.captions, caption_style=args.caption_style,
                         caption_position=args.caption_position, caption_size=args.caption_size,
                         frame=args.frame, aspect=args.aspect, source_audio=args.source_audio, music=args.music,
                         loudness=args.loudness, fit=args.fit, strict_fit=args.strict)
    except OptionError as error:
        raise PreflightError(error.worded(COMMAND_LINE)) from None


def add_keep_work_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--keep-work", action="store_true",
                        help="keep a failed or interrupted run's working folder (.vantor-run-*) to look into; "
                             "by default it is removed (the download stays in the cache)")


def _caption_size(text: str) -> str:
    try:
        return check_caption_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_fit_and_caption_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--strict", action="store_true",
                        help="refuse, before the download, a narration that does not fit its range (the local "
                             "services speak every narration first and warn otherwise)")
    parser.add_argument("--captions", choices=CAPTION_MODES, default=None,
                        help="files: NAME.srt and NAME.vtt beside the recap, from the narrations' word timings; "
                             "burn: also drawn into the picture; track: also a soft subtitle track")
    parser.add_argument("--caption-style", choices=CAPTION_STYLES, default=None,
                        help="how burned-in captions look: clean (white, outlined; the default), bold (the word "
                             "being spoken turns gold), boxed (a translucent box behind the words), karaoke (the "
                             "words spoken, being spoken and to come in three colours) or pop (the word being "
                             "spoken larger); *word* in a narration colours that word")
    parser.add_argument("--caption-position", choices=CAPTION_POSITIONS, default=DEFAULT_POSITION,
                        help="where burned-in captions go, inside the area the platforms' buttons and captions "
                             "leave free at the --aspect; above subtitles burned into the source")
    parser.add_argument("--caption-size", type=_caption_size, default=DEFAULT_SIZE, metavar="SIZE",
                        help=f"small, medium, large, or a percentage of medium ({SIZE_PERCENT[0]} to "
                             f"{SIZE_PERCENT[1]}, such as 120%%)")
    add_framing_options(parser)


def add_framing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--frame", choices=FRAME_MODES, default=DEFAULT_FRAME, type=frame_name,
                        help="smart: a crop that follows each shot's subject (faces, else motion); center (or "
                             "centre): the middle; blur: the whole picture over a blurred copy; fit: the whole "
                             "picture over bars")
    parser.add_argument("--aspect", choices=tuple(ASPECTS), default=DEFAULT_ASPECT,
                        help="the recap's shape: " + ", ".join(f"{a} ({w}x{h})" for a, (w, h) in ASPECTS.items()))
