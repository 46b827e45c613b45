#!/usr/bin/env bash
# Prepares a machine for building and testing: finds Python 3.13 with its headers, makes .venv,
# installs the build and test tools, installs GoogleTest, builds and installs the package.
# Idempotent: a second run only rebuilds what changed.
#
#   scripts/setup.sh            everything the test command needs
#   scripts/setup.sh package    only what building the package needs (the demo): the build
#                               backend, CMake and Ninja; no test tools, no GoogleTest
set -euo pipefail
cd "$(dirname "$0")/.."
MODE=${1:-all}
case $MODE in
  all | package) ;;
  *)
    echo "usage: scripts/setup.sh [package]" >&2
    exit 2
    ;;
esac

log() { printf '[setup] %s\n' "$*"; }

apt_install() {
  if ! command -v apt-get >/dev/null 2>&1; then return 1; fi
  if ! apt-get install -y --no-install-recommends "$@" >/dev/null 2>&1; then
    log "apt-get update"
    apt-get update >/dev/null
    apt-get install -y --no-install-recommends "$@" >/dev/null
  fi
}

# shellcheck source=scripts/lib/interpreters.sh
source scripts/lib/interpreters.sh

PYTHON=$(find_python 3.13 || true)
if [ -z "$PYTHON" ]; then
  log "Python 3.13 with headers not found; trying apt-get install python3.13-dev python3.13-venv"
  apt_install python3.13-dev python3.13-venv || true
  PYTHON=$(find_python 3.13 || true)
fi
if [ -z "$PYTHON" ]; then
  echo "error: Python 3.13 with its development headers is required and could not be found or installed." >&2
  echo "       Install python3.13 and python3.13-dev (or a pyenv 3.13 build) and run this again." >&2
  exit 1
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)'; then
  log "creating .venv with $PYTHON"
  rm -rf .venv
  "$PYTHON" -m venv .venv
fi

# The stamps hold the requirement files' text as installed: a change in any of them installs again.
REQUIREMENTS=(requirements-dev.txt requirements-build.txt requirements-test.txt)
stamp=.venv/.requirements-stamp
if [ "$MODE" = package ]; then
  # The build requirements alone, unless the full set is already in.
  if ! cmp -s <(cat "${REQUIREMENTS[@]}") "$stamp" &&
    ! cmp -s requirements-build.txt .venv/.build-requirements-stamp; then
    log "installing the build backend, CMake and Ninja into .venv"
    .venv/bin/python -m pip install -q -r requirements-build.txt
    cp requirements-build.txt .venv/.build-requirements-stamp
  fi
else
  if ! cmp -s <(cat "${REQUIREMENTS[@]}") "$stamp"; then
    log "installing build, test and release tools into .venv (a minute or two the first time)"
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements-dev.txt
    cat "${REQUIREMENTS[@]}" >"$stamp"
  fi

  if [ ! -f /usr/include/gtest/gtest.h ]; then
    log "installing GoogleTest (libgtest-dev)"
    apt_install libgtest-dev cmake || { echo "error: could not install libgtest-dev" >&2; exit 1; }
  fi
fi

log "building and installing metronyx (up to a minute or two when sources changed)"
# One build at a time: concurrent runs would share the incremental build directory.
mkdir -p build
# Warnings are errors in our own builds only (a user's plain `pip install .` keeps them warnings).
flock build/.install-lock .venv/bin/python -m pip install -q --no-build-isolation --no-deps \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.METRONYX_WERROR=ON .
