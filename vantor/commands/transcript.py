"""`vantor transcript URL`: the video's words with their times, from the
site's captions or recognition on this machine, with progress on stderr and
the transcript alone on stdout (text, --json, --srt or --vtt)."""

from __future__ import annotations

import argparse
import json
import sys
import threading
from typing import Any, TextIO

from ..recap.engine.progress_view import ProgressView, bar
from ..transcripts.formats import as_plain, as_srt, as_vtt
from ..transcripts.source import TranscriptUnavailable
from ..transcripts.store import StoredTranscript
from ._common import EXIT_OK, CommandFailed, add_command
from .services_option import services_argument

__all__ = ["StageProgress", "add_source_options", "register", "words_for"]

_STAGE_WORDS = {"captions": "reading the site's captions", "downloading": "downloading the video to transcribe it",
                "transcribing": "transcribing the speech",
                "reading the video": "reading the video's loudness and shot changes"}
# Off a terminal, a running stage's figure is a line this often (in tenths).
PLAIN_STEP = 0.1


class StageProgress:
    """`progress(stage, fraction)` on `stream`: a bar on a terminal, else a
    line when a stage begins and at each tenth of it."""

    def __init__(self, stream: TextIO | None) -> None:
        self.view: ProgressView = ProgressView(stream)
        self._live = bool(stream is not None and stream.isatty())
        self._stage: str | None = None
        self._shown = 0.0
        self._lock = threading.Lock()

    def __call__(self, stage: str, fraction: float) -> None:
        words = _STAGE_WORDS.get(stage, stage)
        with self._lock:
            if stage != self._stage:
                self._stage, self._shown = stage, 0.0
                self.view.write(f"vantor: {words}\n")
            if self._live:
                self.view.draw(bar(fraction, stage))
            elif stage != "captions" and fraction >= self._shown + PLAIN_STEP:
                self._shown = fraction
                self.view.write(f"  {stage} {fraction * 100:3.0f}%\n")

    def close(self) -> None:
        self.view.close()


def add_source_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("url", metavar="URL", help="the video's page address")
    parser.add_argument("--language", metavar="CODE",
                        help="the captions' language, like en or pt-BR (default: the video's, else English)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
    services_argument(parser, "read the captions and download the video on this machine")


def words_for(args: argparse.Namespace, read_video: bool = False) -> StoredTranscript:
    """The video's words for a command, with progress on stderr unless quiet."""
    from ..transcripts.api import words_through_services

    progress = StageProgress(None if args.quiet else sys.stderr)
    try:
        return words_through_services(args.url, args.services.where, language=args.language, progress=progress,
                                      read_video=read_video)
    except TranscriptUnavailable as error:
        raise CommandFailed(str(error)) from None
    finally:
        progress.close()


def _run(args: argparse.Namespace) -> int:
    found = words_for(args)
    transcript = found.transcript
    if args.form == "json":
        print(json.dumps({**transcript.to_json(), "duration": found.duration}))
    else:
        writer = {"text": as_plain, "srt": as_srt, "vtt": as_vtt}[args.form]
        sys.stdout.write(writer(transcript))
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "transcript",
        help="print a video's words with their times, from its captions or speech recognition (cached)",
        example="vantor transcript https://example.com/watch?v=abc --srt > words.srt",
    )
    add_source_options(parser)
    forms = parser.add_mutually_exclusive_group()
    forms.add_argument("--json", dest="form", action="store_const", const="json",
                       help="one JSON object: the words, the sentences, the source and the language")
    forms.add_argument("--srt", dest="form", action="store_const", const="srt", help="SubRip, a cue a sentence")
    forms.add_argument("--vtt", dest="form", action="store_const", const="vtt", help="WebVTT, a cue a sentence")
    parser.set_defaults(handler=_run, form="text")
