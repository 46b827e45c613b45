#!/usr/bin/env bash
# Runs the benchmark: builds and installs the module (scripts/setup.sh), builds the bench-only
# native-floor helper, installs matplotlib (the benchmark draws its lateness picture with it; the
# tests do not need it), then runs bench/run.py with the project's .venv. Arguments are passed on,
# e.g. `scripts/bench.sh --quick` or `scripts/bench.sh --sections lateness`.
#
# `--python VERSION` (first) runs it on another supported CPython (3.12, 3.14, 3.15), built and
# installed as scripts/versions.sh does; with no sections named it runs the lateness section
# only, which the README's per-version lines come from (bench/results/py<VERSION>.json).
#
# `--trace-handoff [VERSION]` (first; default 3.13) builds the hand-over trace build for that
# version and runs bench/handoff_trace.py with it: where the slowest busy-main calls lose their
# time.
#
# `--free-threaded` runs bench/parallel.py (computing tasks on several cores, and the cost of a
# trivial call) on the free-threaded CPython 3.13 and on a build of the same source with the lock,
# both made by scripts/cpython.sh in the amd64 chroot, and compares them
# (bench/results/parallel-*.json).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --trace-handoff ]; then
  shift
  version=3.13
  if [ $# -gt 0 ] && [[ $1 != -* ]]; then version=$1; shift; fi
  echo "== hand-over trace on CPython $version"
  METRONYX_TRACE_HANDOFF=1 exec scripts/versions.sh --run "$version" python "$PWD/bench/handoff_trace.py" "$@"
fi

if [ "${1:-}" = --free-threaded ]; then
  shift
  ROOT=$PWD
  mkdir -p bench/results
  for flavour in with-lock free-threaded; do
    python=$(scripts/cpython.sh ensure "$flavour")
    name=313$([ "$flavour" = free-threaded ] && echo t || echo -lock)
    echo "== bench/parallel.py on CPython 3.13.5 ($flavour)"
    scripts/chroot.sh run amd64 "$ROOT/scripts/version_suite.sh" "$python" "$name" --install-only
    scripts/chroot.sh run amd64 "$ROOT/build/py$name/venv/bin/python" "$ROOT/bench/parallel.py" \
      --output "$ROOT/bench/results/parallel-$flavour.json" "$@" >/dev/null
  done
  exec .venv/bin/python - "$ROOT/bench/results" <<'PY'
import json, sys
results = {name: json.load(open(f"{sys.argv[1]}/parallel-{name}.json")) for name in ("with-lock", "free-threaded")}
print(f"{'build':16} {'tasks':>5} {'calls/s':>10} {'cores':>6}")
for name, result in results.items():
    for tasks, figures in result["computing"].items():
        print(f"{name:16} {tasks:>5} {figures['calls_per_second']:10.0f} {figures['cores_used']:6.2f}")
    print(f"{name:16} 2 tasks / 1 task: {result['two_tasks_over_one']:.2f}x; "
          f"a trivial call: {result['trivial']['ns_per_call']:.0f} ns")
ratio = results["free-threaded"]["trivial"]["ns_per_call"] / results["with-lock"]["trivial"]["ns_per_call"]
print(f"trivial call, free-threaded / with the lock: {ratio:.2f}x")
PY
fi

if [ "${1:-}" = --python ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/bench.sh --python VERSION [bench/run.py arguments]" >&2; exit 2; }
  version=$2
  shift 2
  [ $# -gt 0 ] || set -- --sections lateness --output "$PWD/bench/results/py${version/./}.json"
  echo "== benchmark on CPython $version"
  exec scripts/versions.sh --run "$version" python "$PWD/bench/run.py" "$@"
fi

scripts/setup.sh

echo "== native floor (benchmark helper)"
.venv/bin/python bench/native_floor/builder.py

if ! .venv/bin/python -c 'import matplotlib' 2>/dev/null; then
  echo "== matplotlib (benchmark picture)"
  .venv/bin/python -m pip install --quiet matplotlib
fi

echo "== benchmark"
exec .venv/bin/python bench/run.py "$@"
