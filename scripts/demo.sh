#!/usr/bin/env bash
# Sets up what the demo needs (the package, built and installed into .venv), then shows the
# scheduler at work for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh package
echo "[demo] running examples/demo.py"
cd examples && exec ../.venv/bin/python demo.py
