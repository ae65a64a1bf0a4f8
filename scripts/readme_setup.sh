#!/usr/bin/env bash
# Runs the README's set-up block exactly as written, in one bash shell: the
# sh block right after the "set-up block" marker (.ci/run sets BINDIR and PATH
# first). --print shows the lines
# instead of running them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
block="$(awk '/^<!-- set-up block:/ {found = 1; next}
              found && /^```sh$/ {inside = 1; next}
              inside && /^```$/ {exit}
              inside {print}' README.md)"
[ -n "$block" ] || { echo "readme_setup: no set-up block in README.md" >&2; exit 1; }
if [ "${1:-}" = --print ]; then
    printf '%s\n' "$block"
    exit 0
fi
printf '[readme set-up block]\n%s\n' "$block" >&2
bash -euo pipefail -c "$block"
