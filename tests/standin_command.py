"""Runs `vantor` as a user would, with the engine's services routed to the
loopback stand-ins (the built-in hosts are placeholders). Not a test module.

    python tests/standin_command.py RECORD.json VIDEO.mp4 recap URL ...

RECORD.json receives the requests each stand-in saw: {"download": [...
paths], "speech": [...]}. The exit status is the command's.
"""

from __future__ import annotations

import json
import sys
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
sys.path.insert(0, str(Path(__file__).resolve().parent))  # the scripted stand-ins

import vantor.vantor as engine  # noqa: E402
from vantor.cli import main  # noqa: E402
from standins import serve  # noqa: E402


def run(record: str, video: str, argv: list[str]) -> int:
    with serve(video) as (download, speech, router):
        engine.requests = router
        engine.time = types.SimpleNamespace(sleep=lambda seconds: None)  # the polls' and narrations' pauses
        try:
            return main(argv)
        finally:
            Path(record).write_text(json.dumps({"download": [r.path for r in download.requests],
                                                "speech": [r.path for r in speech.requests]}))


if __name__ == "__main__":
    sys.exit(run(sys.argv[1], sys.argv[2], sys.argv[3:]))
