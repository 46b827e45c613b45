#!/usr/bin/env bash
# Runs the benchmark: builds and installs the module (scripts/setup.sh), builds the bench-only
# native-floor helper, then runs bench/run.py with the project's .venv. Arguments are passed on,
# e.g. `scripts/bench.sh --quick` or `scripts/bench.sh --sections lateness`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== native floor (benchmark helper)"
.venv/bin/python bench/native_floor/builder.py

echo "== benchmark"
exec .venv/bin/python bench/run.py "$@"
