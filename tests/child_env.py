"""The environment for a `python -m vantor` child process started by a test."""

from __future__ import annotations

import os
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def child_env(**extra: str) -> dict[str, str]:
    """os.environ with the source tree first on PYTHONPATH, ahead of what the
    parent had rather than instead of it: the sanitizer run puts a start-up
    hook there that keeps its preloaded runtime away from wget and ffmpeg."""
    inherited = os.environ.get("PYTHONPATH")
    path = str(ROOT) + (os.pathsep + inherited if inherited else "")
    return {**os.environ, "PYTHONPATH": path, **extra}
