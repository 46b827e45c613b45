"""Fault injection: the module's failures stay contained.

- Thread creation fails in the middle of start() (the number of threads is capped, or the address
  space is): start() raises PanicException "failed to spawn thread: ...", the tasks not yet
  launched stay pending for the next start(), the launched ones keep running, and the
  interpreter keeps working.
- A PanicException obtained that way is raised by a callable (its worker ends abnormally, the
  others go on) and by an interval's __float__ (the call raises PanicException again).
- Callables raise SystemExit and KeyboardInterrupt: reported like any error, the task keeps going.
- Standard output is closed: the stop line fails, that worker ends with a report on standard
  error, the other workers and the interpreter are unaffected.
- A callable drops the last reference to its own Scheduler.
- __float__ and __index__ raise, re-enter the instance, or delete it.

Everything that leaves a worker running for good, or changes process-wide limits and
descriptors, runs in a subprocess.
"""

from __future__ import annotations

import json
import os
import sys

import pytest

import metronyx
from reliability_support import run_program, sanitizer_runtime

# What every program below starts with: a bounded wait (a module that never gets there fails the
# program instead of hanging it) and a way to hand results back on standard output.
PRELUDE = """
import json, os, sys, time


def wait_for(predicate, what, enter=None):
    deadline = time.monotonic() + 20
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit("timed out waiting until " + what)
        if enter is not None:
            enter.list_schedules()  # an entry into the module applies the deferred releases
        time.sleep(0.001)


def refcounts(objects):
    # One function for the baseline and every later reading, so that both count the same way.
    return [sys.getrefcount(obj) for obj in objects]


def report(**values):
    os.write(1, ("RESULT " + json.dumps(values) + "\\n").encode())
"""

# Caps the number of threads this process may create (the new threads count against a fresh user
# id, so nothing else on the machine interferes), or, without the privileges for that, the address
# space, so that thread stacks cannot be mapped. Either way pthread_create fails with EAGAIN.
SPAWN_LIMIT = PRELUDE + """
import resource


LIMITS = {name: resource.getrlimit(name) for name in (resource.RLIMIT_NPROC, resource.RLIMIT_AS)}


def thread_count():
    return len(os.listdir("/proc/self/task"))


def cap_new_threads(allowed):
    if os.geteuid() == 0:
        hard = LIMITS[resource.RLIMIT_NPROC][1]
        resource.setrlimit(resource.RLIMIT_NPROC, (thread_count() + allowed, hard))
        user = 47_000 + os.getpid() % 10_000
        os.setresuid(user, user, 0)
        return "threads"
    mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + allowed * 3 * 2**20, LIMITS[resource.RLIMIT_AS][1]))
    return "address space"


def uncap():
    if os.getresuid()[2] == 0 and os.geteuid() != 0:
        os.setresuid(0, 0, 0)  # kept as the saved user id: back to root, and to its capabilities
    for name, limits in LIMITS.items():
        resource.setrlimit(name, limits)


"""


def results(stdout: str) -> dict:
    merged: dict = {}
    for line in stdout.splitlines():
        if line.startswith("RESULT "):
            merged.update(json.loads(line[len("RESULT "):]))
    return merged


def needs_spawn_limit():
    if os.geteuid() != 0 and sanitizer_runtime() is not None:
        pytest.skip("without root the spawn failure comes from RLIMIT_AS, which a sanitizer's shadow memory defeats")


@pytest.mark.posix("resource limits and /proc")
def test_refused_thread_keeps_the_task_pending_for_the_next_start():
    """start() that cannot create a thread raises PanicException; launched tasks run, the rest stay pending for the next start()."""
    needs_spawn_limit()
    result = run_program(
        SPAWN_LIMIT
        + """
import metronyx

calls = {}


class Task:
    def __init__(self, index):
        self.index = index

    def __call__(self):
        calls[self.index] = calls.get(self.index, 0) + 1


tasks = [Task(i) for i in range(40)]
baseline = refcounts(tasks)
s = metronyx.Scheduler()
ids = [s.schedule(task, 0.002) for task in tasks]
how = cap_new_threads(5)
try:
    s.start()
except BaseException as error:
    panic = error
uncap()
# The launched workers are the first few (a sanitizer's own threads may take some of the five):
# each makes calls at once, the pending tasks none.
wait_for(lambda: calls.get(0, 0) >= 2, "the first task is called")
time.sleep(0.5)
launched = len(calls)
seen = dict(calls)
wait_for(lambda: all(calls.get(i, 0) > seen[i] for i in range(launched)), "the launched tasks are called again")
called_while_pending = sorted(i for i in range(launched, 40) if calls.get(i))
# Every task holds its callable still: the launched ones in their worker, the rest pending.
held = [now - before for now, before in zip(refcounts(tasks), baseline)]
s.cancel(ids[39])  # still pending: once started, it ends at once with its stop line
s.start()
wait_for(lambda: all(calls.get(i, 0) >= 2 for i in range(39)), "every task is called after the second start")
# The interpreter and the module keep working, threads included.
fresh = metronyx.Scheduler()
probe = Task(99)
fresh_id = fresh.schedule(probe, 0.001)
fresh.start()
wait_for(lambda: calls.get(99, 0) >= 3, "the new task is called")
fresh.cancel(fresh_id)
s.shutdown()
# Every worker has ended once its callable is released.
wait_for(lambda: refcounts(tasks) == baseline, "every worker has ended", enter=fresh)
report(
    how=how,
    kind=type(panic).__name__,
    base=type(panic).__base__.__name__,
    is_exception=isinstance(panic, Exception),
    message=str(panic),
    args_length=len(panic.args),
    held=held,
    launched=launched,
    called_while_pending=called_while_pending,
    cancelled_calls=calls.get(39, 0),
    ids=ids,
    fresh_id=fresh_id,
)
"""
    )
    assert result.returncode == 0, result.stderr
    r = results(result.stdout)
    assert (r["kind"], r["base"], r["is_exception"], r["args_length"]) == ("PanicException", "BaseException", False, 1)
    assert r["message"].startswith("failed to spawn thread: ")
    if r["how"] == "threads" and sanitizer_runtime() is None:
        assert r["launched"] == 5  # a sanitizer's own threads may take some of the five
    assert 0 < r["launched"] < 40
    assert r["called_while_pending"] == [] and r["cancelled_calls"] == 0
    assert r["held"] == [1] * 40
    # One stop line per task, the cancelled pending one included, and the fresh task's.
    stop_lines = sorted(line for line in result.stdout.splitlines() if not line.startswith("RESULT "))
    assert stop_lines == sorted(f"Task id:{i} stopped." for i in r["ids"] + [r["fresh_id"]])
    assert len(result.stderr.splitlines()) == 1 and result.stderr.rstrip("\n").endswith(r["message"])


@pytest.mark.posix("resource limits and /proc")
def test_panic_exception_and_exits_raised_by_callables_stay_contained():
    """A callable's PanicException ends only its worker; SystemExit and KeyboardInterrupt are reported and the task goes on."""
    needs_spawn_limit()
    result = run_program(
        SPAWN_LIMIT
        + """
import functools, metronyx

s = metronyx.Scheduler()
s.schedule(print, 1.0)
cap_new_threads(0)
try:
    s.start()
except BaseException as error:
    panic = error
uncap()
message = str(panic)
sys.stderr.write("-- callable raises the PanicException\\n")


class Raiser:
    def __init__(self, error):
        self.error, self.calls = error, 0

    def __call__(self):
        self.calls += 1
        raise self.error()


panic_calls = [0]


def raise_panic():
    panic_calls[0] += 1
    raise panic


# The worker holds the partial, which no frame refers to (the traceback that the PanicException
# collects keeps the frames of raise_panic alive, and with them the function, but not this).
panicking = functools.partial(raise_panic)
baseline = refcounts([panicking])
s = metronyx.Scheduler()
panic_id = s.schedule(panicking, 0.001)
s.start()
wait_for(lambda: refcounts([panicking]) == baseline, "the panicking worker has ended", enter=s)
sys.stderr.write("-- interval's __float__ raises it\\n")


class Interval:
    def __float__(self):
        raise panic


def target():
    pass


target_refs = sys.getrefcount(target)
try:
    s.schedule(target, Interval())
except BaseException as error:
    from_float = error
sys.stderr.write("-- callables raise SystemExit and KeyboardInterrupt\\n")
exiting = Raiser(lambda: SystemExit(4))
interrupting = Raiser(KeyboardInterrupt)
calls = {"healthy": 0}


def healthy():
    calls["healthy"] += 1


watched = (exiting, interrupting, healthy)
watched_refs = refcounts(watched)
ids = [s.schedule(func, 0.002) for func in watched]
s.start()
wait_for(lambda: min(exiting.calls, interrupting.calls, calls["healthy"]) >= 5, "every task is called")
s.shutdown()
wait_for(lambda: refcounts(watched) == watched_refs, "the workers have ended", enter=s)
report(
    message=message,
    panicking_calls=panic_calls[0],
    panic_id=panic_id,
    from_float=[type(from_float).__name__, str(from_float), type(from_float) is type(panic)],
    target_released=sys.getrefcount(target) == target_refs,
    next_id=s.schedule(target, 1.0),
)
s.shutdown()
"""
    )
    assert result.returncode == 0, result.stderr
    r = results(result.stdout)
    message = r["message"]
    assert r["panicking_calls"] == 1
    assert r["from_float"] == ["PanicException", message, True]
    assert r["target_released"] and r["next_id"] == r["panic_id"] + 4
    # The panicking worker wrote no stop line; the three others did at the shutdown.
    stop_lines = sorted(line for line in result.stdout.splitlines() if not line.startswith("RESULT "))
    assert stop_lines == sorted(f"Task id:{r['panic_id'] + n} stopped." for n in (1, 2, 3))

    err = result.stderr.splitlines()
    first = err.index("-- callable raises the PanicException")
    second = err.index("-- interval's __float__ raises it")
    third = err.index("-- callables raise SystemExit and KeyboardInterrupt")
    assert err[:first] == [err[0]] and err[0].endswith(message)
    for block in (err[first + 1 : second], err[second + 1 : third]):
        # Two banner lines, then the interpreter's traceback of the PanicException.
        assert block[0].startswith("--- ") and block[0].endswith(" ---") and "PanicException" in block[0]
        assert block[1:3] == ["Python stack trace below:", "Traceback (most recent call last):"]
        assert block[-1].endswith("PanicException: " + message)
    error_lines = err[third + 1 :]
    assert error_lines, "no error line from the raising callables"
    for line in error_lines:
        assert line.startswith("Error calling Python function: PyErr { type: <class '")
        assert line.endswith(">) }")
        assert any(f"value: {value}, traceback: Some(<traceback object at 0x" in line for value in ("SystemExit(4)", "KeyboardInterrupt()"))


def test_closed_standard_output_ends_only_the_stopping_worker():
    """A stop line that cannot be written ends that worker with a report; the others and the interpreter go on."""
    result = run_program(
        PRELUDE
        + """
import metronyx


class Task:
    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


a, b, c = Task(), Task(), Task()
a_refs = refcounts([a])
s = metronyx.Scheduler()
a_id = s.schedule(a, 0.002)
s.schedule(b, 0.002)
s.start()
wait_for(lambda: a.calls >= 3 and b.calls >= 3, "both tasks are called")
os.close(1)
s.cancel(a_id)
wait_for(lambda: refcounts([a]) == a_refs, "the stopping worker has ended", enter=s)
seen = b.calls
wait_for(lambda: b.calls >= seen + 3, "the other task is called again")
other = metronyx.Scheduler()
other.schedule(c, 0.002)
other.start()
wait_for(lambda: c.calls >= 3, "a new task is called")
sys.stderr.write(f"a stopped after {a.calls} calls, b and c still called\\n")
"""
    )
    assert result.returncode == 0
    assert result.stdout == ""
    report, summary = result.stderr.splitlines()
    assert "failed printing to stdout: " in report
    assert summary.startswith("a stopped after ") and summary.endswith(" calls, b and c still called")


def test_callable_that_drops_the_last_reference_to_its_scheduler():
    """The Scheduler is destroyed on its own worker's thread; the worker goes on and pending callables are released."""
    result = run_program(
        PRELUDE
        + """
import weakref, metronyx

holder = [metronyx.Scheduler()]
state = {"calls": 0}


def tick():
    state["calls"] += 1
    if state["calls"] == 3:
        holder.clear()  # the last reference: the Scheduler is destroyed right here


class Pending:
    def __call__(self):
        pass


pending = Pending()
gone = weakref.ref(pending)
holder[0].schedule(tick, 0.002)
holder[0].start()
holder[0].schedule(pending, 1.0)
del pending
wait_for(lambda: not holder, "the callable drops the Scheduler")
released = gone() is None
seen = state["calls"]
wait_for(lambda: state["calls"] >= seen + 5, "the worker is called again")
print(f"released {released}, still called")
"""
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "released True, still called\n", "")


# ---- Conversion hooks, in this process ----


def target():
    pass


class Hook:
    """__float__ and __index__ run `action` and return its result."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return float(self.action())

    def __index__(self):
        return int(self.action())


def throw_type_error():
    raise TypeError("t")


def outcome(call):
    try:
        return call()
    except BaseException as error:  # the kinds are what the test compares
        return error


def test_conversion_hooks_that_raise_leave_no_trace():
    """What __float__/__index__ raise reaches the caller (a plain TypeError named after its argument) and leaves no state, reference or borrow."""
    s = metronyx.Scheduler()
    refs = sys.getrefcount(target)
    for error in (ValueError("v"), KeyboardInterrupt(), SystemExit(2), ArithmeticError("a")):

        def throw(error=error):
            raise error

        assert outcome(lambda: s.schedule(target, Hook(throw))) is error
        assert outcome(lambda: s.cancel(Hook(throw))) is error
    attributed = outcome(lambda: s.schedule(target, Hook(throw_type_error)))
    assert type(attributed) is TypeError and str(attributed) == "argument 'interval': t"
    assert sys.getrefcount(target) == refs
    # Nothing was scheduled, and the instance is free for both kinds of borrow.
    assert s.schedule(target, 1.0) == 1
    assert s.cancel(1) is None and s.list_schedules() is None
    s.shutdown()


def test_conversion_hooks_that_reenter_are_refused_and_leave_the_instance_usable():
    """Re-entry from a conversion gets the borrow error, the outer call completes, and the instance works afterwards."""
    s = metronyx.Scheduler()
    refs = sys.getrefcount(target)
    inner = []

    def reenter():
        inner.append(outcome(lambda: s.schedule(target, 1.0)))
        inner.append(outcome(s.shutdown))
        inner.append(outcome(lambda: s.cancel(1)))
        return 1

    assert s.schedule(target, Hook(reenter)) == 1
    assert [str(e) for e in inner] == ["Already borrowed", "Already borrowed", "Already mutably borrowed"]
    inner.clear()
    assert s.cancel(Hook(reenter)) is None
    assert [type(e).__name__ for e in inner] == ["RuntimeError", "RuntimeError", "NoneType"]
    assert s.schedule(target, 2.0) == 2
    s.shutdown()
    assert sys.getrefcount(target) == refs


def test_conversion_hooks_that_delete_the_instance():
    """A hook that drops the last outside reference: the call completes, then the instance goes with its pending callables."""

    class Pending:
        pass

    for method in ("schedule", "cancel"):
        holder = [metronyx.Scheduler()]
        pending = Pending()
        holder[0].schedule(pending, 1.0)
        pending_refs = sys.getrefcount(pending)
        target_refs = sys.getrefcount(target)

        def delete():
            holder.clear()
            return 1

        if method == "schedule":
            assert holder[0].schedule(target, Hook(delete)) == 2
        else:
            assert holder[0].cancel(Hook(delete)) is None
        assert holder == []
        assert sys.getrefcount(pending) == pending_refs - 1
        assert sys.getrefcount(target) == target_refs
