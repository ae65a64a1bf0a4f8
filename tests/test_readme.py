"""The README's and docs/'s shell commands stay true: every command in their
`sh` blocks is accounted for here, run by CI or by a test, the options each
`vantor` command shows are options that command takes, the README's first
recap runs as written, and every picture and page they link to is there."""

from __future__ import annotations

import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from child_env import child_env

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
PAGES = {p: p.read_text(encoding="utf-8") for p in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]}
ALL_TEXT = "\n".join(PAGES.values())


def sh_commands(text: str) -> list[list[str]]:
    """Each command of the text's sh blocks as words, continuation lines
    (after a backslash, or an indented usage line) joined, comments and
    leading VAR=value settings dropped."""
    commands = []
    for block in re.findall(r"^```sh\n(.*?)^```$", text, re.M | re.S):
        block = re.sub(r"\\\n|\n(?=[ \t]+\[)", " ", block)
        for line in block.splitlines():
            words = shlex.split(line, comments=True)
            while words and re.fullmatch(r"[A-Z_]+=\S*", words[0]):
                words.pop(0)
            if words:
                commands.append(words)
    return commands


def test_the_finder_reads_blocks_continuations_and_comments():
    text = ("```sh\nmake x   # a 'quoted' note\npip install . -Ca=1 \\\n  -Cb=2\nA=1 vantor demo\n    [--q]\n```\n"
            "```python\nnot_shell()\n```\n```\nvantor untagged\n```\n")
    assert sh_commands(text) == [["make", "x"], ["pip", "install", ".", "-Ca=1", "-Cb=2"], ["vantor", "demo", "[--q]"]]


def ci_runs_the_set_up_block() -> list[list[str]]:
    ci = (ROOT / ".ci/run").read_text()
    # The command goes into a folder of the run's own, first on PATH, before the set-up runs.
    assert ci.index('export BINDIR="$bindir" PATH="$bindir:$PATH"') < ci.index("bash scripts/readme_setup.sh\n")
    assert ci.index("bash scripts/readme_setup.sh\n") < ci.index("\nmake test\n")
    printed = subprocess.run(["bash", "scripts/readme_setup.sh", "--print"], cwd=ROOT, capture_output=True,
                             text=True, check=True).stdout
    return [shlex.split(line, comments=True) for line in printed.splitlines()]


def test_ci_runs_the_set_up_block_as_written():
    marker = README.index("<!-- set-up block:")
    first_block = README[marker:].split("```sh\n", 1)[1].split("```", 1)[0]
    assert ci_runs_the_set_up_block() == sh_commands(f"```sh\n{first_block}```\n")
    assert ci_runs_the_set_up_block() == [["make", "install"], ["vantor", "demo"]]


def files_running(*words: str) -> list[str]:
    """Test files that start a vantor command with these words in a row."""
    pattern = re.compile(r",\s*".join(re.escape(f'"{w}"') for w in words))
    return [p.name for p in sorted((ROOT / "tests").glob("test_*.py"))
            if p.name != "test_readme.py" and pattern.search(p.read_text(encoding="utf-8"))]


def shown_options(words: list[str]) -> list[str]:
    """The options a usage line shows: `[--speed 1.0]`, `[-p]`, `--json`."""
    options = []
    for word in words:
        word = word.strip("[]")
        if re.fullmatch(r"--?[a-z][\w-]*", word):
            options.append(word)
    return options


def vantor_help(*words: str) -> str:
    done = subprocess.run([sys.executable, "-m", "vantor", *words, "--help"], cwd=ROOT, env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def account_for(words: list[str], set_up: list[list[str]]) -> str:
    """Where the command is run, or what this test checks of it; fails on a
    command nobody runs."""
    program = words[0]
    if program == "make":
        assert re.search(rf"^{words[1]}:", (ROOT / "Makefile").read_text(), re.M), f"no make target {words[1]}"
    if words in set_up:
        return "CI: the set-up block"
    if program == "vantor":
        command = words[1]
        if command == "--version":
            return "this test: vantor --version"
        options = shown_options(words[2:])
        listed = vantor_help(command)
        assert all(re.search(rf"(^|[\s,]){re.escape(o)}\b", listed) for o in options), (words, listed)
        runs = files_running(command) or files_running("-m", "vantor", command)
        assert runs, f"no test runs `vantor {command}`"
        return f"{', '.join(runs)}; options checked against --help"
    if words == ["make", "test"]:
        return "CI: .ci/run after the set-up block"
    if words[:2] == ["make", "build"]:
        return "CI: make test builds first; settings: this test"
    if words == ["make", "transcribe"]:
        return "tests/test_install.py: what its dry run installs"
    if words[:3] == ["pip", "install", "."]:
        return "this test: the settings it sets"
    if words[:3] == ["pip", "install", "-U"]:
        return "this test: the packages it names are the ones provisioning installs"
    raise AssertionError(f"the README shows `{shlex.join(words)}`, which no test or CI runs: "
                         "run it somewhere and account for it in tests/test_readme.py")


def test_every_shell_command_in_the_readme_and_docs_is_run_somewhere():
    set_up = ci_runs_the_set_up_block()
    commands = sh_commands(README)
    assert all(c in commands for c in set_up)
    for page, text in PAGES.items():
        for words in sh_commands(text):
            try:
                account_for(words, set_up)
            except AssertionError as error:
                raise AssertionError(f"{page.relative_to(ROOT)}: {error}") from None
    assert len(sh_commands(ALL_TEXT)) >= 30


def test_pictures_and_pages_linked_are_files_of_the_repository():
    for page, text in PAGES.items():
        images = re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", text)
        links = re.findall(r"(?<!!)\[[^\]]*\]\(([^)\s#]+)(?:#[^)]*)?\)", text)
        assert page.name != "README.md" or images
        for target in images + [t for t in links if "://" not in t]:
            assert "://" not in target and (page.parent / target).is_file(), (page.name, target)


def first_recap() -> tuple[list[str], str]:
    """The README's first `vantor recap` command and the segments shown with it."""
    section = README[README.index("## Your first recap"):]
    section = section[:section.index("\n## ", 1)]
    (command, *_) = [c for c in sh_commands(section) if c[:2] == ["vantor", "recap"]]
    return command, section.split("```json\n", 1)[1].split("```", 1)[0]


@pytest.mark.slow
def test_the_first_recap_runs_as_written_on_what_the_demo_leaves(tmp_path):
    from vantor.demo import leave_film_and_segments

    command, shown = first_recap()
    film, segments = leave_film_and_segments(str(tmp_path / "demo-output"), size="320x180")
    assert command[2:4] == [os.path.relpath(film, tmp_path), os.path.relpath(segments, tmp_path)]
    assert json.loads(shown) == json.loads(Path(segments).read_text())[:2]  # what the reader finds there
    done = subprocess.run([sys.executable, "-m", "vantor", *command[1:]], cwd=tmp_path, env=child_env(),
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    made = tmp_path / done.stdout.strip()
    assert made == tmp_path / "my-recap" / "FINAL_RECAP.mp4" and made.stat().st_size > 10_000


def test_version_line_has_the_shown_shape():
    (shown,) = [line for line in ALL_TEXT.splitlines() if line.startswith("vantor --version")]
    assert "# vantor 0.1.0 (engine for CPython 3.13, ffmpeg " in shown
    done = subprocess.run([sys.executable, "-m", "vantor", "--version"], cwd=ROOT, env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert re.fullmatch(r"vantor \S+ \(engine for CPython 3\.13, ffmpeg \S+ on PATH, hosts \S+, \S+\)\n", done.stdout)


def test_the_update_command_names_what_provisioning_installs():
    (update,) = [c for c in sh_commands(ALL_TEXT) if c[:3] == ["pip", "install", "-U"]]
    lines = [line for name in ("requirements.txt", "requirements-dev.txt")
             for line in (ROOT / name).read_text().splitlines()]
    pinned = {line.split("==")[0] for line in lines if "==" in line and not line.startswith("#")}
    assert set(update[3:]) <= pinned, (update, pinned)


@pytest.mark.slow
def test_service_hosts_set_at_build_time_reach_the_settings(tmp_path):
    """The README's `pip install . -Ccmake.define.X=V` and `make build
    CMAKE_ARGS=-DX=V` set CMake cache variables: configured with those
    values, the generated settings module holds them."""
    (pip,) = [c for c in sh_commands(ALL_TEXT) if c[:3] == ["pip", "install", "."]]
    (make,) = [c for c in sh_commands(ALL_TEXT) if c[:2] == ["make", "build"]]
    defines = [w.replace("-Ccmake.define.", "-D", 1) for w in pip[3:]]
    assert len(defines) == 3 and all(d.startswith("-DVANTOR_") for d in defines)
    assert make[2].startswith("CMAKE_ARGS=") and make[2].split("=", 1)[1] in defines
    cmake = Path(sys.executable).parent / "cmake"
    done = subprocess.run([str(cmake), "-S", str(ROOT), "-B", str(tmp_path), "-G", "Ninja",
                           f"-DPython_EXECUTABLE={sys.executable}", *defines], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    (generated,) = tmp_path.rglob("_service_settings.py")
    settings = {}
    exec(generated.read_text(), settings)  # noqa: S102 - our own generated file
    values = dict(d[2:].split("=", 1) for d in defines)
    assert settings["TTS_HOST"] == values["VANTOR_TTS_HOST"]
    assert settings["DOWNLOAD_API_BASE"] == values["VANTOR_DOWNLOAD_API_BASE"]
    assert settings["DOWNLOAD_ORIGIN"] == values["VANTOR_DOWNLOAD_ORIGIN"]
