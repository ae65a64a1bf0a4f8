"""`make install` for a user: what it installs, and the command link it
shares with other checkouts on the same machine (scripts/link_command.sh)."""

from __future__ import annotations

import os
import re
import subprocess
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEV_TOOLS = {"pytest", "mypy", "basedpyright", "hypothesis", "selenium"}


def pinned(name: str) -> set[str]:
    lines = (ROOT / name).read_text().splitlines()
    return {re.split(r"[\[=]", line)[0] for line in lines if "==" in line and not line.startswith("#")}


def test_install_takes_the_runtime_set_and_tests_take_the_toolchain_on_top():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    needed = project["dependencies"] + project["optional-dependencies"]["neural"] + \
        project["optional-dependencies"]["batch"]
    runtime = pinned("requirements.txt")
    assert {re.split(r"[\[=<>]", spec)[0] for spec in needed} <= runtime and not runtime & DEV_TOOLS
    dev = (ROOT / "requirements-dev.txt").read_text().splitlines()
    assert "-r requirements.txt" in dev and DEV_TOOLS <= pinned("requirements-dev.txt")
    dry = subprocess.run(["make", "-n", "install", "test", "VENV=/nonexistent/venv", "BINDIR=/nonexistent/bin"],
                         cwd=ROOT, capture_output=True, text=True, timeout=60).stdout
    provisions = re.findall(r"bash scripts/provision\.sh.*", dry)
    assert provisions == ["bash scripts/provision.sh --user", "bash scripts/provision.sh"], dry


def link(action: str, target: Path, at: Path, force: str = "0") -> subprocess.CompletedProcess[str]:
    return subprocess.run(["bash", str(ROOT / "scripts/link_command.sh"), action, str(target), str(at)],
                          env={**os.environ, "FORCE": force}, capture_output=True, text=True, timeout=30)


def test_an_other_checkouts_command_is_replaced_only_when_forced_and_never_uninstalled(tmp_path):
    mine, theirs, at = tmp_path / "mine/vantor", tmp_path / "theirs/vantor", tmp_path / "bin/vantor"
    at.parent.mkdir()
    assert link("install", mine, at).returncode == 0 and os.readlink(at) == str(mine)
    assert link("install", mine, at).returncode == 0  # again: its own link
    os.remove(at)
    at.symlink_to(theirs)
    refused = link("install", mine, at)
    assert refused.returncode == 1 and os.readlink(at) == str(theirs)
    assert f"already leads to {theirs}" in refused.stderr and "make install FORCE=1" in refused.stderr
    assert "left" in link("uninstall", mine, at).stdout and os.readlink(at) == str(theirs)
    assert link("install", mine, at, force="1").returncode == 0 and os.readlink(at) == str(mine)
    assert link("uninstall", theirs, at).returncode == 0 and at.is_symlink()
    assert link("uninstall", mine, at).returncode == 0 and not at.is_symlink() and not at.exists()
    at.write_text("#!/bin/sh\n")  # a command installed some other way
    assert link("install", mine, at).returncode == 1 and not at.is_symlink()
