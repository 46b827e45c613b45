#!/usr/bin/env bash
# Builds the release artifacts (make dist) and proves that every wheel works where no build tools
# are: the sdist; from it, the manylinux_2_28 wheels of CPython 3.12 to 3.15 for x86-64 and
# aarch64 (scripts/wheels.sh matrix), each checked, tagged and run against the Python suite from a
# bare venv of its interpreter; `twine check --strict` on everything. Artifacts go to dist/.
# The test command's quick form of the wheel build is `scripts/wheels.sh quick`.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV_BIN=$PWD/.venv/bin

log() { printf '\n== %s\n' "$*"; }

[ -n "${METRONYX_SETUP_DONE:-}" ] || scripts/setup.sh
rm -rf dist
mkdir -p dist

log "sdist"
start=$(date +%s)
# Made from a copy of the files git knows of (tracked, or new and not ignored), not from the
# checkout itself: the backend would walk every file under build/ (venvs, chroot builds, wheels:
# a hundred thousand files) before its exclusions apply, and what a release holds should not
# depend on what a developer's build left behind.
source_copy=$PWD/build/sdist-source
rm -rf "$source_copy"
mkdir -p "$source_copy"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
  tar --null -T - -cf - | tar -xf - -C "$source_copy"
"$VENV_BIN/python" -m build --sdist --outdir dist "$source_copy" >build/sdist.log 2>&1 ||
  { cat build/sdist.log >&2; exit 1; }
sdist=$(ls dist/*.tar.gz)
echo "$sdist ($(($(date +%s) - start)) s)"

log "wheels: 4 CPython versions x 2 architectures and the free-threaded 3.13 for x86-64, built from the sdist and tested as shipped"
scripts/wheels.sh matrix "$sdist" dist

log "twine check --strict"
# Only a release needs twine (6.1 reads license expressions), so the test command's setup goes
# without it and its dependencies.
"$VENV_BIN/python" -c 'import twine' 2>/dev/null || "$VENV_BIN/python" -m pip install -q "twine>=6.1"
"$VENV_BIN/twine" check --strict dist/*

log "artifacts"
ls -l dist
echo "$(ls dist/*.whl | wc -l) wheels, $(ls dist/*.tar.gz | wc -l) sdist"
