"""The fit and caption options `vantor recap` and `vantor batch` share."""

from __future__ import annotations

import argparse

from ..recap.captions import CAPTION_MODES, CAPTION_STYLES

__all__ = ["add_fit_and_caption_options", "add_keep_work_option"]


def add_keep_work_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--keep-work", action="store_true",
                        help="keep a failed or interrupted run's working folder (.vantor-run-*) to look into; "
                             "by default it is removed (the download stays in the cache)")


def add_fit_and_caption_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--strict", action="store_true",
                        help="refuse, before the download, a narration that does not fit its range (the local "
                             "services speak every narration first and warn otherwise)")
    parser.add_argument("--captions", choices=CAPTION_MODES, default=None,
                        help="files: NAME.srt and NAME.vtt beside the recap, from the narrations' word timings; "
                             "burn: also drawn into the picture; track: also a soft subtitle track")
    parser.add_argument("--caption-style", choices=CAPTION_STYLES, default=None,
                        help="how burned-in captions look: clean (white, outlined; the default), bold (the word "
                             "being spoken turns gold) or boxed (a translucent box behind the words); all stay "
                             "above the bottom 20%% and clear of the right 12%% of the picture")
