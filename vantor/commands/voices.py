"""`vantor voices`: the voice names the local speech service accepts, and
which engine speaks each."""

from __future__ import annotations

import argparse
import json
from typing import Any

from ._common import EXIT_OK, add_command

__all__ = ["register"]


def _run(args: argparse.Namespace) -> int:
    from ..services.piper_backend import bundled_voice, piper_version
    from ..services.voices import DEFAULT_VOICE, NEURAL, VOICES_DIR_ENV, VoiceCatalog, default_catalog, voice_groups

    catalog = (default_catalog() if args.voices_dir is None
               else VoiceCatalog(bundled_voice(), args.voices_dir, neural_runtime=piper_version() is not None))
    voices = list(catalog.voices.values())
    same = catalog.same_voice()
    groups = voice_groups(catalog)
    if args.json:
        print(json.dumps({"voices": [{"name": v.name, "engine": v.engine, "neural": v.engine == NEURAL,
                                      "voice": v.piper.name if v.piper else v.espeak,
                                      "model": str(v.piper.model) if v.piper else None,
                                      "same_as": same.get(v.name), "default": v.name == DEFAULT_VOICE, "mark": mark}
                                     for group in groups for v, mark in group.voices],
                          "problems": catalog.problems}))
        return EXIT_OK
    width = max(len(v.name) for v in voices)
    for group in groups:
        print(group.title)
        for v, mark in group.voices:
            print(f"  {v.name:<{width}}  {mark}")
    for problem in catalog.problems:
        print(f"skipped: {problem}")
    if not any(v.engine == NEURAL for v in voices):
        from ..extras import install_extra

        print(f"no neural voice: {install_extra('neural')} (a folder of Piper voices: --voices-dir or {VOICES_DIR_ENV})")
    return EXIT_OK


def register(subparsers: Any) -> None:
    parser = add_command(subparsers, "voices", help="list the voice names of the local speech service",
                         example="vantor voices | grep neural")
    parser.add_argument("--json", action="store_true", help="print the voices as one JSON object")
    parser.add_argument("--voices-dir", metavar="DIR", help="a folder of Piper voices (NAME.onnx with NAME.onnx.json) "
                        "to list too (default: $VANTOR_VOICES_DIR)")
    parser.set_defaults(handler=_run)
