#!/usr/bin/env bash
# The reliability checks, each by name. docs/reliability.md says what each one proves.
#
#   scripts/reliability.sh asan        ASan+UBSan build of the extension and the C++ tests; the C++
#                                      tests and the whole Python suite run under it
#   scripts/reliability.sh tsan        TSan build; the C++ concurrency tests, then the Python
#                                      reliability checks against the TSan-built extension
#   scripts/reliability.sh xdev        the whole Python suite under -X dev and -X faulthandler
#   scripts/reliability.sh leaks       10,000 rounds of every leak check
#   scripts/reliability.sh properties  property-based checks, many examples
#   scripts/reliability.sh stress      stress checks, thousands of operations, 200 exits
#   scripts/reliability.sh faults      fault injection
#   scripts/reliability.sh tsan-ft     TSan on the free-threaded CPython 3.13, itself built with
#                                      TSan (scripts/cpython.sh, in the amd64 chroot): the C++
#                                      concurrency tests and the Python checks of threads against
#                                      each other; fails on a report with a frame of metronyx's
#                                      own (the interpreter's known races are suppressed)
#   scripts/reliability.sh debug       the whole Python suite on CPython's debug build (python3.13d
#                                      from Debian, in the chroot of scripts/chroot.sh): reference
#                                      count and interpreter-lock assertions on every call
#   scripts/reliability.sh quick       the quick forms, for the main test command: the Python
#                                      suite under ASan+UBSan (extension only) and under -X dev; the
#                                      C++ concurrency tests and the reliability checks under TSan;
#                                      the reliability checks on the debug interpreter
#   scripts/reliability.sh all         every full check above
#
# Several names may be given at once. Extra pytest arguments go after "--". The sanitizer builds
# live in build/asan and build/tsan, each with a venv of its own (build/<kind>/venv) that holds the
# instrumented extension, so the normal install in .venv is never touched. scripts/setup.sh runs
# first, unless METRONYX_SETUP_DONE=1 says that the caller has just run it.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV_BIN=$ROOT/.venv/bin

log() { printf '\n== %s\n' "$*"; }

ensure_setup() {
  if [ -z "${METRONYX_SETUP_DONE:-}" ]; then
    scripts/setup.sh
    export METRONYX_SETUP_DONE=1
  fi
}

# configure <dir> <cmake options...>
configure() {
  local dir=$1
  shift
  "$VENV_BIN/cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV_BIN/ninja" \
    -DMETRONYX_WERROR=ON -DPython_EXECUTABLE="$VENV_BIN/python" "$@" >/dev/null
}

# A venv of the same interpreter whose own site-packages holds the extension built in <dir>; the
# test tools come from .venv's site-packages, added behind it. Prints the venv's python.
sanitizer_venv() {
  local dir=$1 venv=$1/venv site tools
  if [ ! -x "$venv/bin/python" ]; then
    "$VENV_BIN/python" -m venv --without-pip "$venv" >/dev/null
  fi
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  tools=$("$VENV_BIN/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  echo "import site; site.addsitedir('$tools')" >"$site/metronyx-test-tools.pth"
  cp "$dir"/metronyx*.so python/metronyx.pyi python/py.typed "$site/"
  echo "$venv/bin/python"
}

# Runs pytest from outside the checkout (so that `import metronyx` finds the installed module).
# run_pytest <python> <python options...> -- <test paths and pytest arguments...>
run_pytest() {
  local python=$1
  shift
  local options=()
  while [ "$1" != "--" ]; do
    options+=("$1")
    shift
  done
  shift
  # The full forms run thousands of rounds in one test; the per-test timeout in pyproject.toml is
  # sized for the quick ones. Arguments given after "--" come later and win.
  local timeout=()
  if [ "${METRONYX_RELIABILITY:-quick}" = full ]; then timeout=(--timeout=3600); fi
  (cd "${TMPDIR:-/tmp}" && "$python" "${options[@]}" -m pytest -p no:cacheprovider -q "${timeout[@]}" "$@")
}

suite() { echo "$ROOT/tests/python"; }
reliability_file() { echo "$ROOT/tests/python/test_reliability_$1.py"; }

# Sanitizer reports go to files, not to standard error: pytest redirects the descriptors of the
# process it runs in, and a report written there when the sanitizer halts that very process would
# be lost. A report from any process counts, whatever the test that started it concluded.
reports_dir() { # reports_dir <build dir>: empties and prints <build dir>/reports
  rm -rf "$1/reports"
  mkdir -p "$1/reports"
  echo "$1/reports"
}

check_reports() { # check_reports <reports dir> <status>: fails on a report or a failed status
  local report found=0
  for report in "$1"/*; do
    [ -e "$report" ] || continue
    found=1
    echo "---- sanitizer report $report" >&2
    cat "$report" >&2
  done
  if [ "$found" = 1 ]; then
    echo "error: the sanitizer reported the errors above" >&2
    exit 1
  fi
  [ "$2" = 0 ] || exit "$2"
}

asan_environment() { # asan_environment <reports dir>
  # The runtime first. The interpreter does not link the C++ runtime, so it is preloaded right
  # behind: ASan finds the real __cxa_throw for its interceptor only if the C++ runtime is
  # already loaded when ASan starts, and every internal failure is a C++ throw.
  export LD_PRELOAD
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  # The interpreter's own allocations are left unreported (detect_leaks=0); the leak checks in the
  # suite measure the module's. With the interpreter's allocator off, every Python object the
  # module frees too early or touches after its release is under ASan's eye too.
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$1/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$1/ubsan"
  export PYTHONMALLOC=malloc
}

check_loaded() { # check_loaded <python> <dir>: the venv imports the instrumented module
  "$1" -c 'import metronyx, sys; sys.exit(0 if metronyx.__file__.startswith(sys.argv[1]) else 1)' \
    "$(dirname "$(dirname "$1")")" || { echo "error: $1 does not import the module built in $2" >&2; exit 1; }
}

run_asan() { # run_asan full|quick
  log "ASan+UBSan build ($1)"
  configure build/asan -DMETRONYX_SANITIZE=ON -DMETRONYX_BUILD_TESTS="$([ "$1" = full ] && echo ON || echo OFF)"
  if [ "$1" = full ]; then
    "$VENV_BIN/cmake" --build build/asan
  else
    "$VENV_BIN/cmake" --build build/asan --target metronyx
  fi
  local python reports status=0
  python=$(sanitizer_venv "$ROOT/build/asan")
  reports=$(reports_dir "$ROOT/build/asan")
  # Inside the subshells every step ends it on failure by itself: errexit does not apply to a
  # subshell whose status is tested.
  (
    asan_environment "$reports"
    check_loaded "$python" build/asan
    if [ "$1" = full ]; then
      log "C++ tests under ASan+UBSan"
      "$VENV_BIN/ctest" --test-dir build/asan --output-on-failure || exit
    fi
    log "Python suite under ASan+UBSan ($1)"
    # The tests that fork while workers run stay out here as under TSan: this ASan does not hold
    # its allocator's size-class locks across fork, so a child can block for ever on a lock that a
    # parent thread held at the fork (seen: a child's threads waiting in ASan's own free()). They
    # run in every other form of the suite.
    run_pytest "$python" -- "$(suite)" -k "not forked and not fork_inside" "${PYTEST_ARGS[@]}" || exit
  ) || status=$?
  check_reports "$reports" "$status"
}

# The C++ tests that run threads against each other: the release pool, the guard and suspension
# around it, concurrent normalization of error values, the exit gate, and (by name) any run-flag or
# worker tests; and all of the tests without the interpreter (the byte lock, the lock queue, the
# waits). Both forms run them: an ordering fault in a lock (a relaxed unlock) is the same
# instruction on x86-64, and only TSan's model of the orderings sees it.
TSAN_FILTER=${METRONYX_TSAN_FILTER:-'ReleasePool.*:GilGuard.*:GilSuspension.*:PyErrThreads.*:ExitGate.*:*RunFlag*:*Worker*:*Concurren*'}

run_tsan() { # run_tsan full|quick
  log "TSan build ($1)"
  configure build/tsan -DMETRONYX_TSAN=ON -DMETRONYX_BUILD_TESTS=ON
  "$VENV_BIN/cmake" --build build/tsan --target metronyx_tests metronyx_unit_tests metronyx
  # glibc frees the thread-local storage of a detached thread on a later thread's exit, inside
  # code that TSan does not see, and TSan then reports the reuse of that block as a race. Nothing
  # of the module is involved; that one frame is suppressed.
  printf '%s\n' 'race:_dl_deallocate_tls' >build/tsan/tsan.supp
  local python reports status=0
  python=$(sanitizer_venv "$ROOT/build/tsan")
  reports=$(reports_dir "$ROOT/build/tsan")
  (
    # atexit_sleep_ms=0: TSan otherwise sleeps a second at every exit, which the exit-time checks
    # would count against the module.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$ROOT/build/tsan/tsan.supp:log_path=$reports/tsan"
    log "C++ concurrency tests under TSan (the tests without the interpreter; $TSAN_FILTER)"
    build/tsan/tests/cpp/metronyx_unit_tests || exit
    build/tsan/tests/cpp/metronyx_tests --gtest_filter="$TSAN_FILTER" || exit
    export LD_PRELOAD
    LD_PRELOAD=$(g++ -print-file-name=libtsan.so)
    check_loaded "$python" build/tsan
    # The checks that run many workers against many threads. Not the rest of the suite: TSan's
    # own threads change the thread counts that some tests compare, and the preload would reach
    # the native tools that some tests start.
    log "Python reliability checks under TSan ($1)"
    # The fork tests stay out: TSan cannot follow a child that starts threads after a fork made
    # while threads ran ("not supported"), which is exactly what they do.
    run_pytest "$python" -- "$(reliability_file stress)" "$(reliability_file leaks)" \
      "$(reliability_file properties)" "$(reliability_file faults)" \
      "$ROOT/tests/python/test_worker_contention.py" "$ROOT/tests/python/test_busy_main_thread.py" \
      "$ROOT/tests/python/test_like_python_threads.py" \
      "$ROOT/tests/python/test_stopping_and_forking.py" -k "not forked and not fork_inside" \
      "${PYTEST_ARGS[@]}" || exit
  ) || status=$?
  check_reports "$reports" "$status"
}

run_xdev() {
  log "Python suite under -X dev and -X faulthandler"
  # The variables, not only the options, so that every interpreter the tests start runs so too.
  PYTHONDEVMODE=1 PYTHONFAULTHANDLER=1 run_pytest "$VENV_BIN/python" -X dev -X faulthandler -- \
    "$(suite)" "${PYTEST_ARGS[@]}"
}

run_debug() { # run_debug full|quick
  log "CPython debug build (python3.13d) ($1)"
  scripts/chroot.sh ensure amd64 >/dev/null
  local tests=("$(suite)")
  if [ "$1" = quick ]; then
    tests=("$(reliability_file stress)" "$(reliability_file leaks)" "$(reliability_file properties)"
      "$(reliability_file faults)")
  fi
  scripts/chroot.sh run amd64 "$ROOT/scripts/version_suite.sh" /usr/bin/python3.13d 313d \
    "${tests[@]}" "${PYTEST_ARGS[@]}"
}

run_tsan_ft() {
  log "TSan on the free-threaded CPython 3.13 (the interpreter built with TSan too)"
  local python supp=$ROOT/build/py313t-tsan/tsan.supp
  python=$(scripts/cpython.sh ensure free-threaded-tsan)
  # The interpreter's suppressions of its own known races, from its source tarball.
  mkdir -p "$(dirname "$supp")"
  tar -xJf "$(scripts/cpython.sh tarball)" -O --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$supp"
  METRONYX_RELIABILITY=quick scripts/chroot.sh run amd64 "$ROOT/scripts/lib/tsan_ft.sh" "$python" \
    "$supp" "${PYTEST_ARGS[@]}"
}

run_reliability() { # run_reliability <leaks|properties|stress|faults>
  log "$1 (METRONYX_RELIABILITY=$METRONYX_RELIABILITY)"
  run_pytest "$VENV_BIN/python" -- "$(reliability_file "$1")" "${PYTEST_ARGS[@]}"
}

COMMANDS=()
PYTEST_ARGS=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then
    shift
    PYTEST_ARGS=("$@")
    break
  fi
  COMMANDS+=("$1")
  shift
done
if [ ${#COMMANDS[@]} -eq 0 ]; then
  awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0" >&2
  exit 2
fi

for command in "${COMMANDS[@]}"; do
  case $command in
    asan | tsan | tsan-ft | xdev | leaks | properties | stress | faults | debug | quick | all) ;;
    *)
      echo "unknown check: $command (asan, tsan, tsan-ft, xdev, leaks, properties, stress, faults, debug, quick, all)" >&2
      exit 2
      ;;
  esac
done

ensure_setup
for command in "${COMMANDS[@]}"; do
  case $command in
    asan) export METRONYX_RELIABILITY=full && run_asan full ;;
    tsan) export METRONYX_RELIABILITY=full && run_tsan full ;;
    tsan-ft) run_tsan_ft ;;
    xdev) export METRONYX_RELIABILITY=quick && run_xdev ;;
    leaks | properties | stress | faults) export METRONYX_RELIABILITY=full && run_reliability "$command" ;;
    debug) export METRONYX_RELIABILITY=quick && run_debug full ;;
    quick)
      export METRONYX_RELIABILITY=quick
      run_asan quick
      run_tsan quick
      run_xdev
      run_debug quick
      ;;
    all)
      export METRONYX_RELIABILITY=full
      run_asan full
      run_tsan full
      run_xdev
      run_debug full
      for name in leaks properties stress faults; do run_reliability "$name"; done
      ;;
  esac
done
log "reliability checks passed: ${COMMANDS[*]}"
