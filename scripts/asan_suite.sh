#!/usr/bin/env bash
# The whole test suite against the sanitizer build of the extension
# (make test-asan builds it in $BUILD_DIR first).
#
# A scratch copy of the tree in $BUILD_DIR/tree gets the instrumented module,
# so the developer build in vantor/ stays as it is. The ASan and UBSan
# runtimes are preloaded into Python processes only (asan_site/sitecustomize.py
# keeps them from wget and ffmpeg), leak detection is off (the interpreter
# keeps its objects to the end), and any report a sanitizer writes fails the
# run, from the test process or from a Python child alike.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${BUILD_DIR:?BUILD_DIR: the sanitizer build tree}" && pwd)"
PYTHON="${PYTHON:?PYTHON: the venv interpreter}"
TREE="$BUILD/tree"
REPORTS="$BUILD/reports"

say() { printf '[test-asan] %s\n' "$*"; }

shopt -s nullglob
modules=("$BUILD"/vantor*.so)
if [ "${#modules[@]}" -ne 1 ]; then
    say "error: expected one built module in $BUILD; run make test-asan"
    exit 2
fi

rm -rf "$TREE" "$REPORTS"
mkdir -p "$TREE" "$REPORTS"
say "copying the tree to $TREE"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' path; do
        if [ -f "$ROOT/$path" ]; then
            mkdir -p "$TREE/$(dirname "$path")"
            cp -p "$ROOT/$path" "$TREE/$path"
        fi
    done
cp "${modules[0]}" "$TREE/vantor/"
cp "$BUILD/generated/_service_settings.py" "$TREE/vantor/"

runtimes=()
for lib in libasan.so libubsan.so; do
    found="$(g++ -print-file-name="$lib")"
    [ -e "$found" ] || { say "error: $lib not found; install g++ (make setup)"; exit 2; }
    runtimes+=("$(readlink -f "$found")")
done

export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
export PYTHONMALLOC=malloc  # every object through malloc, where ASan sees it
export PYTHONPATH="$ROOT/scripts/asan_site${PYTHONPATH:+:$PYTHONPATH}"

say "running the suite with ${runtimes[*]} preloaded into Python"
start=$SECONDS
status=0
(cd "$TREE" && LD_PRELOAD="${runtimes[*]}" "$PYTHON" -m pytest -p no:cacheprovider "$@") || status=$?
say "suite took $((SECONDS - start)) s (exit status $status)"

reports=("$REPORTS"/*)
if [ "${#reports[@]}" -ne 0 ]; then
    for report in "${reports[@]}"; do
        say "sanitizer output in $report:"
        cat "$report"
    done
    if grep -lE 'ERROR: |runtime error|SUMMARY: ' "${reports[@]}" >/dev/null; then
        say "FAILED: the sanitizers reported errors (see above)"
        exit 1
    fi
fi
exit "$status"
