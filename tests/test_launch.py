"""`python -m vantor` where the engine cannot load from the package found
first: a checkout's unbuilt source tree shadowing an installed package,
nothing built at all, and another Python than the one the engine is for."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def unbuilt_checkout(path: Path) -> Path:
    """A checkout's root whose vantor/ holds the Python files but no engine."""
    shutil.copytree(ROOT / "vantor", path / "vantor", ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    (path / "Makefile").write_text("build:\n")
    return path


def vantor(cwd: Path, *args: str, python: str = sys.executable, pythonpath: str | None = None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    return subprocess.run([python, "-m", "vantor", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=60)


def test_checkout_root_runs_the_installed_package(tmp_path):
    # The built tree on PYTHONPATH stands in for the installed package.
    checkout = unbuilt_checkout(tmp_path)
    done = vantor(checkout, "--version", pythonpath=str(ROOT))
    assert done.returncode == 0 and "(engine for CPython 3.13," in done.stdout, done.stderr
    shown = vantor(checkout, "check", "-", pythonpath=str(ROOT))  # the command line itself, stdin empty
    assert shown.returncode == 1 and "Traceback" not in shown.stderr and "not built" not in shown.stderr


def test_nothing_built_says_what_to_run_in_one_line(tmp_path):
    checkout = unbuilt_checkout(tmp_path)
    for cwd in (checkout, tmp_path.parent):
        done = vantor(cwd, "--version", pythonpath=str(checkout))
        assert done.returncode == 1 and done.stdout == "", done.stderr
        assert done.stderr == (f"vantor: the engine is not built in {checkout / 'vantor'}: "
                               f"run make build in {checkout} (or make install for the vantor command)\n")


def test_an_unrelated_vantor_directory_is_not_run_instead(tmp_path):
    # Only a package with an engine is worth running again for; nothing loops.
    checkout = unbuilt_checkout(tmp_path / "a")
    other = unbuilt_checkout(tmp_path / "b")
    done = vantor(checkout, "--version", pythonpath=str(other))
    assert done.returncode == 1 and done.stderr.startswith(f"vantor: the engine is not built in {checkout}/vantor:")


@pytest.mark.skipif(shutil.which("python3.11") is None, reason="no python3.11 on PATH to try")
def test_another_python_is_told_which_one(tmp_path):
    done = vantor(tmp_path, "--version", python="python3.11", pythonpath=str(ROOT))
    assert done.returncode == 1 and done.stdout == "" and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("vantor: needs CPython 3.13, and this is cpython 3.11.")
    # A checkout with its environment names that interpreter; a bare copy (the sanitizer run's) says how to get one.
    if (ROOT / ".venv" / "bin" / "python").exists():
        assert done.stderr.rstrip().endswith("-m vantor, or the vantor command after make install")
    else:
        assert done.stderr.rstrip().endswith("run make install in the checkout, then the vantor command")
