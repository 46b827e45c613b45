#!/usr/bin/env bash
# Builds and installs metronyx for one interpreter into a venv of its own, then runs the Python
# suite there. The other interpreters' counterpart of scripts/setup.sh plus the suite; used by
# scripts/versions.sh, on the host or inside a chroot (the checkout is at the same path in both).
#
#   scripts/version_suite.sh <python> <name> [pytest arguments...]
#   scripts/version_suite.sh <python> <name> --install-only      the venv and the build, no tests
#   scripts/version_suite.sh <python> <name> --cpp [pytest arguments...]
#                                       the C++ tests first, built against <python> (with
#                                       GoogleTest from the system), then the Python suite
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
  # Wheels only: the newest release of a test tool or of what it needs may have no wheel yet for
  # a newer or a free-threaded interpreter (hypothesis's and mypy's compiled parts have none for
  # 3.13t), and its sdist would need a toolchain that is not there; pip then takes the newest
  # release that has one.
  "$VENV/bin/python" -m pip install -q --only-binary :all: -r requirements-build.txt -r requirements-test.txt
  cat requirements-build.txt requirements-test.txt >"$stamp"
fi

defines=(-Ccmake.define.METRONYX_WERROR=ON)
# The hand-over trace build of scripts/versions.sh.
[ "${METRONYX_TRACE_HANDOFF:-}" != 1 ] || defines+=(-Ccmake.define.METRONYX_TRACE_HANDOFF=ON)
log "building and installing metronyx"
# METRONYX_SUITE_TSAN=1: the module instrumented for ThreadSanitizer (scripts/reliability.sh tsan-ft).
# Unstripped, with line numbers, so that a report names our frames by file and line.
[ "${METRONYX_SUITE_TSAN:-}" != 1 ] ||
  defines+=(-Ccmake.define.METRONYX_TSAN=ON -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false)
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -Cbuild-dir="$DIR/build" "${defines[@]}" . >"$DIR/install.log" 2>&1 ||
  { cat "$DIR/install.log" >&2; exit 1; }

[ "${1:-}" != --install-only ] || exit 0

if [ "${1:-}" = --cpp ]; then
  shift
  log "C++ tests against $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)')"
  "$VENV/bin/cmake" -S . -B "$DIR/cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
  nice -n 10 "$VENV/bin/cmake" --build "$DIR/cpp" >"$DIR/cpp-build.log" 2>&1 || { cat "$DIR/cpp-build.log" >&2; exit 1; }
  "$VENV/bin/ctest" --test-dir "$DIR/cpp" --output-on-failure
fi

log "Python suite on $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0] + sys.abiflags)')"
# From outside the checkout, so that `import metronyx` finds the installed module.
[ $# -gt 0 ] || set -- "$ROOT/tests/python"
cd "${TMPDIR:-/tmp}"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider -q "$@"
