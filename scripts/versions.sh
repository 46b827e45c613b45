#!/usr/bin/env bash
# Builds metronyx for each CPython version other than the development one (3.13, scripts/setup.sh)
# and runs the whole Python suite on it, each in a venv of its own (scripts/version_suite.sh).
#
#   scripts/versions.sh [VERSION...]    versions among 3.12 3.14 3.15 3.13t (default: all four)
#   scripts/versions.sh --run VERSION COMMAND...
#                                       builds and installs for VERSION only, then runs COMMAND
#                                       with that version's venv python first on PATH (inside the
#                                       chroot where the version lives there); for the benchmark
#
# Where each interpreter comes from: the host's own (pyenv's, or one on PATH with its headers)
# when it has one; otherwise Debian's unstable suite in the chroot of scripts/chroot.sh, which
# has 3.14 and 3.15. Debian has no 3.12 any more, so 3.12 must be on the host (pyenv has it on
# this project's machines). 3.13t, the free-threaded 3.13, is no package anywhere: scripts/cpython.sh
# builds it in the chroot (once), and there the C++ tests run too, built against it, since that
# interpreter differs from the development one in more than its version.
#
# With METRONYX_TRACE_HANDOFF=1 the build is the hand-over trace build (bench/handoff_trace.py),
# in build/py<version>-trace/, beside the plain one.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
TRACE_SUFFIX=
[ "${METRONYX_TRACE_HANDOFF:-}" != 1 ] || TRACE_SUFFIX=-trace

# shellcheck source=scripts/lib/interpreters.sh
source scripts/lib/interpreters.sh

run_version() { # run_version <version> [version_suite.sh arguments...]
  local version=$1 name=${1/./}${TRACE_SUFFIX} python
  shift
  if [ "$version" = 3.13t ]; then
    python=$(scripts/cpython.sh ensure free-threaded)
    local cpp=--cpp
    [ "${1:-}" != --install-only ] || cpp=
    scripts/chroot.sh run amd64 "$ROOT/scripts/version_suite.sh" "$python" "$name" $cpp "$@"
  elif python=$(find_python "$version"); then
    scripts/version_suite.sh "$python" "$name" "$@"
  elif [ "$version" = 3.14 ] || [ "$version" = 3.15 ]; then
    scripts/chroot.sh ensure amd64 >/dev/null
    scripts/chroot.sh run amd64 "$ROOT/scripts/version_suite.sh" "/usr/bin/python$version" "$name" "$@"
  else
    echo "error: CPython $version with its headers was not found on this machine (pyenv or PATH)," >&2
    echo "       and Debian's unstable suite does not have it; install it (pyenv install $version)" >&2
    exit 1
  fi
}

# in_version <version> <command...>: runs the command where that version's venv lives.
in_version() {
  local version=$1 path
  shift
  path=$ROOT/build/py${version/./}${TRACE_SUFFIX}/venv/bin:/usr/local/bin:/usr/bin:/bin
  if [ "$version" != 3.13t ] && find_python "$version" >/dev/null; then
    env PATH="$path" "$@"
  else
    scripts/chroot.sh run amd64 /usr/bin/env PATH="$path" "$@"
  fi
}

if [ "${1:-}" = --run ]; then
  [ $# -ge 3 ] || { echo "usage: scripts/versions.sh --run VERSION COMMAND..." >&2; exit 2; }
  version=$2
  shift 2
  run_version "$version" --install-only
  in_version "$version" "$@"
  exit
fi

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.14 3.15 3.13t)
for version in "${versions[@]}"; do
  case $version in
    3.12 | 3.14 | 3.15 | 3.13t) ;;
    *)
      echo "unknown version: $version (3.12, 3.14, 3.15, 3.13t; 3.13 is the development version)" >&2
      exit 2
      ;;
  esac
done
for version in "${versions[@]}"; do
  printf '\n== CPython %s: build and the whole Python suite\n' "$version"
  run_version "$version"
done
