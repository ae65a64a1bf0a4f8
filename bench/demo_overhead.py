"""How much of a demo recap is spent outside ffmpeg and wget.

Runs `vantor demo` twice in one process (the second run is the warm one)
and reports, for each, the wall time and the time its ffmpeg and wget
children ran (timed from their start to their end, one after the other as
the engine runs them): what the same commands cost alone. The rest is the
run's own time: services, waits, checks.

    .venv/bin/python bench/demo_overhead.py [--runs 2]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

_child_seconds: list[float] = []
_output_dir = ""


class _TimedPopen(subprocess.Popen):  # type: ignore[type-arg]
    def __init__(self, args, *rest, **kwargs):  # noqa: ANN001, ANN002, ANN003
        # The engine's own children: they name the run's output directory
        # (the contact sheet made afterwards, a tiling, is not the recap's).
        self._timed = bool(isinstance(args, (list, tuple)) and args
                           and os.path.basename(str(args[0])) in ("ffmpeg", "wget")
                           and any(_output_dir and _output_dir in str(a) for a in args)
                           and not any("tile=" in str(a) for a in args))
        self._began = time.perf_counter()
        super().__init__(args, *rest, **kwargs)

    def wait(self, timeout=None):  # noqa: ANN001
        done = self.returncode is not None
        status = super().wait(timeout)
        if self._timed and not done:
            _child_seconds.append(time.perf_counter() - self._began)
        return status


def main() -> None:
    global _output_dir
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=2)
    args = parser.parse_args()
    subprocess.Popen = _TimedPopen  # before vantor is imported: every child is timed
    from vantor.demo import run_demo

    figures = []
    with tempfile.TemporaryDirectory(prefix="vantor-bench-demo-") as tmp:
        for number in range(args.runs):
            _child_seconds.clear()
            out = _output_dir = os.path.join(tmp, f"demo-{number}")
            began = time.perf_counter()
            run_demo(out, progress=None)
            wall = time.perf_counter() - began
            children = sum(_child_seconds)
            figures.append({"run": number + 1, "wall_s": round(wall, 2), "ffmpeg_wget_s": round(children, 2),
                            "outside_s": round(wall - children, 2), "children": len(_child_seconds)})
    json.dump(figures, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
