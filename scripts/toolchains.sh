#!/usr/bin/env bash
# Builds on toolchains other than the host's compiler, each by name:
#
#   scripts/toolchains.sh unsupported   a configure with a compiler that lacks std::expected stops
#                                       with the one sentence that says what is needed
#   scripts/toolchains.sh free-threaded a configure with a free-threaded interpreter older than 3.13
#                                       stops with the one sentence that says what is supported
#   scripts/toolchains.sh aarch64       the whole module compiles and links for aarch64 Linux with
#                                       Debian's cross compiler (installed if missing); nothing runs
#
# With no name, both. Uses the tools in .venv (scripts/setup.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_BIN=$ROOT/.venv/bin

log() { printf '\n== %s\n' "$*"; }

# The sentence CMakeLists.txt stops an unsupported compiler with, up to where it names the compiler.
SENTENCE='metronyx needs a C++23 compiler and standard library with <expected> (g++ 12 or newer, or clang with such a library);'

check_unsupported() {
  log "an unsupported compiler stops at configure time with one sentence"
  # g++ 12 held to C++20 has no std::expected, like g++ 11 or a clang with an older library.
  # The wrapper puts the standard last, so it overrides the one that CMake asks for.
  local dir=$ROOT/build/toolchains/unsupported output status=0
  rm -rf "$dir"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec g++ "$@" -std=c++20\n' >"$dir/g++-cxx20"
  chmod +x "$dir/g++-cxx20"
  output=$("$VENV_BIN/cmake" -S . -B "$dir/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DCMAKE_CXX_COMPILER="$dir/g++-cxx20" -DPython_EXECUTABLE="$VENV_BIN/python" 2>&1) || status=$?
  # CMake wraps the message over several lines; compare it with its whitespace joined.
  if [ "$status" = 0 ] || ! tr -s ' \n' '  ' <<<"$output" | grep -qF "$SENTENCE"; then
    echo "$output" >&2
    echo "error: the configure with a C++20-only compiler did not stop with the expected sentence" >&2
    exit 1
  fi
  if grep -q 'Building CXX\|Found Python' <<<"$output"; then
    echo "$output" >&2
    echo "error: the configure went past the compiler check before stopping" >&2
    exit 1
  fi
  echo "stopped as expected: $(tr -s ' \n' '  ' <<<"$output" | grep -o 'metronyx needs.*provide it\.')"
}

# The sentence CMakeLists.txt refuses a free-threaded interpreter older than 3.13 with, up to
# where it names it.
FREE_THREADED='metronyx supports free-threaded CPython from 3.13 on;'

check_free_threaded() {
  log "a free-threaded interpreter older than 3.13 is refused at configure time with one sentence"
  # No such interpreter exists: the development one is made to say that it is one, through a
  # sitecustomize that answers Py_GIL_DISABLED = 1 and VERSION = 3.12 and leaves every other value
  # alone. (The free-threaded 3.13 itself is built and tested by scripts/versions.sh 3.13t.)
  local dir=$ROOT/build/toolchains/free-threaded output status=0
  rm -rf "$dir"
  mkdir -p "$dir/site"
  cat >"$dir/site/sitecustomize.py" <<'PY'
import sysconfig

_get_config_var = sysconfig.get_config_var


def get_config_var(name):
    return {"Py_GIL_DISABLED": 1, "VERSION": "3.12"}.get(name) or _get_config_var(name)


sysconfig.get_config_var = get_config_var
PY
  printf '#!/bin/sh\nPYTHONPATH=%s exec %s "$@"\n' "$dir/site" "$VENV_BIN/python" >"$dir/python"
  chmod +x "$dir/python"
  output=$("$VENV_BIN/cmake" -S . -B "$dir/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DPython_EXECUTABLE="$dir/python" 2>&1) || status=$?
  if [ "$status" = 0 ] || ! tr -s ' \n' '  ' <<<"$output" | grep -qF "$FREE_THREADED"; then
    echo "$output" >&2
    echo "error: the configure with a free-threaded interpreter did not stop with the expected sentence" >&2
    exit 1
  fi
  echo "stopped as expected: $(tr -s ' \n' '  ' <<<"$output" | grep -o 'metronyx supports free-threaded.*build of CPython 3\.12\.')"
}

ensure_cross_compiler() {
  command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && return 0
  log "installing g++-aarch64-linux-gnu"
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "error: aarch64-linux-gnu-g++ is missing and apt-get is not available to install it" >&2
    exit 1
  fi
  # Waits for a dpkg lock that another build holds rather than failing at once.
  local apt=(apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 g++-aarch64-linux-gnu)
  if ! "${apt[@]}" >/dev/null 2>&1; then
    apt-get update >/dev/null
    "${apt[@]}" >/dev/null
  fi
}

check_aarch64() {
  ensure_cross_compiler
  log "the module compiles and links for aarch64 Linux (compile-checked, not run)"
  # The interpreter's headers are the same C API on both 64-bit Linux targets; the module links
  # with the interpreter's symbols unresolved, as every extension module does.
  local dir=$ROOT/build/toolchains/aarch64 include
  include=$("$VENV_BIN/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  "$VENV_BIN/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
    -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DMETRONYX_WERROR=ON \
    -DPython_EXECUTABLE="$VENV_BIN/python" -DPython_INCLUDE_DIR="$include" >/dev/null
  "$VENV_BIN/cmake" --build "$dir" --target metronyx
  local module
  module=$(ls "$dir"/metronyx*.so)
  if ! aarch64-linux-gnu-readelf -h "$module" | grep -q 'Machine:.*AArch64' ||
    ! aarch64-linux-gnu-nm -D --defined-only "$module" | grep -q ' T PyInit_metronyx$'; then
    aarch64-linux-gnu-readelf -h "$module" >&2
    echo "error: $module is not an aarch64 module that exports PyInit_metronyx" >&2
    exit 1
  fi
  echo "built $(basename "$module") for $(aarch64-linux-gnu-readelf -h "$module" | sed -n 's/ *Machine: *//p'), exporting PyInit_metronyx"
}

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(unsupported free-threaded aarch64)
for check in "${checks[@]}"; do
  case $check in
    unsupported) check_unsupported ;;
    free-threaded) check_free_threaded ;;
    aarch64) check_aarch64 ;;
    *)
      echo "unknown check: $check (unsupported, free-threaded, aarch64)" >&2
      exit 2
      ;;
  esac
done
