"""What a package index and a type checker see: licence, metadata, and
types complete for every public name. (The README's pictures:
tests/test_readme.py.)"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
from child_env import child_env

ROOT = Path(__file__).resolve().parents[1]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def test_licence_and_index_metadata():
    assert PROJECT["license"] == "MIT" and PROJECT["license-files"] == ["LICENSE"]
    assert (ROOT / "LICENSE").read_text().startswith("MIT License\n")
    assert "Typing :: Typed" in PROJECT["classifiers"] and PROJECT["description"]
    assert set(PROJECT["urls"]) >= {"Homepage", "Source", "Issues"}


def test_types_are_complete():
    if shutil.which("basedpyright", path=os.path.dirname(sys.executable)) is None:
        pytest.skip("basedpyright is not installed (requirements-dev.txt)")
    done = subprocess.run([os.path.join(os.path.dirname(sys.executable), "basedpyright"), "--verifytypes", "vantor",
                           "--ignoreexternal"], cwd=ROOT, env=child_env(),
                          capture_output=True, text=True, timeout=300)
    assert "Type completeness score: 100%" in done.stdout, done.stdout


def test_strict_typing_of_the_package_and_make_recap(tmp_path):
    snippet = """from pathlib import Path
import vantor
a: vantor.RecapResult = vantor.make_recap('u', Path('s.json'), voice='v', output_dir=Path('o'))
b: Path = vantor.make_recap('u', [{'start': '1', 'end': '2', 'voiceover': 'x'}], voice='v', speed=2).final
c: float = a.final_duration + b.stat().st_size
vantor.make_recap('u', 's.json', 'v')  # error
vantor.make_recap('u', 's.json', voice='v', speed='2')  # error
d: str = a.final  # error
"""
    (tmp_path / "snippet.py").write_text(snippet)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           "vantor", str(tmp_path / "snippet.py")], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    errors = [(path, int(n)) for path, n in re.findall(r"^(\S+?):(\d+): error", done.stdout, re.M)]
    wanted = [n for n, line in enumerate(snippet.splitlines(), 1) if line.endswith("# error")]
    assert errors == [(str(tmp_path / "snippet.py"), n) for n in wanted], done.stdout
