#!/usr/bin/env bash
# Prepares a fresh clone: the system packages the build and the checks need, a CPython >= 3.12
# (scripts/find-python.sh), the virtual environment .venv and the Python requirements.
# Usage: scripts/setup-env.sh REQUIREMENTS_FILE...   (default: requirements/dev.txt)
# SORVEX_VENV names another environment directory (make bench uses .venv-bench).
# Idempotent and quick when everything is in place.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${SORVEX_VENV:-.venv}
requirements=("$@")
[ ${#requirements[@]} -gt 0 ] || requirements=(requirements/dev.txt)

log() { echo "setup: $*" >&2; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# System packages: a C++ compiler, GoogleTest, and clang's formatter, analyser and compiler for
# `make lint` (which also builds with clang to keep both compilers warning-free).
missing=()
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang-format >/dev/null || missing+=(clang-format)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
command -v clang++ >/dev/null || missing+=(clang)
# sherpa (requirements/extras.txt) builds from source: its parser generators and FFTW.
command -v bison >/dev/null || missing+=(bison)
command -v flex >/dev/null || missing+=(flex)
command -v pkg-config >/dev/null || missing+=(pkg-config)
[ -f /usr/include/fftw3.h ] || missing+=(libfftw3-dev)
if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]} from Debian's packages"
    if ! as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2; then
        as_root apt-get update >&2
        as_root apt-get install -y --no-install-recommends "${missing[@]}" >&2
    fi
fi

# The virtual environment, rebuilt when missing, broken or older than 3.12.
if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
    python=$(bash scripts/find-python.sh)
    log "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

# Requirements, reinstalled only when the requirement files change.
stamp="$venv/.requirements-$(cat requirements/*.txt | sha256sum | cut -c1-16)-$(echo "${requirements[*]}" | sha256sum | cut -c1-8)"
if [ ! -f "$stamp" ]; then
    log "installing ${requirements[*]}"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip >&2
    args=()
    for file in "${requirements[@]}"; do args+=(-r "$file"); done
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${args[@]}" >&2
    touch "$stamp"
fi
