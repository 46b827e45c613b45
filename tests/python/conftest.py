"""Shared helpers for the Python tests.

Workers are native threads that write straight to the process's file descriptors and keep running
until they read their flag stopped, so most helpers here are about knowing when a worker is done:

- a worker releases its callable only after it has written its last line, on its own thread (or,
  when it cannot, at the next entry into the module from any thread); `wait_released` waits, making
  such entries, until the callable is gone, after which the worker's output is complete and safe
  to read;
- behaviour that leaves workers running for good (orphaned tasks, exiting with workers) runs in a
  subprocess of the installed interpreter (`run_python`).
"""

from __future__ import annotations

import faulthandler
import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Callable, Sequence

import pytest

import metronyx

STOP_LINE = "Task id:{} stopped."

# A free-threaded build (no interpreter lock). The few expectations that differ there say why.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def under_wine() -> bool:
    """True in a Windows process that wine runs: its ntdll alone exports wine_get_version."""
    if sys.platform != "win32":
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


# Where the watchdog below writes: the real stderr as it was before pytest captured it (during a test,
# descriptor 2 leads to pytest's capture file, which an exit from the watchdog would lose).
watchdog_stderr: int | None = None


def pytest_configure(config: pytest.Config) -> None:
    global watchdog_stderr
    watchdog_stderr = os.dup(2)
    config.addinivalue_line(
        "markers", "posix(what): needs a POSIX facility (fork, /proc, resource limits, SIGINT); skipped on Windows"
    )
    config.addinivalue_line(
        "markers", "wine_limit(what): wine cannot do what the test needs (Windows itself can); skipped under wine"
    )


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None):
    """Ends the whole run, with every thread's stack, if one test outlives its bound by far.
    pytest-timeout's signal method runs its handler only when the main thread gets back to Python
    code, so a main thread that waits in native code holding the interpreter lock would hang the
    run for good; faulthandler's watchdog thread needs no lock. It fires a minute after
    pytest-timeout would have, so that the gentler ending goes first whenever it can."""
    marker = item.get_closest_marker("timeout")
    bound = marker.args[0] if marker is not None and marker.args else item.config.getoption("timeout", None)
    if bound is None:
        try:
            bound = item.config.getini("timeout")
        except ValueError:  # no pytest-timeout in this environment
            bound = 120
    bound = float(bound or 0)  # 0: the program's bounds are off, this one too
    if bound > 0 and watchdog_stderr is not None:
        faulthandler.dump_traceback_later(bound + 60, exit=True, file=watchdog_stderr)
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    if sys.platform != "win32":
        return
    wine = under_wine()
    for item in items:
        marker = item.get_closest_marker("posix")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason=f"needs POSIX ({marker.args[0]}), which Windows does not have"))
        marker = item.get_closest_marker("wine_limit")
        if marker is not None and wine:
            item.add_marker(pytest.mark.skip(reason=f"wine's limit: {marker.args[0]}"))


class Probe:
    """A callable that records when each call starts and ends, and sleeps or raises if asked."""

    def __init__(
        self,
        *,
        work: float = 0.0,
        first_work: float = 0.0,
        raises: type[BaseException] | None = None,
        message: str = "",
    ):
        self.times: list[float] = []
        self.ends: list[float] = []
        self.work = work
        self.first_work = first_work
        # The type and text, not an instance: an instance kept here would hold its traceback,
        # whose frames hold the probe, and the probe would then outlive its worker.
        self.raises = raises
        self.message = message

    def __call__(self) -> None:
        self.times.append(time.monotonic())
        if self.first_work and len(self.times) == 1:
            time.sleep(self.first_work)
        elif self.work:
            time.sleep(self.work)
        self.ends.append(time.monotonic())
        if self.raises is not None:
            raise self.raises(self.message)


def enter_module() -> None:
    """Makes one call into the module; every entry drains the references workers let go of."""
    metronyx.Scheduler().list_schedules()


def wait_until(predicate: Callable[[], bool], timeout: float = 20.0, step: float = 0.005) -> bool:
    """Polls until `predicate` holds; False if it still does not after `timeout` seconds. The
    bound is a safety net against a hang (generous for sanitizer builds), not a claim about how
    long anything takes."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def wait_released(*refs: weakref.ref, timeout: float = 20.0) -> bool:
    """Enters the module until every referent is gone, i.e. until every worker holding one ended."""

    def gone() -> bool:
        enter_module()
        return all(ref() is None for ref in refs)

    return wait_until(gone, timeout, step=0.01)


def refcount(obj: object) -> int:
    """The reference count of `obj` as `sys.getrefcount` gives it in this call. The count depends
    on where it is taken (from 3.14 on, the interpreter may lend a caller's reference to a call
    without counting it), so counts are only compared when taken the same way from the same frame."""
    return sys.getrefcount(obj)


def wait_refcount(count: Callable[[], int], baseline: int, timeout: float = 20.0) -> bool:
    """Like `wait_released`, for objects without weak references: waits until `count()` is back to
    `baseline`. The caller takes both the same way, e.g. `refcount(obj)` for the baseline and
    `lambda: refcount(obj)` here, so that both see the same references."""
    deadline = time.monotonic() + timeout
    while True:
        enter_module()
        if count() <= baseline:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)


def lines(text: str) -> list[str]:
    return text.splitlines()


@dataclass
class Completed:
    returncode: int
    stdout: str
    stderr: str


# Snippets report with say(...) rather than print: workers write to the same descriptor, and one
# write(2) per line keeps a snippet's line whole where print's pieces could let a stop line in.
SAY = """
def say(*parts):
    import os
    os.write(1, (" ".join(map(str, parts)) + "\\n").encode())
"""


def run_python(code: str, *args: str, env: dict[str, str] | None = None, timeout: float = 60.0) -> Completed:
    """Runs a snippet with the installed interpreter, from outside the checkout."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONPATH", None)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", SAY + textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        errors="backslashreplace",
        cwd=tempfile.gettempdir(),
        env=full_env,
        timeout=timeout,
    )
    return Completed(proc.returncode, proc.stdout, proc.stderr)


def run_parallel(functions: Sequence[Callable[[], object]], timeout: float = 30.0) -> list[object]:
    """Runs each function on a thread of its own, released together by a barrier; re-raises the
    first exception and returns the results in order."""
    barrier = threading.Barrier(len(functions))
    results: list[object] = [None] * len(functions)
    errors: list[BaseException] = []

    def body(index: int, function: Callable[[], object]) -> None:
        try:
            barrier.wait(timeout)
            results[index] = function()
        except BaseException as error:  # reported on the calling thread below
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i, f), daemon=True) for i, f in enumerate(functions)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
    if errors:
        raise errors[0]
    return results


@pytest.fixture
def scheduler():
    """A fresh Scheduler whose tasks are told to stop when the test ends (tests that read worker
    output wait for their workers themselves)."""
    instance = metronyx.Scheduler()
    yield instance
    instance.shutdown()
