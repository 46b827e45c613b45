"""A program that ends while workers are running exits with its own status and nothing else.

Nothing joins the workers, so the interpreter finalizes while they sleep, wait for the lock or run
their callables. Each run is a fresh process; the races are rare, so every kind of exit runs many
times. METRONYX_EXIT_RUNS sets how many (20 by default; the stress run uses 200)."""

import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import run_python

RUNS = int(os.environ.get("METRONYX_EXIT_RUNS", "20"))

# Eight workers at intervals from 0 to 10 ms. One callable allocates, one gives the lock up inside
# the call, so that workers are found in every state when the program ends. The main thread ends
# at a different moment in each run.
PROGRAM = """
import sys, time, metronyx

kind, run = sys.argv[1], int(sys.argv[2])
state = {"calls": 0}

def count():
    state["calls"] += 1

def allocate():
    state["garbage"] = [object() for _ in range(50)]

def nap():
    time.sleep(0.0005)

callables = [count, allocate, nap, count, allocate, nap, count, count]
s = metronyx.Scheduler()
for i, func in enumerate(callables):
    s.schedule(func, i * 0.010 / 7)
s.start()
time.sleep(0.02 + (run % 7) * 0.003)
print("main done", flush=True)
if kind == "exit":
    sys.exit(3)
if kind == "raise":
    raise RuntimeError("uncaught at exit")
"""

TRACEBACK_TAIL = "RuntimeError: uncaught at exit"
CRASH_MARKERS = ("Fatal", "FATAL", "terminate", "Segmentation", "Aborted", "core dumped", "internal failure")


def run_once(kind, run):
    return run_python(PROGRAM, kind, str(run), timeout=60)


def check(kind, result):
    problems = []
    expected_status = {"normal": 0, "exit": 3, "raise": 1}[kind]
    if result.returncode != expected_status:
        problems.append(f"status {result.returncode}")
    # The workers were not cancelled: the gate stops them silently, without stop lines.
    if result.stdout != "main done\n":
        problems.append(f"stdout {result.stdout!r}")
    if any(marker in result.stderr for marker in CRASH_MARKERS):
        problems.append(f"stderr {result.stderr!r}")
    elif kind == "raise":
        err = result.stderr.splitlines()
        if not err or err[0] != "Traceback (most recent call last):" or err[-1] != TRACEBACK_TAIL:
            problems.append(f"stderr {result.stderr!r}")
    elif result.stderr != "":
        problems.append(f"stderr {result.stderr!r}")
    return problems


@pytest.mark.parametrize("kind", ["normal", "exit", "raise"])
def test_exit_while_workers_run(kind):
    """Normal end → 0, sys.exit(3) → 3, uncaught exception → 1 with its traceback; never a crash."""
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(run_once, [kind] * RUNS, range(RUNS)))
    failures = [(run, problems) for run, result in enumerate(results) if (problems := check(kind, result))]
    assert not failures, f"{len(failures)} of {RUNS} runs went wrong, first: {failures[0]}"


# Registered before the import, so it runs after the module's own atexit callback has closed the
# gate. Workers are native threads: with the gate open, a 1 ms worker would make some 50 calls
# while this callback sleeps with the lock released.
GATE_PROGRAM = """
import atexit, time

state = {"calls": 0}

def after_the_gate_closed():
    before = state["calls"]
    time.sleep(0.05)
    print(f"{before} {state['calls'] - before}", flush=True)

atexit.register(after_the_gate_closed)

import metronyx

def count():
    state["calls"] += 1

s = metronyx.Scheduler()
s.schedule(count, 0.001)
s.start()
deadline = time.monotonic() + 10
while state["calls"] < 5 and time.monotonic() < deadline:
    time.sleep(0.001)
"""


def test_no_call_after_the_gate_closed_at_exit():
    """Once the module's atexit callback has run, a running worker makes no further call."""
    result = run_python(GATE_PROGRAM)
    counts = result.stdout.split()
    assert len(counts) == 2, f"status {result.returncode}, stdout {result.stdout!r}, stderr {result.stderr!r}"
    calls_before, calls_after = map(int, counts)
    assert calls_before >= 5, "the worker was not running when the program ended"
    assert calls_after == 0, f"{calls_after} calls while later atexit callbacks ran"
    assert (result.returncode, result.stderr) == (0, "")


# Standard output is a pipe that this test fills before the tasks stop, so every stop line waits
# for room when the program reaches its end; the test drains the pipe only once the program is
# exiting. One more task, on another scheduler, is never stopped.
STOP_LINES_AT_EXIT_PROGRAM = """
import os, time, metronyx

os.set_blocking(1, False)
for chunk in (b"x" * 4096, b"x"):
    try:
        while True:
            os.write(1, chunk)
    except BlockingIOError:
        pass
os.set_blocking(1, True)
calls = {}

def task(index):
    return lambda: calls.__setitem__(index, calls.get(index, 0) + 1)

s = metronyx.Scheduler()
for index in range(20):
    s.schedule(task(index), 0.005)
left_running = metronyx.Scheduler()
left_running.schedule(task("left"), 0.005)
s.start()
left_running.start()
deadline = time.monotonic() + 20
while len(calls) < 21 and time.monotonic() < deadline:
    time.sleep(0.001)
s.shutdown()
os.write(2, b"shut down\\n")
"""


@pytest.mark.wine_limit("a write to a full non-blocking pipe fails with EINVAL, not BlockingIOError")
def test_exit_right_after_shutdown_keeps_every_stop_line():
    """The exit waits for the workers already told to stop to write their stop lines (once only
    a few of 200 were written); a worker never stopped still ends silently."""
    child = subprocess.Popen(
        [sys.executable, "-c", STOP_LINES_AT_EXIT_PROGRAM],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=tempfile.gettempdir(),
    )
    marker = child.stderr.readline()
    # Long enough for a program that does not wait to be gone, well inside the exit's bound.
    time.sleep(0.2)
    out, err = child.communicate(timeout=60)
    stop_lines = sorted(out.lstrip(b"x").decode().splitlines())
    assert (child.returncode, marker, err) == (0, b"shut down\n", b"")
    assert stop_lines == sorted(f"Task id:{i} stopped." for i in range(1, 21))
