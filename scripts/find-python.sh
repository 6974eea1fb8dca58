#!/usr/bin/env bash
# Prints the path of a CPython >= 3.12 that has its C headers and can create virtual
# environments, providing one when the machine has none:
#   1. $SORVEX_PYTHON, python3.14/3.13/3.12 on PATH, pyenv's versions, /usr/bin, /usr/local/bin;
#   2. Debian's python3.13-dev and python3.13-venv, when apt knows them;
#   3. CPython 3.13 built from Debian's source package into a cache outside the clone
#      ($SORVEX_CACHE_DIR, default ~/.cache/sorvex), reused by later runs.
# SORVEX_FORCE_BUILD_PYTHON=1 skips steps 1 and 2 (to exercise the fallback).
# Progress goes to stderr; only the interpreter path goes to stdout.
set -euo pipefail

cache_dir=${SORVEX_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/sorvex}
built_prefix="$cache_dir/cpython-3.13"

log() { echo "find-python: $*" >&2; }

usable() {
    [ -x "$1" ] || return 1
    "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
import ensurepip, venv  # noqa: F401  (both needed to create .venv with pip)
ok = sys.version_info >= (3, 12) and sys.implementation.name == "cpython"
ok = ok and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)
PY
}

candidates() {
    [ -n "${SORVEX_PYTHON:-}" ] && echo "$SORVEX_PYTHON"
    for version in 3.14 3.13 3.12; do
        # pyenv shims answer `command -v` but may refuse to run: `usable` sorts that out.
        command -v "python$version" 2>/dev/null || true
        echo "/usr/bin/python$version"
        echo "/usr/local/bin/python$version"
    done
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    local dir
    for dir in $(ls -d "$pyenv_root"/versions/3.1[2-9]* 2>/dev/null | sort -rV); do
        echo "$dir/bin/python3"
    done
    echo "$built_prefix/bin/python3.13"
}

find_existing() {
    local candidate
    while read -r candidate; do
        if [ -n "$candidate" ] && usable "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done < <(candidates)
    return 1
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_from_apt() {
    command -v apt-cache >/dev/null || return 1
    apt-cache show python3.13-dev >/dev/null 2>&1 || return 1
    log "installing python3.13-dev and python3.13-venv from Debian's packages"
    as_root apt-get install -y --no-install-recommends python3.13-dev python3.13-venv >&2
}

# The libraries CPython's ssl, zlib (ensurepip), ctypes, sqlite3, lzma and bz2 are built against.
build_dependencies() {
    local missing=() package
    for package in build-essential xz-utils zlib1g-dev libssl-dev libffi-dev libsqlite3-dev \
        liblzma-dev libbz2-dev; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]} to build CPython"
    if ! as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2; then
        as_root apt-get update >&2
        as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2
    fi
}

build_from_source() {
    log "no CPython >= 3.12 found: building 3.13 from Debian's source package into $built_prefix"
    log "(a few minutes on 2 cores; done once, then reused)"
    build_dependencies
    local work
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    mkdir -p "$work/lists/partial" "$work/src"
    cat >"$work/sources.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    local apt_options=(-o "Dir::Etc::SourceList=$work/sources.sources"
        -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$work/lists")
    apt-get "${apt_options[@]}" update >&2
    (cd "$work/src" && apt-get "${apt_options[@]}" source --download-only python3.13 >&2)
    tar -xJf "$work"/src/python3.13_*.orig.tar.xz -C "$work/src"
    local source_dir
    source_dir=$(find "$work/src" -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
    (cd "$source_dir" && ./configure --prefix="$built_prefix" --with-ensurepip=install >&2 &&
        make -j"$(nproc)" >&2 && make install >&2)
}

if [ "${SORVEX_FORCE_BUILD_PYTHON:-0}" != 1 ]; then
    if python=$(find_existing); then
        echo "$python"
        exit 0
    fi
    if install_from_apt && python=$(find_existing); then
        echo "$python"
        exit 0
    fi
fi
built="$built_prefix/bin/python3.13"
usable "$built" || build_from_source
if usable "$built"; then
    echo "$built"
    exit 0
fi
log "could not provide CPython >= 3.12 with headers; set SORVEX_PYTHON to one"
exit 1
