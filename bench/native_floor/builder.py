"""Builds the native-floor helper extension into build/bench/native_floor (idempotent).

`ensure_built()` returns the directory that holds the module; run as a script, this prints it.
Builds are serialised with a file lock, so concurrent benchmark runs share one build directory.
"""

from __future__ import annotations

import fcntl
import shutil
import subprocess
import sys
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parent
REPO_ROOT = SOURCE_DIR.parent.parent
# One build per interpreter (cpython-313, cpython-313d, ...): each version and debug build needs a
# module compiled against its own headers.
BUILD_DIR = REPO_ROOT / "build" / "bench" / f"native_floor-{sys.implementation.cache_tag}{sys.abiflags}"


def _tool(name: str) -> str:
    # Prefer the tools installed next to the running interpreter (the project's .venv).
    beside = Path(sys.executable).parent / name
    if beside.exists():
        return str(beside)
    found = shutil.which(name)
    if found is None:
        raise RuntimeError(f"{name} not found; run scripts/setup.sh first")
    return found


def _run(command: list[str]) -> None:
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(
            f"command failed ({done.returncode}): {' '.join(command)}\n{done.stdout}{done.stderr}"
        )


def ensure_built() -> Path:
    """Returns the directory holding the built module, building it first if needed."""
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    with open(BUILD_DIR.parent / ".native-floor-lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (BUILD_DIR / "build.ninja").exists():
            _run([
                _tool("cmake"), "-S", str(SOURCE_DIR), "-B", str(BUILD_DIR), "-G", "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}",
                f"-DPython_EXECUTABLE={sys.executable}",
                "-DCMAKE_BUILD_TYPE=Release",
            ])
        _run([_tool("cmake"), "--build", str(BUILD_DIR)])
    return BUILD_DIR


if __name__ == "__main__":
    try:
        print(ensure_built())
    except RuntimeError as error:
        print(f"error: {error}", file=sys.stderr)
        sys.exit(1)
