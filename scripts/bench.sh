#!/usr/bin/env bash
# Runs the benchmark: builds and installs the module (scripts/setup.sh), builds the bench-only
# native-floor helper, installs matplotlib (the benchmark draws its lateness picture with it; the
# tests do not need it), then runs bench/run.py with the project's .venv. Arguments are passed on,
# e.g. `scripts/bench.sh --quick` or `scripts/bench.sh --sections lateness`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== native floor (benchmark helper)"
.venv/bin/python bench/native_floor/builder.py

if ! .venv/bin/python -c 'import matplotlib' 2>/dev/null; then
  echo "== matplotlib (benchmark picture)"
  .venv/bin/python -m pip install --quiet matplotlib
fi

echo "== benchmark"
exec .venv/bin/python bench/run.py "$@"
