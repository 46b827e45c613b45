"""Borrow rules: Python code that runs while a method holds the instance (an argument's __float__
or __index__, a finaliser, another thread while the lock is given up) meets a RuntimeError instead
of a half-changed Scheduler, and the instance is whole again once the outer call returns."""

import ctypes
import threading
import weakref

import pytest

import metronyx

from conftest import Probe, wait_released


def noop():
    pass


MUTABLY_BORROWED = "Already mutably borrowed"
BORROWED = "Already borrowed"

# The inner call made while the outer one holds its borrow, and what it must meet.
INNER_CALLS = {
    "cancel": lambda s: s.cancel(1),
    "list_schedules": lambda s: s.list_schedules(),
    "schedule": lambda s: s.schedule(noop, 1.0),
    "schedule_bad_interval": lambda s: s.schedule(noop, "not a number"),
    "start": lambda s: s.start(),
    "shutdown": lambda s: s.shutdown(),
}


class Reentering:
    """A number whose conversion calls back into a Scheduler and records what happened."""

    def __init__(self, scheduler, inner, value=1):
        self.scheduler = scheduler
        self.inner = inner
        self.value = value
        self.outcome = "not called"

    def _reenter(self):
        try:
            self.outcome = ("returned", self.inner(self.scheduler))
        except Exception as error:
            self.outcome = (type(error), str(error))

    def __float__(self):
        self._reenter()
        return float(self.value)

    def __index__(self):
        self._reenter()
        return int(self.value)


def assert_works_normally(s):
    """The instance takes every kind of call again, shared and exclusive."""
    assert s.list_schedules() is None
    task_id = s.schedule(noop, 1.0)
    assert s.cancel(task_id) is None
    s.shutdown()
    assert s.start() is None


@pytest.mark.parametrize(
    "inner, expected",
    [
        ("cancel", (RuntimeError, MUTABLY_BORROWED)),
        ("list_schedules", (RuntimeError, MUTABLY_BORROWED)),
        ("schedule", (RuntimeError, BORROWED)),
        ("schedule_bad_interval", (RuntimeError, BORROWED)),
        ("start", (RuntimeError, BORROWED)),
        ("shutdown", (RuntimeError, BORROWED)),
    ],
)
def test_reentry_during_schedule_is_refused(inner, expected):
    """schedule() holds the instance exclusively while its interval converts: every re-entry fails."""
    s = metronyx.Scheduler()
    s.schedule(noop, 1.0)
    interval = Reentering(s, INNER_CALLS[inner])
    assert s.schedule(noop, interval) == 2
    assert interval.outcome == expected
    # The refused call changed nothing: the ids go on from the outer call's.
    assert s.schedule(noop, 1.0) == 3
    assert_works_normally(s)


@pytest.mark.parametrize(
    "inner, expected",
    [
        ("cancel", ("returned", None)),
        ("list_schedules", ("returned", None)),
        ("schedule", (RuntimeError, BORROWED)),
        ("schedule_bad_interval", (RuntimeError, BORROWED)),
        ("start", (RuntimeError, BORROWED)),
        ("shutdown", (RuntimeError, BORROWED)),
    ],
)
def test_reentry_during_cancel_is_shared_only(inner, expected):
    """cancel() holds a shared borrow while its id converts: shared calls pass, exclusive ones fail."""
    s = metronyx.Scheduler()
    s.schedule(noop, 1.0)
    task_id = Reentering(s, INNER_CALLS[inner], value=1)
    assert s.cancel(task_id) is None
    assert task_id.outcome == expected
    assert s.schedule(noop, 1.0) == 2
    assert_works_normally(s)


def test_failing_outer_call_gives_its_borrow_back():
    """A conversion that fails after a refused re-entry still leaves the instance free."""

    class Bad:
        def __init__(self, s):
            self.s = s

        def __float__(self):
            with pytest.raises(RuntimeError, match=BORROWED):
                self.s.start()
            raise ValueError("conversion failed")

        def __index__(self):
            self.s.list_schedules()
            return 1000

    s = metronyx.Scheduler()
    with pytest.raises(ValueError, match="conversion failed"):
        s.schedule(noop, Bad(s))
    with pytest.raises(OverflowError):
        s.cancel(Bad(s))
    assert s.schedule(noop, 1.0) == 1
    assert_works_normally(s)


def test_argument_errors_come_before_the_borrow():
    """A re-entered call with wrong arguments reports its arguments, not the borrow."""
    s = metronyx.Scheduler()

    def inner(scheduler):
        scheduler.schedule(noop)

    interval = Reentering(s, inner)
    s.schedule(noop, interval)
    assert interval.outcome == (TypeError, "Scheduler.schedule() missing 1 required positional argument: 'interval'")


def test_finaliser_run_by_shutdown_meets_the_borrow():
    """A callable whose finaliser calls back into the Scheduler during shutdown() is refused cleanly."""
    outcomes = []

    class Finalising:
        def __init__(self, s):
            self.s = s

        def __call__(self):
            pass

        def __del__(self):
            try:
                self.s.list_schedules()
                outcomes.append("returned")
            except RuntimeError as error:
                outcomes.append(str(error))

    s = metronyx.Scheduler()
    s.schedule(Finalising(s), 1.0)
    s.shutdown()
    assert outcomes == [MUTABLY_BORROWED]
    assert_works_normally(s)


def test_other_thread_meets_the_borrow_while_a_conversion_waits():
    """While a conversion gives the interpreter lock up, another thread's calls meet the borrow."""
    s = metronyx.Scheduler()
    s.schedule(noop, 1.0)
    converting = threading.Event()
    other_done = threading.Event()
    outcomes = {}

    class Slow:
        def __index__(self):
            converting.set()
            assert other_done.wait(10)
            return 1

    def other():
        assert converting.wait(10)
        for name, call in [("schedule", lambda: s.schedule(noop, 1.0)), ("list_schedules", s.list_schedules)]:
            try:
                outcomes[name] = call()
            except RuntimeError as error:
                outcomes[name] = str(error)
        other_done.set()

    thread = threading.Thread(target=other, daemon=True)
    thread.start()
    assert s.cancel(Slow()) is None
    thread.join(10)
    assert outcomes == {"schedule": BORROWED, "list_schedules": None}
    assert s.schedule(noop, 1.0) == 2


def test_running_workers_never_borrow_the_instance(capfd):
    """Workers calling at full speed never make the instance's own calls fail."""
    s = metronyx.Scheduler()
    probes = [Probe() for _ in range(3)]
    refs = [weakref.ref(p) for p in probes]
    for probe in probes:
        s.schedule(probe, 0)
    del probes, probe
    s.start()
    for _ in range(200):
        s.cancel(s.schedule(noop, 1.0))
        s.list_schedules()
    s.shutdown()
    assert wait_released(*refs)
    capfd.readouterr()


# --- the instance check behind every method ----------------------------------------------------


def bind_method(name, self_object):
    """Binds Scheduler's C method `name` to any object, past the descriptor's own type check.

    Calls through the class (Scheduler.cancel(5, 1)) are refused by the interpreter's method
    descriptor before the module sees them; the module's own check guards the C function itself.
    """
    descriptor = metronyx.Scheduler.__dict__[name]
    # PyMethodDescrObject: the object header, d_type, d_name, d_qualname, then d_method. The header
    # is object's whole size: 16 bytes with the interpreter lock, 32 on a free-threaded build.
    offset = object.__basicsize__ + 3 * ctypes.sizeof(ctypes.c_void_p)
    method_def = ctypes.c_void_p.from_address(id(descriptor) + offset).value
    new_function = ctypes.pythonapi.PyCFunction_NewEx
    new_function.restype = ctypes.py_object
    new_function.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_void_p]
    return new_function(method_def, self_object, None)


def test_method_called_through_the_class_with_a_wrong_self():
    """The interpreter refuses a non-Scheduler self for every method before the call is made."""
    with pytest.raises(TypeError, match=r"^descriptor 'cancel' for 'metronyx.Scheduler' objects doesn't apply to a 'int' object$"):
        metronyx.Scheduler.cancel(5, 1)


@pytest.mark.parametrize(
    "name, args",
    [("cancel", (1,)), ("schedule", (noop, 1.0)), ("start", ()), ("list_schedules", ()), ("shutdown", ())],
)
def test_method_reached_with_a_wrong_self_names_its_type(name, args):
    """A method reached with a non-Scheduler self raises "'T' object cannot be converted to 'Scheduler'"."""
    bound = bind_method(name, 5)
    assert bound.__name__ == name
    with pytest.raises(TypeError) as caught:
        bound(*args)
    assert str(caught.value) == "'int' object cannot be converted to 'Scheduler'"

    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as nested:
        bind_method(name, Outer.Inner())(*args)
    assert str(nested.value) == "'test_method_reached_with_a_wrong_self_names_its_type.<locals>.Outer.Inner' object cannot be converted to 'Scheduler'"
