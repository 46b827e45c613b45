#!/usr/bin/env bash
# ThreadSanitizer on the free-threaded CPython 3.13, run inside the amd64 chroot by
# `scripts/reliability.sh tsan-ft`: the interpreter itself is built with TSan (scripts/cpython.sh,
# flavour free-threaded-tsan), so every access of its own is seen too, and the module and the C++
# tests are built with TSan against it.
#
#   scripts/lib/tsan_ft.sh <tsan python> <suppressions> [pytest arguments...]
#
# <suppressions> holds the interpreter's suppressions of its own known races (its source's
# Tools/tsan/suppressions_free_threading.txt). The run fails when a report names a frame of
# metronyx's sources (src/) or of its module; the interpreter's own reports are counted and listed, not failed on.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PYTHON=$1
SUPPRESSIONS=$2
shift 2
NAME=313t-tsan
DIR=$ROOT/build/py$NAME
TSAN_FILTER=${METRONYX_TSAN_FILTER:-'ReleasePool.*:GilGuard.*:GilSuspension.*:PyErrThreads.*:*RunFlag*:*Worker*:*Concurren*'}

log() { printf '\n== %s\n' "$*"; }

mkdir -p "$DIR"
cp "$SUPPRESSIONS" "$DIR/all.supp"
# As for the TSan build with the lock (scripts/reliability.sh): glibc's reuse of a detached
# thread's TLS block, which TSan does not see freed.
echo 'race:_dl_deallocate_tls' >>"$DIR/all.supp"
quiet="suppressions=$DIR/all.supp:report_bugs=0:exitcode=0"

log "the module built with TSan into a venv of $("$PYTHON" --version 2>&1) (TSan build)"
TSAN_OPTIONS=$quiet METRONYX_SUITE_TSAN=1 scripts/version_suite.sh "$PYTHON" "$NAME" --install-only
VENV=$DIR/venv
TSAN_OPTIONS=$quiet "$VENV/bin/cmake" -S . -B "$DIR/cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
  -DMETRONYX_TSAN=ON -DMETRONYX_BUILD_TESTS=ON -DMETRONYX_WERROR=ON \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
TSAN_OPTIONS=$quiet nice -n 10 "$VENV/bin/cmake" --build "$DIR/cpp" --target metronyx_tests >"$DIR/cpp-build.log" 2>&1 ||
  { cat "$DIR/cpp-build.log" >&2; exit 1; }

rm -rf "$DIR/reports"
mkdir -p "$DIR/reports"
export TSAN_OPTIONS="halt_on_error=0:exitcode=0:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$DIR/all.supp:log_path=$DIR/reports/tsan"
status=0
log "C++ concurrency tests under TSan ($TSAN_FILTER)"
"$DIR/cpp/tests/cpp/metronyx_tests" --gtest_filter="$TSAN_FILTER" || status=$?
log "Python checks of threads against each other under TSan"
# As with the lock: the fork tests stay out (TSan cannot follow a child that starts threads after
# a fork made while threads ran). So do the tests that count against time, which an interpreter
# built with TSan (five to fifteen times slower) no longer meets: the busy main thread's loop
# count, and the barrier tests, which count calls' effects after the stop returned, where the 5 ms
# that a stop waits for a call under way covers a call only at the interpreter's normal speed.
(cd "${TMPDIR:-/tmp}" && "$VENV/bin/python" -m pytest -p no:cacheprovider -q --timeout=900 \
  "$ROOT/tests/python/test_threads_at_once.py" \
  "$ROOT/tests/python/test_reliability_stress.py" "$ROOT/tests/python/test_reliability_leaks.py" \
  "$ROOT/tests/python/test_reliability_properties.py" "$ROOT/tests/python/test_reliability_faults.py" \
  "$ROOT/tests/python/test_worker_contention.py" \
  "$ROOT/tests/python/test_like_python_threads.py" "$ROOT/tests/python/test_stopping_and_forking.py" \
  -k "not forked and not fork_inside and not test_no_call_starts_after" "$@") || status=$?

# Each report is a block from "WARNING: ThreadSanitizer:" to its closing line of '='s; it is ours
# when one of its accesses (or mutex operations) happens in metronyx's code: the first two frames
# of that access's stack in our sources or our module. Our frames further down (a worker's call
# into the interpreter, the creation of a thread) do not make the interpreter's race ours.
unset TSAN_OPTIONS
"$VENV/bin/python" - "$DIR/reports" "$ROOT/src/" <<'PY' || status=1
import pathlib, re, sys
reports, ours = pathlib.Path(sys.argv[1]), sys.argv[2]
blocks = []
for path in sorted(reports.iterdir()):
    blocks += re.findall(r"WARNING: ThreadSanitizer:.*?\n={10,}", path.read_text(errors="replace"), re.S)
def is_ours(block):
    for section in re.split(r"\n(?=  \S)", block):
        header = section.lstrip().splitlines()[0]
        if header.startswith(("Thread ", "Location is heap block")) or " created by " in header:
            continue
        top = [line for line in section.splitlines() if re.match(r"\s+#[01] ", line)]
        if any(ours in line or "(metronyx.cpython" in line for line in top):
            return True
    return False


mine = [block for block in blocks if is_ours(block)]
print(f"TSan reports: {len(blocks)} in all, {len(mine)} in metronyx's code")
for block in mine:
    print(block)
kinds = {}
for block in blocks:
    if block not in mine:
        frame = re.search(r"#0 (\S+)", block)
        kind = re.sub(r" \(pid=\d+\)", "", block.splitlines()[0].removeprefix("WARNING: ThreadSanitizer: "))
        key = f"{kind} in {frame.group(1) if frame else '?'}"
        kinds[key] = kinds.get(key, 0) + 1
for key, count in sorted(kinds.items(), key=lambda item: -item[1]):
    print(f"  the interpreter's own: {count} x {key}")
sys.exit(1 if mine else 0)
PY
exit "$status"
