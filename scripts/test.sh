#!/usr/bin/env bash
# Runs every test: the C++ tests (embedding the interpreter) through CTest, the builds on other
# toolchains, the release wheel's quick check, the type stub, then the Python tests against the
# package as pip installed it, the quick reliability checks (the debug interpreter among them),
# the whole Python suite on every other supported CPython version, and the C++ tests and the whole
# Python suite on the free-threaded 3.13. Fails if any fails.
# Each stage starts with a line that says how far the run is.
set -euo pipefail
cd "$(dirname "$0")/.."
STARTED=$SECONDS
STAGES=10
stage_number=0
stage() {
  stage_number=$((stage_number + 1))
  local elapsed=$((SECONDS - STARTED))
  printf '\n[make test %d/%d, %d:%02d] == %s\n' "$stage_number" "$STAGES" $((elapsed / 60)) $((elapsed % 60)) "$*"
}
# bounded <seconds> <command...>: a hung stage ends. Past its bound the stage's whole process group
# gets SIGABRT (every Python process, with faulthandler on, prints the stacks of its threads;
# the suites' own per-test bounds come first) and SIGKILL a minute later. timeout(1) puts the
# stage in a process group of its own, beyond the terminal's Ctrl-C, so that is passed on here.
bounded() {
  local status=0
  timeout --signal=ABRT --kill-after=60 "$@" &
  trap "kill -INT -- -$! 2>/dev/null" INT TERM
  wait $! || status=$?
  trap - INT TERM
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    printf '\n[make test %d/%d] error: the stage did not end within %s s: stopped (%s, the stacks above)\n' \
      "$stage_number" "$STAGES" "$1" "${*:2}" >&2
  fi
  return "$status"
}

stage "Set-up: Python 3.13 venv, build tools, GoogleTest, the development build"
bounded 3600 scripts/setup.sh

VENV_BIN=$PWD/.venv/bin
stage "C++ tests"
bounded 300 "$VENV_BIN/cmake" -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
  -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON -DPython_EXECUTABLE="$VENV_BIN/python" >/dev/null
bounded 1800 "$VENV_BIN/cmake" --build build/cpp
bounded 1200 "$VENV_BIN/ctest" --test-dir build/cpp --output-on-failure

stage "Other toolchains: an unsupported compiler and a free-threaded interpreter older than 3.13 are refused clearly"
bounded 1800 scripts/toolchains.sh unsupported free-threaded

stage "Windows x86-64: the release workflow linted; when CI=true, the wheel in python.org's CPython 3.12 and 3.13 under wine, with the whole Python suite"
METRONYX_SETUP_DONE=1 bounded 3600 scripts/check_windows.sh --when-ci

stage "Release wheels, quick form: x86-64 and aarch64 built, checked, installed into bare venvs, imported"
bounded 3600 scripts/wheels.sh quick

stage "Type stub against the built module"
(cd /tmp && bounded 600 "$VENV_BIN/python" -m mypy.stubtest metronyx)

stage "Python tests (CPython 3.13)"
# Run from outside the checkout so that `import metronyx` finds the installed package.
bounded 1800 "$VENV_BIN/python" -m pytest -p no:cacheprovider "$PWD/tests/python" "$@"

stage "Reliability checks (quick forms: sanitizer builds, -X dev, the debug interpreter)"
METRONYX_SETUP_DONE=1 bounded 3600 scripts/reliability.sh quick

stage "Every other CPython version (3.12, 3.14, 3.15): build and the whole Python suite"
bounded 3600 scripts/versions.sh 3.12 3.14 3.15

stage "Free-threaded CPython 3.13 (3.13t, built once in the chroot): C++ tests and the whole Python suite"
bounded 3600 scripts/versions.sh 3.13t

elapsed=$((SECONDS - STARTED))
printf '\n[make test, %d:%02d] every stage passed\n' $((elapsed / 60)) $((elapsed % 60))
