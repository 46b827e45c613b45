"""Repeating an operation many times leaves nothing behind.

Each test warms up, takes a snapshot (the interpreter's allocated blocks, the bytes in use in the
C heap, resident memory, and the reference counts of every object the rounds hand to the module),
runs its rounds, and compares. A reference kept by mistake shows as a count that does not come
back; a leaked Python object or native allocation per round shows as growth of at least one block
or one allocation per round, far beyond the tolerances below.

Rounds: METRONYX_LEAK_ROUNDS if set, else 10,000 in the full form and fewer in the quick form.
"""

import os
import sys
import threading

import pytest

import metronyx
from reliability_support import (
    FdCapture,
    Tolerance,
    enter_module,
    leak_problems,
    scaled,
    snapshot,
    refcount,
    stop_ids,
    wait_refcount,
    wait_until,
)

Scheduler = metronyx.Scheduler


def rounds(quick: int) -> int:
    return int(os.environ.get("METRONYX_LEAK_ROUNDS", scaled(quick, 10_000)))


# Growth allowed between the snapshots, whatever the number of rounds: the interpreter's own
# caches and the allocators' bookkeeping move a little on their own.
CALLS = Tolerance(blocks=200, native=16 * 1024, resident=4 * 1024 * 1024)
# Thread creation and exit move the C heap's per-thread caches and the stack cache.
WORKERS = Tolerance(blocks=400, native=1024 * 1024, resident=16 * 1024 * 1024)


def target():
    pass


class Marker:
    """An object that only the errors of a round refer to."""


MARKER = Marker()


class FloatRaises:
    # A new error each time: raising one instance again would chain every traceback onto it.
    def __init__(self, make_error):
        self.make_error = make_error

    def __float__(self):
        raise self.make_error()


class IndexRaises:
    def __index__(self):
        raise TypeError(MARKER)


def chained_type_error() -> TypeError:
    error = TypeError("not a float today")
    error.__cause__ = KeyError(MARKER)
    return error


INTERVAL_RAISES_VALUE = FloatRaises(lambda: ValueError(MARKER))


def every_argument_error(s: Scheduler) -> None:
    """One of each argument error the module can raise, each checked for its kind."""
    f = target
    calls = [
        (TypeError, lambda: Scheduler(1)),
        (TypeError, lambda: Scheduler(1, 2)),
        (TypeError, lambda: Scheduler(a=1)),
        (TypeError, lambda: Scheduler(**{"\ud800": 1})),
        (TypeError, lambda: s.schedule()),
        (TypeError, lambda: s.schedule(f)),
        (TypeError, lambda: s.schedule(interval=1.0)),
        (TypeError, lambda: s.schedule(f, 1.0, 2)),
        (TypeError, lambda: s.schedule(1, 2, 3, x=1)),
        (TypeError, lambda: s.schedule(f, py_func=f)),
        (TypeError, lambda: s.schedule(f, 1.0, interval=2.0)),
        (TypeError, lambda: s.schedule(f, 1.0, x=1)),
        (TypeError, lambda: s.schedule(f, **{"\ud800": 1.0})),
        (TypeError, lambda: s.schedule(f, "1")),
        (TypeError, lambda: s.schedule(f, None)),
        (OverflowError, lambda: s.schedule(f, 2**1100)),
        (ValueError, lambda: s.schedule(f, INTERVAL_RAISES_VALUE)),
        (TypeError, lambda: s.schedule(f, FloatRaises(chained_type_error))),
        (TypeError, lambda: s.cancel()),
        (TypeError, lambda: s.cancel(1, 2)),
        (TypeError, lambda: s.cancel(1, task_id=1)),
        (TypeError, lambda: s.cancel(task_id=1, x=2)),
        (OverflowError, lambda: s.cancel(128)),
        (OverflowError, lambda: s.cancel(-129)),
        (OverflowError, lambda: s.cancel(2**40)),
        (TypeError, lambda: s.cancel(1.0)),
        (TypeError, lambda: s.cancel("1")),
        (TypeError, lambda: s.cancel(IndexRaises())),
        (ValueError, lambda: s.cancel(99)),
    ]
    for kind, call in calls:
        try:
            call()
        except kind:
            pass
        else:
            raise AssertionError(f"no {kind.__name__} from {call}")


def schedule_cancel_shutdown(s: Scheduler) -> None:
    first = s.schedule(target, 1.0)
    s.schedule(target, 0.5)
    s.cancel(first)
    s.cancel(first)
    assert s.list_schedules() is None
    s.shutdown()


class Reenters:
    """Its conversions call every method of the instance that is being converted for."""

    def __init__(self, s: Scheduler):
        self.s = s
        self.task_id = 0
        self.outcomes: list[str | None] = []

    def attempt(self, call, *args) -> None:
        try:
            call(*args)
            self.outcomes.append(None)
        except RuntimeError as error:
            self.outcomes.append(str(error))

    def every_method(self, task_id: int) -> None:
        s = self.s
        self.attempt(s.schedule, target, 1.0)
        self.attempt(s.start)
        self.attempt(s.shutdown)
        self.attempt(s.cancel, task_id)
        self.attempt(s.list_schedules)

    def __float__(self):
        self.every_method(1)
        return 1.0

    def __index__(self):
        self.every_method(self.task_id)
        return self.task_id


def borrow_conflicts(s: Scheduler) -> None:
    """Every method re-entered from a conversion of the same instance, refused or allowed."""
    reenters = Reenters(s)
    reenters.task_id = s.schedule(target, reenters)
    s.cancel(reenters)
    s.shutdown()
    assert reenters.outcomes == ["Already borrowed"] * 3 + ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 3 + [None] * 2


def create_and_destroy_with_pending(_: Scheduler) -> None:
    t = Scheduler()
    t.schedule(target, 1.0)
    second = t.schedule(MARKER, 0.25)
    t.cancel(second)
    del t  # the pending callables go with it


@pytest.mark.parametrize(
    "operation",
    [schedule_cancel_shutdown, every_argument_error, borrow_conflicts, create_and_destroy_with_pending],
    ids=lambda op: op.__name__,
)
def test_repeated_calls_leave_nothing_behind(operation):
    """Method calls, their errors and instances with pending tasks give back every reference and every byte."""
    s = Scheduler()
    count = rounds(quick=1_000)
    for _ in range(max(50, count // 20)):
        operation(s)
    watched = (target, MARKER, INTERVAL_RAISES_VALUE, s)
    before = snapshot(*watched)
    for _ in range(count):
        operation(s)
    after = snapshot(*watched)
    assert not leak_problems(before, after, count, CALLS)


class Raiser:
    """The callable of every worker below; it raises an error that refers to MARKER."""

    def __init__(self):
        self.calls = 0
        self._lock = threading.Lock()  # the workers call at once on a free-threaded build

    def __call__(self):
        with self._lock:
            self.calls += 1
        raise ValueError(MARKER)


def test_workers_whose_callable_raises_release_everything():
    """Workers that report an error on every call and are then stopped release their callable and the errors."""
    raiser = Raiser()
    s = Scheduler()
    batch = 25
    count = rounds(quick=300)
    baseline = refcount(raiser)

    def run_batch():
        called = raiser.calls
        for _ in range(batch):
            s.schedule(raiser, 0.001)
        s.start()
        assert wait_until(lambda: raiser.calls >= called + batch)
        s.shutdown()
        assert wait_refcount(lambda: refcount(raiser), baseline)

    with FdCapture(1) as out, FdCapture(2) as err:
        for _ in range(4):
            run_batch()
        before = snapshot(raiser, MARKER, s)
        batches = -(-count // batch)
        for _ in range(batches):
            run_batch()
        enter_module()
        after = snapshot(raiser, MARKER, s)
        stopped = sum(stop_ids(out.text()).values())
        error_lines = err.text().splitlines()
    assert not leak_problems(before, after, batches * batch, WORKERS)
    assert stopped == (batches + 4) * batch
    assert len(error_lines) == raiser.calls
    assert all(line.startswith("Error calling Python function: PyErr { type: <class 'ValueError'>, value: ValueError(<") for line in error_lines)
