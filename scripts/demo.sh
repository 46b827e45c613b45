#!/usr/bin/env bash
# Sets everything up (as the test command does), then shows the scheduler at work for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd examples && exec ../.venv/bin/python demo.py
