"""A pytest plugin (`-p watchdog`) that ends the whole run when one test outlasts its limit.

pytest-timeout's own watch on Windows is a Python thread, which never runs while the main thread
holds the interpreter lock in native code: a hang there would hold up the run for good. The
interpreter's faulthandler watches from a native thread of its own instead, dumps every thread's
stack and exits, so a hang or a busy loop ends the run as a failure either way.
"""

from __future__ import annotations

import faulthandler
import os
import sys
from typing import Iterator

import pytest

# Beyond pytest-timeout's limit, so that a test it can stop is reported by it as usual.
LIMIT_SECONDS = float(os.environ.get("METRONYX_WATCHDOG_SECONDS", "300"))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item: pytest.Item) -> Iterator[None]:
    faulthandler.dump_traceback_later(LIMIT_SECONDS, exit=True, file=sys.__stderr__)  # past any capture
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
