"""Stops that are exact and prompt, a bounded exit, and a module that keeps working after fork.

The fork tests run in a subprocess: a child made while workers run is the case that matters, and
the test runner's own process is better left unforked.
"""

from __future__ import annotations

import functools
import time
import weakref

import pytest

import metronyx
from conftest import STOP_LINE, lines, run_python, wait_released

FORK_PRELUDE = """
    import os, sys, time, warnings, multiprocessing
    import metronyx
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running is the point

    def counter():
        calls = [0]
        def call():
            calls[0] += 1
        return calls, call

    def runs_in_child():
        # A new scheduler in the child must work: its worker needs the lock queue and the lock.
        calls, call = counter()
        s = metronyx.Scheduler()
        s.schedule(call, 0.001)
        s.start()
        deadline = time.monotonic() + 5
        while calls[0] < 5 and time.monotonic() < deadline:
            time.sleep(0.001)
        s.shutdown()
        return calls[0] >= 5
"""


@pytest.mark.posix("fork")
def test_children_forked_while_workers_run_schedule_and_exit_normally():
    """Forked while workers wait for the lock (interval 0) or sleep (1 ms): every child's own
    tasks run, the inherited scheduler shuts down, the child exits at once with its status, and
    the parent's tasks go on; also through multiprocessing's fork start method."""
    result = run_python(
        """
    import atexit, os, time
    # Registered before the module's own exit hook, so run after it (atexit runs the last
    # registered first): the time a child's exit spends up to and through metronyx's gate,
    # whatever the machine's load adds to the interpreter's finalization after it.
    exit_began, gate_times = [], os.pipe()
    def after_the_gate():
        if exit_began:
            os.write(gate_times[1], b"%.3f " % (time.monotonic() - exit_began[0]))
    atexit.register(after_the_gate)
    """
        + FORK_PRELUDE
        + """
    # A counter of its own per task: without the lock, tasks adding to one shared counter lose
    # updates, and a late write can even take it back.
    counters = [counter() for _ in range(4)]
    inherited = metronyx.Scheduler()
    for interval, (_, call) in zip((0.0, 0.0, 0.0, 0.001), counters):
        inherited.schedule(call, interval)
    inherited.start()
    failures = []
    for round_index in range(40):
        time.sleep(0.002)
        pid = os.fork()
        if pid == 0:
            ok = runs_in_child()
            inherited.shutdown()
            sys.stdout.flush()
            if round_index % 2:
                os._exit(0 if ok else 3)
            exit_began.append(time.monotonic())
            sys.exit(0 if ok else 3)  # a normal exit passes the exit gate
        _, status = os.waitpid(pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            failures.append(round_index)
            break
    assert not failures, f"children that failed: {failures}"
    # Waiting for the parent's workers at exit would take a second per child.
    os.close(gate_times[1])
    gates = [float(t) for t in os.read(gate_times[0], 4096).split()]
    assert len(gates) == 20 and max(gates) < 0.5, gates

    def target(queue):
        queue.put(runs_in_child())

    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    processes = [context.Process(target=target, args=(queue,)) for _ in range(4)]
    for process in processes:
        process.start()
    for process in processes:
        process.join(30)
    assert [process.exitcode for process in processes] == [0] * 4
    assert [queue.get(timeout=5) for _ in processes] == [True] * 4

    before = [calls[0] for calls, _ in counters]
    time.sleep(0.05)
    after = [calls[0] for calls, _ in counters]
    assert any(a > b for a, b in zip(after, before)), "the parent's tasks stopped"
    inherited.shutdown()
    os.write(1, b"ok\\n")  # one write: worker lines go to the same descriptor
    """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout).count("ok") == 1


@pytest.mark.posix("fork")
def test_fork_inside_a_callable_ends_that_worker_in_the_child():
    """The child of a fork made by a callable returns from the call and ends with status 0,
    without another call and without a stop line; the parent's task goes on."""
    result = run_python(
        FORK_PRELUDE
        + """
    r, w = os.pipe()
    forked = []
    def fork_once():
        os.write(w, b"%d\\n" % os.getpid())
        if not forked:
            pid = os.fork()
            if pid == 0:
                return  # the child goes back into the worker
            forked.append(pid)

    s = metronyx.Scheduler()
    s.schedule(fork_once, 0.002)
    s.start()
    while not forked:
        time.sleep(0.001)
    _, status = os.waitpid(forked[0], 0)
    say("child status", os.waitstatus_to_exitcode(status))
    time.sleep(0.05)
    s.shutdown()
    time.sleep(0.05)
    os.close(w)
    callers = os.read(r, 1 << 20).split()
    say("parent calls", callers.count(b"%d" % os.getpid()))
    say("child calls", callers.count(b"%d" % forked[0]))
    """
    )
    assert result.returncode == 0, result.stderr
    out = lines(result.stdout)
    assert "child status 0" in out
    assert "child calls 0" in out
    assert int(next(line for line in out if line.startswith("parent calls")).split()[2]) > 5
    # The child's stdout is the same pipe: one stop line in all, the parent's.
    assert out.count(STOP_LINE.format(1)) == 1
    assert result.stderr == ""


def test_no_call_starts_after_cancel_or_shutdown_returned():
    """cancel() and shutdown() are a barrier: once either returned, the stopped task's callable
    is not called again (interval 0, where the next call is always about to start)."""
    late_calls = 0
    for round_index in range(150):
        # A callable implemented in C: a Python function can be switched away from at its very
        # first instruction, so a call that began before the stop could seem to begin after it.
        # A list per task: on a free-threaded build two workers appending to one list contend for
        # its lock, and a call that began before the stop could append after it.
        calls: tuple[list[None], list[None]] = ([], [])
        s = metronyx.Scheduler()
        first = s.schedule(functools.partial(calls[0].append, None), 0.0)
        second = s.schedule(functools.partial(calls[1].append, None), 0.0)
        s.start()
        time.sleep(0.0005)
        if round_index % 2:
            s.shutdown()
        else:
            s.cancel(first)
            s.cancel(second)
        made = len(calls[0]) + len(calls[1])  # as a program would close the resource its task uses
        time.sleep(0.001)
        late_calls += len(calls[0]) + len(calls[1]) - made
    assert late_calls == 0


def test_cancel_ends_a_long_sleep_at_once(scheduler, capfd):
    """A task with a 30 s interval, cancelled during its sleep, writes its stop line and lets go
    of its callable right away, not at its next due time."""

    class Task:
        def __call__(self) -> None:
            pass

    task = Task()
    task_id = scheduler.schedule(task, 30.0)
    scheduler.start()
    ref = weakref.ref(task)
    del task
    time.sleep(0.05)
    cancelled = time.monotonic()
    scheduler.cancel(task_id)
    assert wait_released(ref, timeout=10)
    assert time.monotonic() - cancelled < 5  # far below the 30 s a sleep to the deadline takes
    assert lines(capfd.readouterr().out) == [STOP_LINE.format(task_id)]


def test_exit_with_a_blocked_callable_waits_at_most_a_second():
    """A callable still running at exit holds the exit up once, for the bound, not once per
    closing hook; the exit status and output stay the program's own."""
    result = run_python(
        """
    import sys, time, metronyx
    s = metronyx.Scheduler()
    entered = []
    def blocked():
        entered.append(1)
        time.sleep(30)
    s.schedule(blocked, 1.0)
    s.start()
    while not entered:
        time.sleep(0.001)
    say(time.monotonic())
    sys.exit(7)
    """
    )
    ended = time.monotonic()
    assert result.returncode == 7, result.stderr
    exit_began = float(lines(result.stdout)[0])
    assert ended - exit_began < 1.5
    assert result.stderr == ""


def test_a_stop_during_the_first_turn_is_a_barrier_too():
    """A worker's first turn adopts `threading`'s hooks, Python code that can let the lock go;
    a cancel() that returns meanwhile still comes before the first call."""
    result = run_python(
        """
    import functools, sys, threading, time, types, metronyx

    def gettrace():
        time.sleep(0.1)  # lets the lock go while the worker adopts the hooks

    # Read by the worker on its first turn in place of the real module.
    sys.modules["threading"] = types.SimpleNamespace(gettrace=gettrace, getprofile=lambda: None)
    calls = []
    s = metronyx.Scheduler()
    task_id = s.schedule(functools.partial(calls.append, None), 0.0)
    s.start()
    time.sleep(0.03)  # the worker is inside gettrace now
    s.cancel(task_id)
    made = len(calls)
    time.sleep(0.2)
    sys.modules["threading"] = threading
    print("late calls:", len(calls) - made, flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    assert "late calls: 0" in lines(result.stdout)
    assert result.stderr == ""
