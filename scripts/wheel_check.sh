#!/usr/bin/env bash
# Builds vantor's wheel as `pip install .` would, checks what it contains,
# installs it into a scratch directory and imports vantor.vantor from there in
# a process whose working directory is outside the source tree.
#
#   PYTHON   interpreter to build for (default: <repo>/.venv/bin/python)
#   PIP_WHEEL_ARGS  extra arguments for `pip wheel` (e.g. --no-build-isolation)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-$ROOT/.venv/bin/python}"
log() { printf '[wheel-check] %s\n' "$*"; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/vantor-wheel-check.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

log "pip wheel . ${PIP_WHEEL_ARGS:-} (build tree: build/pip/)"
# shellcheck disable=SC2086
(cd "$ROOT" && "$PYTHON" -m pip wheel . --no-deps --disable-pip-version-check -q \
    -w "$tmp/dist" ${PIP_WHEEL_ARGS:-})

wheel="$(ls "$tmp"/dist/vantor-*.whl)"
log "built $(basename "$wheel")"

"$PYTHON" - "$wheel" "$ROOT" <<'PY'
import sys, zipfile
from pathlib import Path

wheel, root = Path(sys.argv[1]), Path(sys.argv[2])
names = set(zipfile.ZipFile(wheel).namelist())
pkg = sorted(n for n in names if n.startswith("vantor/"))
print("[wheel-check] contents:", ", ".join(pkg))

problems = []
required = ["vantor/__init__.py", "vantor/_service_settings.py"]
# Whatever .py / typing files and page files (the studio) the package has in the tree must ship.
for path in sorted((root / "vantor").rglob("*")):
    rel = path.relative_to(root).as_posix()
    if "__pycache__" in rel or not path.is_file():
        continue
    if path.suffix in (".py", ".pyi", ".html", ".css", ".js") or path.name == "py.typed":
        required.append(rel)
for name in dict.fromkeys(required):
    if name not in names:
        problems.append(f"missing {name}")
modules = [n for n in pkg if n.startswith("vantor/vantor.cpython-313") and n.endswith(".so")]
if len(modules) != 1:
    problems.append(f"expected one vantor/vantor.cpython-313*.so, found {modules}")
for n in pkg:
    if n.endswith((".cpp", ".hpp", ".h", ".in")):
        problems.append(f"source file shipped: {n}")
metadata = next((n for n in names if n.endswith(".dist-info/METADATA")), None)
text = zipfile.ZipFile(wheel).read(metadata).decode() if metadata else ""
for line in ("License-Expression: MIT", "License-File: LICENSE", "Classifier: Typing :: Typed"):
    if line not in text.splitlines():
        problems.append(f"METADATA lacks {line!r}")
if not any(n.endswith(".dist-info/licenses/LICENSE") for n in names):
    problems.append("LICENSE not shipped")
# A plain `pip install .` must bring the local services' backends.
requires = [line.split(":", 1)[1].strip() for line in text.splitlines()
            if line.startswith("Requires-Dist:")]
for wanted in ("yt-dlp[default]", "deno", "starlette", "uvicorn"):
    if not any(r.replace(" ", "").startswith(wanted) and "extra ==" not in r for r in requires):
        problems.append(f"{wanted} not among the install requirements {requires}")
if problems:
    raise SystemExit("[wheel-check] bad wheel: " + "; ".join(problems))
PY

log "pip install --target <scratch> <wheel>"
"$PYTHON" -m pip install --no-deps --disable-pip-version-check -q \
    --target "$tmp/site" "$wheel"

mkdir "$tmp/elsewhere"
(cd "$tmp/elsewhere" && "$PYTHON" - "$tmp/site" <<'PY'
import sys
site = sys.argv[1]
sys.path[:] = [site] + [p for p in sys.path if p not in ("", ".")]
import vantor, vantor.vantor, vantor._service_settings as s, vantor.services.server
for mod in (vantor, vantor.vantor, s, vantor.services.server):
    assert mod.__file__ and mod.__file__.startswith(site), (mod.__name__, mod.__file__)
print(f"[wheel-check] imported {vantor.vantor.__name__} from {vantor.vantor.__file__}")
print(f"[wheel-check] settings: api={s.DOWNLOAD_API_BASE} host={s.DOWNLOAD_API_HOST} "
      f"origin={s.DOWNLOAD_ORIGIN} tts={s.TTS_HOST}")
PY
)
# The installed command, from a directory that knows nothing of the source.
(cd "$tmp/elsewhere" && printf '[{"start": "1", "end": "2", "voiceover": "x"}]' \
    | PYTHONPATH="$tmp/site" "$PYTHON" "$tmp/site/bin/vantor" check - >/dev/null) \
    || { log "the installed vantor command failed"; exit 1; }
log "installed command: $(cd "$tmp/elsewhere" && PYTHONPATH="$tmp/site" "$PYTHON" "$tmp/site/bin/vantor" --version)"
log "ok"
