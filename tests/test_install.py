"""`make install` for a user: only what the command needs, and a command
link shared with other checkouts (scripts/link_command.sh)."""

from __future__ import annotations

import os
import re
import subprocess
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def pinned_lines(name: str) -> set[str]:
    return {line for line in (ROOT / name).read_text().splitlines() if "==" in line and not line.startswith("#")}


def pinned(name: str) -> set[str]:
    return {re.split(r"[\[=]", line)[0] for line in (ROOT / name).read_text().splitlines() if "==" in line}


def test_install_takes_the_runtime_set_and_tests_add_the_toolchain():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    extras = project["optional-dependencies"]
    needed = {re.split(r"[\[=<>]", d)[0] for d in project["dependencies"] + extras["neural"] + extras["batch"]}
    tools = {"pytest", "mypy", "basedpyright", "hypothesis", "selenium"}
    assert needed <= pinned("requirements.txt") and not pinned("requirements.txt") & tools
    dev = (ROOT / "requirements-dev.txt").read_text()
    assert "-r requirements.txt" in dev and tools <= pinned("requirements-dev.txt")
    # The tests recognise speech with exactly what the transcribe extra, and `make transcribe`, install.
    assert {d for d in extras["transcribe"] if "==" in d} == pinned_lines("requirements-transcribe.txt")
    assert "-r requirements-transcribe.txt" in dev
    dry = subprocess.run(["make", "-n", "install", "test", "transcribe", "VENV=/none/venv", "BINDIR=/none/bin"],
                         cwd=ROOT, capture_output=True, text=True, timeout=60).stdout
    assert re.findall(r"provision\.sh.*", dry) == ["provision.sh --user", "provision.sh"], dry
    assert "/none/venv/bin/python -m pip install --disable-pip-version-check -q -r requirements-transcribe.txt" in dry


def link(action: str, target: Path, at: Path, force: str = "0") -> int:
    return subprocess.run(["bash", str(ROOT / "scripts/link_command.sh"), action, str(target), str(at)],
                          env={**os.environ, "FORCE": force}, capture_output=True, timeout=30).returncode


def test_an_other_checkouts_command_is_replaced_only_when_forced_and_never_uninstalled(tmp_path):
    mine, theirs, at = tmp_path / "mine/vantor", tmp_path / "theirs/vantor", tmp_path / "vantor"
    theirs.parent.mkdir()
    theirs.write_text("#!/bin/sh\n")  # the other checkout's command, still there
    assert link("install", mine, at) == link("install", mine, at) == 0 and os.readlink(at) == str(mine)
    os.remove(at)
    at.symlink_to(theirs)
    refused = subprocess.run(["bash", "scripts/link_command.sh", "install", str(mine), str(at)], cwd=ROOT,
                             capture_output=True, text=True, timeout=30)
    assert refused.returncode == 1 and f"already leads to {theirs}" in refused.stderr and "FORCE=1" in refused.stderr
    assert link("uninstall", mine, at) == 0 and os.readlink(at) == str(theirs)
    assert link("install", mine, at, force="1") == 0 and os.readlink(at) == str(mine)
    assert link("uninstall", theirs, at) == 0 and at.is_symlink()
    assert link("uninstall", mine, at) == 0 and not os.path.lexists(at)
    at.symlink_to(tmp_path / "removed/vantor")  # a checkout deleted since: the link leads nowhere
    assert link("install", mine, at) == 0 and os.readlink(at) == str(mine)
    os.remove(at)
    at.write_text("#!/bin/sh\n")  # a command installed some other way
    assert link("install", mine, at) == 1 and not at.is_symlink()


def test_an_extra_is_added_by_a_command_that_works_for_the_install(monkeypatch):
    import shlex
    import sys

    from vantor import extras

    assert extras.install_extra("transcribe") == f"make -C {ROOT} transcribe"  # the checkout's own target
    pinned = [d for d in tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
              ["transcribe"]]
    assert extras.install_extra("transcribe", reinstall=True) == shlex.join(
        [sys.executable, "-m", "pip", "install", "--force-reinstall", *pinned])
    # Installed from a wheel: the environment's own pip with the extra's packages, never 'vantor[...]'.
    monkeypatch.setattr(extras, "source_checkout", lambda: None)
    monkeypatch.setattr(extras.metadata, "requires", lambda name: [
        'faster-whisper==1.2.1; extra == "transcribe"', "dask>=2026.8; extra == 'batch'", "requests>=2.31"])
    assert extras.install_extra("transcribe") == shlex.join([sys.executable, "-m", "pip", "install",
                                                             "faster-whisper==1.2.1"])
    assert extras.install_extra("batch").endswith(" -m pip install 'dask>=2026.8'")
    assert "vantor[" not in extras.install_extra("neural")
