"""`vantor suggest URL`: a draft segments file from the video's words,
ranges of whole sentences with the reasons each was chosen. The draft goes
to -o FILE (the reasons to stdout), or to stdout (the reasons to stderr).
Loudness peaks and shot changes count when the video was read: after
recognition, or with --read-video; otherwise a line says they were not."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import tempfile
from typing import Any

from ..recap.checks.segments_check import check_segments
from ..transcripts.formats import clock
from ..transcripts.model import Suggestion
from ..transcripts.suggest import DEFAULT_LENGTH, ENDS_SECONDS, MIN_LENGTH, draft_segments, suggest
from ._common import EXIT_OK, CommandFailed, add_command, whole_number
from .transcript import add_source_options, words_for

__all__ = ["MAX_LENGTH", "register"]

MAX_COUNT = 100
MAX_LENGTH = 3600.0
NOT_READ = {"captions": "loudness peaks and shot changes were not weighed: the video itself was not read (its "
                         "captions were); add --read-video to read it",
            "recognition": "loudness peaks and shot changes were not weighed: they could not be read from the "
                           "video; add --read-video to see why"}


def _length(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or not 0 < value <= MAX_LENGTH:
        raise argparse.ArgumentTypeError(f"must be above 0 and at most {MAX_LENGTH:g} seconds, not {text}")
    return value


def _reasons(found: list[Suggestion]) -> str:
    lines = []
    for n, s in enumerate(found, 1):
        lines.append(f"{n}. {clock(s.start)} - {clock(s.end)} ({s.end - s.start:.1f} s), score {s.score:.2f}: "
                     + "; ".join(s.reasons))
        lines.append(f"   {s.text if len(s.text) <= 160 else s.text[:159] + '…'}")
    return "".join(line + "\n" for line in lines)


def _refuse_existing(path: str | None, force: bool) -> None:
    if path and os.path.exists(path) and not force:
        raise CommandFailed(f"{path} exists; give another -o or pass --force to replace it")


def _write(path: str, content: str, force: bool) -> None:
    """The draft, whole or not at all; an existing file only with --force."""
    _refuse_existing(path, force)  # again: it may have appeared while the words were read
    folder = os.path.dirname(os.path.abspath(path))
    try:
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=folder, prefix=".vantor-draft-", suffix=".json",
                                         delete=False) as out:
            out.write(content)
        os.replace(out.name, path)
    except OSError as error:
        raise CommandFailed(f"cannot write {path}: {error.strerror or error}") from None
    report = check_segments(path, drafts=True)  # the file as written, read back as a recap would, but for the marker
    if not report.ok:
        raise CommandFailed(f"the draft written to {path} does not pass vantor check: {report.errors[0]}")


def _run(args: argparse.Namespace) -> int:
    from ..transcripts.api import signal_arguments

    _refuse_existing(args.output, args.force)  # before anything is read
    found_words = words_for(args, read_video=args.read_video)
    found = suggest(found_words.transcript, count=args.count, length=args.length, keywords=args.keyword,
                    duration=found_words.duration, include_ends=args.include_ends, **signal_arguments(found_words))
    if not found and not found_words.transcript.words:
        raise CommandFailed("the video's transcript has no words to suggest ranges from")
    if not found:
        ends = "" if args.include_ends else "; --include-ends lets in the video's first and last half-minute"
        raise CommandFailed(f"no run of whole sentences of {min(MIN_LENGTH, args.length / 2):g} to {args.length:g} s "
                            f"was found{ends}; a larger --length may find some")
    draft = json.dumps(draft_segments(found), indent=2, ensure_ascii=False) + "\n"
    if args.output:
        _write(args.output, draft, args.force)
    if args.json:
        print(json.dumps({"suggestions": [s.to_json() for s in found], "segments": json.loads(draft),
                          "file": args.output, "source": found_words.transcript.source,
                          "video_read": found_words.signals is not None}))
        return EXIT_OK
    reasons = _reasons(found) + (
        "" if found_words.signals is not None else NOT_READ[found_words.transcript.source] + "\n")
    if args.output:
        sys.stdout.write(reasons)
        print(f"draft written to {args.output}: write your own narration in place of each REWRITE: one (vantor "
              f"check and vantor recap refuse it as it is), then vantor check {args.output}")
    else:
        sys.stderr.write(reasons)
        sys.stdout.write(draft)
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(
        subparsers, "suggest",
        help="draft a segments file from a video's words: ranges of whole sentences and why each was chosen",
        example="vantor suggest https://example.com/watch?v=abc --count 4 --keyword penalty -o segments.json",
    )
    add_source_options(parser)
    parser.add_argument("--count", type=whole_number(1, MAX_COUNT), default=5, help="how many ranges")
    parser.add_argument("--length", type=_length, default=DEFAULT_LENGTH, metavar="SECONDS",
                        help=f"the longest range: whole sentences up to this, at least {MIN_LENGTH:g} s (or half "
                             "of it), within one shot where the shots are known")
    parser.add_argument("--include-ends", action="store_true",
                        help=f"let ranges start in the video's first or end in its last {ENDS_SECONDS:g} s, where "
                             "channels greet and sign off (passed over by default)")
    parser.add_argument("--keyword", action="append", default=[], metavar="WORD",
                        help="a word to look for (repeatable); the video's own repeated words count too")
    parser.add_argument("-o", "--output", metavar="FILE", help="write the draft here (default: stdout)")
    parser.add_argument("--force", action="store_true", help="replace an existing -o file")
    parser.add_argument("--read-video", action="store_true",
                        help="download a captioned video to weigh its loudness peaks and shot changes too (kept "
                             "with its transcript)")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object: the suggestions with their reasons, and the draft")
    parser.set_defaults(handler=_run)
