#!/usr/bin/env bash
# Runs every test: the C++ tests (embedding the interpreter) through CTest, the builds on other
# toolchains, the release wheel's quick check, the type stub, then the Python tests against the
# package as pip installed it, and the quick reliability checks. Fails if any fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

VENV_BIN=$PWD/.venv/bin
echo "== C++ tests"
"$VENV_BIN/cmake" -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
  -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON -DPython_EXECUTABLE="$VENV_BIN/python" >/dev/null
"$VENV_BIN/cmake" --build build/cpp
"$VENV_BIN/ctest" --test-dir build/cpp --output-on-failure

echo "== Other toolchains: an unsupported compiler fails clearly; aarch64 compiles and links"
scripts/toolchains.sh

echo "== Release wheels, quick form: x86-64 and aarch64 built, checked, installed into bare venvs, imported"
scripts/wheels.sh quick

echo "== Type stub against the built module"
(cd /tmp && "$VENV_BIN/python" -m mypy.stubtest metronyx)

echo "== Python tests"
# Run from outside the checkout so that `import metronyx` finds the installed package.
"$VENV_BIN/python" -m pytest -p no:cacheprovider "$PWD/tests/python" "$@"

echo "== Reliability checks (quick forms: sanitizer builds, -X dev)"
METRONYX_SETUP_DONE=1 scripts/reliability.sh quick
