#!/usr/bin/env bash
# Builds and installs metronyx for one interpreter into a venv of its own, then runs the Python
# suite there. The other interpreters' counterpart of scripts/setup.sh plus the suite; used by
# scripts/versions.sh, on the host or inside a chroot (the checkout is at the same path in both).
#
#   scripts/version_suite.sh <python> <name> [pytest arguments...]
#   scripts/version_suite.sh <python> <name> --install-only      the venv and the build, no tests
#
# <name> names the venv and build directories (build/py<name>/). The build is the one a user's
# `pip install .` makes (Release, stripped), with warnings as errors as in all our builds. With no
# pytest arguments the whole suite runs.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=$1
NAME=$2
shift 2
DIR=$ROOT/build/py$NAME
VENV=$DIR/venv

log() { printf '[%s] %s\n' "$NAME" "$*"; }

if [ ! -x "$VENV/bin/python" ] || [ "$("$VENV/bin/python" -c 'import sys; print(sys.version)')" != "$("$PYTHON" -c 'import sys; print(sys.version)')" ]; then
  log "creating a venv with $("$PYTHON" --version 2>&1)"
  rm -rf "$VENV"
  mkdir -p "$DIR"
  "$PYTHON" -m venv "$VENV"
fi
stamp=$VENV/.requirements-stamp
if ! cmp -s <(cat requirements-build.txt requirements-test.txt) "$stamp"; then
  log "installing the build and test tools"
  # The release tools of requirements-dev.txt are the host's business, not a version's.
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q -r requirements-build.txt -r requirements-test.txt
  cat requirements-build.txt requirements-test.txt >"$stamp"
fi

defines=(-Ccmake.define.METRONYX_WERROR=ON)
# The hand-over trace build of scripts/versions.sh.
[ "${METRONYX_TRACE_HANDOFF:-}" != 1 ] || defines+=(-Ccmake.define.METRONYX_TRACE_HANDOFF=ON)
log "building and installing metronyx"
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -Cbuild-dir="$DIR/build" "${defines[@]}" . >"$DIR/install.log" 2>&1 ||
  { cat "$DIR/install.log" >&2; exit 1; }

[ "${1:-}" != --install-only ] || exit 0

log "Python suite on $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)')"
# From outside the checkout, so that `import metronyx` finds the installed module.
[ $# -gt 0 ] || set -- "$ROOT/tests/python"
cd "${TMPDIR:-/tmp}"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@"
