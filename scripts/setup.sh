#!/usr/bin/env bash
# Prepares a machine for building and testing: finds Python 3.13 with its headers, makes .venv,
# installs the build and test tools, installs GoogleTest, builds and installs the package.
# Idempotent: a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf '[setup] %s\n' "$*"; }

apt_install() {
  if ! command -v apt-get >/dev/null 2>&1; then return 1; fi
  if ! apt-get install -y --no-install-recommends "$@" >/dev/null 2>&1; then
    log "apt-get update"
    apt-get update >/dev/null
    apt-get install -y --no-install-recommends "$@" >/dev/null
  fi
}

has_headers() {
  "$1" -c 'import os, sys, sysconfig; sys.exit(0 if sys.version_info[:2] == (3, 13) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null
}

find_python() {
  local candidate
  if candidate=$(command -v python3.13 2>/dev/null) && has_headers "$candidate"; then
    echo "$candidate"; return 0
  fi
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in $(ls -d "$(pyenv root)"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do
      if has_headers "$candidate"; then echo "$candidate"; return 0; fi
    done
  fi
  for candidate in /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if [ -x "$candidate" ] && has_headers "$candidate"; then echo "$candidate"; return 0; fi
  done
  return 1
}

PYTHON=$(find_python || true)
if [ -z "$PYTHON" ]; then
  log "Python 3.13 with headers not found; trying apt-get install python3.13-dev python3.13-venv"
  apt_install python3.13-dev python3.13-venv || true
  PYTHON=$(find_python || true)
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

stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  log "installing build and test tools into .venv"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi

if [ ! -f /usr/include/gtest/gtest.h ]; then
  log "installing GoogleTest (libgtest-dev)"
  apt_install libgtest-dev cmake || { echo "error: could not install libgtest-dev" >&2; exit 1; }
fi

log "building and installing metronyx"
# One build at a time: concurrent runs would share the incremental build directory.
mkdir -p build
# Warnings are errors in our own builds only (a user's plain `pip install .` keeps them warnings).
flock build/.install-lock .venv/bin/python -m pip install -q --no-build-isolation --no-deps \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.METRONYX_WERROR=ON .
