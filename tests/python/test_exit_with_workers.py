"""A program that ends while workers are running exits with its own status and nothing else.

Nothing joins the workers, so the interpreter finalizes while they sleep, wait for the lock or run
their callables. Each run is a fresh process; the races are rare, so every kind of exit runs many
times. METRONYX_EXIT_RUNS sets how many (20 by default; the stress run uses 200)."""

import os
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
