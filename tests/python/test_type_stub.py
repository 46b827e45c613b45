"""What type checkers read from the installed stub: an `async def` callable, which the scheduler
would call without ever awaiting, is reported; a plain callable is not."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

SNIPPET = """\
import metronyx

async def fetch() -> None: ...
def tick() -> None: ...

scheduler = metronyx.Scheduler()
scheduler.schedule(tick, 0.5)
scheduler.schedule(lambda: None, 1)
scheduler.schedule(fetch, 0.5)
"""


def test_mypy_reports_an_async_callable_and_only_that(tmp_path: Path) -> None:
    """mypy, with its deprecation reports on, flags the async callable's line and no other."""
    source = tmp_path / "snippet.py"
    source.write_text(SNIPPET)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--enable-error-code", "deprecated",
         "--cache-dir", str(tmp_path / "cache"), str(source)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, done.stdout + done.stderr
    assert errors[0].startswith("snippet.py:9:"), errors
    assert "async def function's body would never run" in errors[0], errors
    assert errors[0].endswith("[deprecated]"), errors
