#!/usr/bin/env bash
# Prepares this machine for building and testing vantor (or, with --user,
# for building and running the `vantor` command only: `make install`).
# Idempotent, and quick when everything is already in place.
#
#   1. Debian packages the build and the command need (ffmpeg, wget,
#      espeak-ng, util-linux's prlimit for the download service's CPU limits,
#      g++, make, ca-certificates, openssl for the batch cluster's TLS key),
#      and for the tests chromium with its driver (the studio's browser tests)
#      and melt (the exported Kdenlive projects rendered).
#   2. A working CPython 3.13 with headers: python3.13 on PATH, a pyenv
#      install, a cached build in /var/cache/vantor/python3.13, or else one
#      built here from Debian's python3.13 source package.
#   3. The virtual environment (.venv by default) with requirements-dev.txt
#      (--user: requirements.txt, what the command needs to run), reinstalled
#      only when the files it reads change.
#
# Environment:
#   VENV                        venv directory (default: <repo>/.venv)
#   VANTOR_PYTHON               use this python3.13 interpreter
#   VANTOR_FORCE_PYTHON_BUILD=1 build CPython 3.13 from source even if one exists
#   VANTOR_PYTHON_PREFIX        where that build goes (default /var/cache/vantor/python3.13)
set -euo pipefail
shopt -s inherit_errexit

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
case "$VENV" in /*) ;; *) VENV="$ROOT/$VENV" ;; esac
MODE=dev
case "${1:-}" in
    --user) MODE=user ;;
    "") ;;
    *) printf '[provision] error: unknown option %s (--user: only what the command needs)\n' "$1" >&2; exit 2 ;;
esac
if [ "$MODE" = user ]; then REQUIREMENTS="$ROOT/requirements.txt"; else REQUIREMENTS="$ROOT/requirements-dev.txt"; fi
PY_PREFIX="${VANTOR_PYTHON_PREFIX:-/var/cache/vantor/python3.13}"

# Messages go to stderr: find_python's stdout is the interpreter path.
log() { printf '[provision] %s\n' "$*" >&2; }
die() { printf '[provision] error: %s\n' "$*" >&2; exit 1; }

SUDO=()
if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null 2>&1; then SUDO=(sudo); fi
fi

# --------------------------------------------------------------------------
# apt
# --------------------------------------------------------------------------
APT_UPDATED=0
apt_update() {
    if [ "$APT_UPDATED" = 1 ]; then return 0; fi
    log "apt-get update"
    if ! "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq; then
        log "warning: apt-get update reported errors; continuing with the lists it got"
    fi
    APT_UPDATED=1
}

apt_install() {
    apt_update
    log "apt-get install $*"
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "$@"
}

pkg_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

ensure_apt_packages() {
    local missing=() p
    for p in "$@"; do
        pkg_installed "$p" || missing+=("$p")
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        log "system packages present: $*"
        return 0
    fi
    log "missing system packages: ${missing[*]}"
    apt_install "${missing[@]}"
}

# --------------------------------------------------------------------------
# Python 3.13
# --------------------------------------------------------------------------
# Prints the real interpreter path when "$1" is a usable CPython 3.13 (runs,
# right version, ssl/ctypes/venv importable, headers present).
check_python() {
    local candidate="$1"
    [ -n "$candidate" ] || return 1
    "$candidate" - <<'PY' 2>/dev/null
import os, sys, sysconfig
if sys.version_info[:2] != (3, 13) or sys.implementation.name != "cpython":
    raise SystemExit(1)
import ctypes, ssl, venv, ensurepip  # noqa: F401  (must all be importable)
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    raise SystemExit(1)
print(os.path.realpath(sys.executable))
PY
}

build_python() {
    local prefix="$PY_PREFIX"
    log "building CPython 3.13 from Debian's python3.13 source package into $prefix (several minutes)"

    local srclist=""
    # shellcheck disable=SC1091
    . /etc/os-release
    if [ "${VERSION_CODENAME:-}" != trixie ] && [ "${VERSION_ID:-}" != 13 ]; then
        srclist=/etc/apt/sources.list.d/vantor-trixie-src.list
        log "adding deb-src for trixie in $srclist (source packages only)"
        echo "deb-src http://deb.debian.org/debian trixie main" | "${SUDO[@]}" tee "$srclist" >/dev/null
        APT_UPDATED=0
    fi
    apt_update
    ensure_apt_packages build-essential dpkg-dev xz-utils ca-certificates \
        libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
        libreadline-dev uuid-dev libgdbm-dev libncurses-dev

    local work
    work="$(mktemp -d /var/tmp/vantor-python-build.XXXXXX)"
    chmod 755 "$work"  # apt's _apt user downloads into it
    # shellcheck disable=SC2064
    trap "rm -rf '$work'" EXIT
    log "apt-get source --download-only python3.13 (in $work)"
    (cd "$work" && apt-get source --download-only -qq python3.13)
    if [ -n "$srclist" ]; then
        # The source is downloaded; leave apt's configuration as it was.
        "${SUDO[@]}" rm -f "$srclist"
    fi
    local orig
    orig="$(find "$work" -maxdepth 1 -name 'python3.13_*.orig.tar.*' ! -name '*.asc' | head -n 1)"
    [ -n "$orig" ] || die "no upstream tarball among the downloaded python3.13 source files"
    # The upstream tarball is built as is; Debian's patches (install layout,
    # multiarch paths) are not wanted for a private prefix.
    log "unpacking $(basename "$orig")"
    mkdir "$work/src"
    tar -xf "$orig" -C "$work/src" --strip-components=1

    local jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    log "configure --enable-shared --prefix=$prefix"
    (cd "$work/src" && ./configure -q --enable-shared --prefix="$prefix" \
        LDFLAGS="-Wl,-rpath,$prefix/lib") > "$work/configure.log" 2>&1 \
        || { tail -n 40 "$work/configure.log" >&2; die "configure failed"; }
    log "make -j$jobs"
    (cd "$work/src" && make -j"$jobs") > "$work/make.log" 2>&1 \
        || { tail -n 40 "$work/make.log" >&2; die "make failed"; }
    log "make install"
    "${SUDO[@]}" rm -rf "$prefix"
    (cd "$work/src" && "${SUDO[@]}" make install) > "$work/install.log" 2>&1 \
        || { tail -n 40 "$work/install.log" >&2; "${SUDO[@]}" rm -rf "$prefix"; die "make install failed"; }

    if ! "$prefix/bin/python3.13" -c 'import ssl, ctypes, zlib, bz2, lzma, sqlite3' ; then
        "${SUDO[@]}" rm -rf "$prefix"
        die "the CPython build in $prefix lacks ssl/ctypes/zlib/bz2/lzma/sqlite3; removed it"
    fi
    rm -rf "$work"
    trap - EXIT
    log "CPython $("$prefix/bin/python3.13" -c 'import platform; print(platform.python_version())') installed in $prefix"
}

find_python() {
    local found cand
    if [ "${VANTOR_FORCE_PYTHON_BUILD:-0}" = 1 ]; then
        build_python >&2
        check_python "$PY_PREFIX/bin/python3.13" && return 0
        die "the freshly built $PY_PREFIX/bin/python3.13 is not usable"
    fi
    if [ -n "${VANTOR_PYTHON:-}" ]; then
        check_python "$VANTOR_PYTHON" && return 0
        die "VANTOR_PYTHON=$VANTOR_PYTHON is not a usable CPython 3.13 (with ssl, ctypes, venv and headers)"
    fi
    # python3.13 on PATH; a pyenv shim may exist without a selected version, so
    # only trust it if it actually runs.
    if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
        found="$(check_python "$(command -v python3.13)")" && { echo "$found"; return 0; }
    fi
    for cand in "${PYENV_ROOT:-/root/.pyenv}"/versions/3.13*/bin/python3.13 \
                /root/.pyenv/versions/3.13*/bin/python3.13 \
                "$PY_PREFIX/bin/python3.13"; do
        [ -x "$cand" ] || continue
        found="$(check_python "$cand")" && { echo "$found"; return 0; }
    done
    build_python >&2
    check_python "$PY_PREFIX/bin/python3.13" && return 0
    die "could not provide a usable CPython 3.13"
}

# --------------------------------------------------------------------------
# venv
# --------------------------------------------------------------------------
ensure_venv() {
    local python="$1"
    if [ -x "$VENV/bin/python" ] \
        && "$VENV/bin/python" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
        log "venv $VENV: $("$VENV/bin/python" -c 'import platform; print(platform.python_version())')"
    else
        if [ -e "$VENV" ]; then
            log "venv $VENV is missing, broken or not Python 3.13: recreating it"
            rm -rf "$VENV"
        fi
        log "creating venv $VENV from $python"
        "$python" -m venv "$VENV"
    fi

    # One stamp per file set; requirements-dev.txt includes requirements.txt
    # and requirements-transcribe.txt.
    local stamp="$VENV/.requirements-$MODE.sha256" want have="" name
    name="$(basename "$REQUIREMENTS")"
    want="$(cat "$ROOT/requirements.txt" "$ROOT/requirements-transcribe.txt" "$REQUIREMENTS" | sha256sum | cut -d' ' -f1)"
    [ -f "$stamp" ] && have="$(cat "$stamp")"
    if [ "$want" = "$have" ]; then
        log "$name unchanged since last install"
        return 0
    fi
    log "pip install -r $name"
    "$VENV/bin/python" -m pip install --disable-pip-version-check -q -r "$REQUIREMENTS"
    echo "$want" > "$stamp"
}

main() {
    local packages=(ffmpeg wget espeak-ng util-linux g++ make ca-certificates openssl fonts-dejavu-core)
    # The studio's browser tests; a user's studio opens in the user's own browser.
    # melt (MLT, GPL) renders the exported Kdenlive projects in the tests only; it runs as its own program.
    if [ "$MODE" = dev ]; then packages+=(chromium chromium-driver melt); fi
    ensure_apt_packages "${packages[@]}"
    local python
    python="$(find_python)"
    log "python 3.13: $python"
    ensure_venv "$python"
    log "done"
}

main "$@"
