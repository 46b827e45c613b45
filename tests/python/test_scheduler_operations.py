"""The Scheduler's operations and its type contract, as Python code sees them."""

import gc
import inspect
import math
import sys
import weakref

import pytest

import metronyx

from conftest import STOP_LINE, Probe, lines, run_python, wait_released


def noop():
    pass


# --- cancel ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("task_id", [0, -3, 1, 127, -128])
def test_cancel_of_an_id_never_handed_out_names_it(task_id):
    """cancel() of an unknown id raises ValueError "Task id:N not found", sign included."""
    with pytest.raises(ValueError) as caught:
        metronyx.Scheduler().cancel(task_id)
    assert str(caught.value) == f"Task id:{task_id} not found"
    assert type(caught.value) is ValueError


def test_cancel_knows_only_ids_handed_out_so_far(scheduler):
    """Ids that were issued are found; the next one up is not."""
    scheduler.schedule(noop, 1.0)
    scheduler.schedule(noop, 1.0)
    assert scheduler.cancel(1) is None
    assert scheduler.cancel(2) is None
    with pytest.raises(ValueError, match=r"^Task id:3 not found$"):
        scheduler.cancel(3)


def test_cancel_after_shutdown_finds_nothing(scheduler):
    """shutdown() forgets every id, pending or started."""
    probe = Probe()
    released = weakref.ref(probe)
    scheduler.schedule(probe, 0.01)
    del probe
    scheduler.start()
    scheduler.schedule(noop, 1.0)
    scheduler.shutdown()
    for task_id in (1, 2):
        with pytest.raises(ValueError, match=rf"^Task id:{task_id} not found$"):
            scheduler.cancel(task_id)
    assert wait_released(released)


def test_cancel_twice_is_harmless_and_stops_once(scheduler, capfd):
    """A second cancel() of the same id returns None, and the task stops with one line."""
    probe = Probe()
    released = weakref.ref(probe)
    task_id = scheduler.schedule(probe, 0.01)
    del probe
    scheduler.start()
    assert scheduler.cancel(task_id) is None
    assert scheduler.cancel(task_id) is None
    assert wait_released(released)
    assert scheduler.cancel(task_id) is None  # the id stays known after its worker ended
    out, err = capfd.readouterr()
    assert lines(out) == [STOP_LINE.format(task_id)]
    assert err == ""


# --- list_schedules, start, shutdown ----------------------------------------------------------------


def test_list_schedules_returns_none_in_every_state(capfd):
    """list_schedules() returns None whether empty, pending, running, cancelled or shut down."""
    s = metronyx.Scheduler()
    assert s.list_schedules() is None
    probe = Probe()
    released = weakref.ref(probe)
    task_id = s.schedule(probe, 0.01)
    del probe
    assert s.list_schedules() is None
    s.start()
    assert s.list_schedules() is None
    s.cancel(task_id)
    assert s.list_schedules() is None
    s.shutdown()
    assert s.list_schedules() is None
    assert wait_released(released)
    capfd.readouterr()


# Thread counts are read from /proc in a subprocess, where no other test's threads come and go.
THREADS_PRELUDE = """
    import os, time, metronyx

    def threads():
        return len(os.listdir("/proc/self/task"))

    def settle(count):
        deadline = time.monotonic() + 10
        while threads() != count and time.monotonic() < deadline:
            time.sleep(0.01)
        return threads()
"""


@pytest.mark.posix("thread counts from /proc")
def test_start_launches_each_pending_task_once():
    """start() with nothing pending starts no thread; a second start() launches only new tasks."""
    result = run_python(
        THREADS_PRELUDE
        + """
    s = metronyx.Scheduler()
    base = threads()
    assert s.start() is None
    assert threads() == base
    calls = []
    s.schedule(lambda: calls.append("a"), 0.01)
    s.start()
    assert threads() == base + 1
    s.start()
    assert threads() == base + 1
    s.schedule(lambda: calls.append("b"), 0.01)
    s.start()
    assert threads() == base + 2
    time.sleep(0.05)
    s.shutdown()
    assert settle(base) == base
    assert "a" in calls and "b" in calls
    print("ok", flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    assert sorted(lines(result.stdout)) == sorted([STOP_LINE.format(1), STOP_LINE.format(2), "ok"])
    assert result.stderr == ""


@pytest.mark.posix("thread counts from /proc")
def test_shutdown_then_start_launches_nothing():
    """Tasks forgotten by shutdown() are never started, their callables never called."""
    result = run_python(
        THREADS_PRELUDE
        + """
    s = metronyx.Scheduler()
    base = threads()
    calls = []
    s.schedule(lambda: calls.append(1), 0.01)
    s.schedule(lambda: calls.append(2), 0.01)
    s.shutdown()
    s.start()
    time.sleep(0.05)
    assert threads() == base and calls == []
    print("ok", flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
    assert result.stderr == ""


def test_shutdown_releases_pending_callables_in_scheduling_order(scheduler):
    """shutdown() lets go of pending callables at once, first scheduled first."""
    order = []
    probes = [Probe() for _ in range(3)]
    refs = [weakref.ref(p, lambda _, i=i: order.append(i)) for i, p in enumerate(probes)]
    for probe in probes:
        scheduler.schedule(probe, 1.0)
    del probes, probe
    assert all(ref() is not None for ref in refs)
    scheduler.shutdown()
    assert order == [0, 1, 2]


# --- what schedule accepts ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "py_func, interval",
    [
        (5, 1.0),
        (None, 1.0),
        (noop, 0),
        (noop, 0.0),
        (noop, -1.0),
        (noop, math.nan),
        (noop, math.inf),
        (noop, -math.inf),
        (noop, 1e20),
        (noop, 5),
        (noop, True),
        (noop, -1),
    ],
)
def test_schedule_accepts_any_object_and_any_float_interval(scheduler, py_func, interval):
    """Neither the callable nor the interval is examined when a task is scheduled."""
    assert scheduler.schedule(py_func, interval) == 1
    assert scheduler.schedule(py_func=py_func, interval=interval) == 2


# --- dropping a Scheduler -----------------------------------------------------------------------


def test_dropping_a_scheduler_releases_its_pending_callables():
    """The last reference to a Scheduler going away releases each pending callable once."""
    s = metronyx.Scheduler()
    probe = Probe()
    released = weakref.ref(probe)
    # An instance, not a function: a free-threaded build does not count a function's references
    # one by one (getrefcount reads a constant for it).
    repeated = Probe()
    baseline = sys.getrefcount(repeated)
    s.schedule(probe, 1.0)
    s.schedule(repeated, 1.0)
    s.schedule(repeated, 2.0)
    assert sys.getrefcount(repeated) == baseline + 2
    del probe
    assert released() is not None
    del s
    assert released() is None
    assert sys.getrefcount(repeated) == baseline


def test_dropping_a_scheduler_leaves_its_workers_running():
    """Workers started by a Scheduler keep calling after the Scheduler is gone."""
    result = run_python(
        """
    import gc, time, weakref, metronyx
    calls = []
    s = metronyx.Scheduler()
    s.schedule(lambda: calls.append(1), 0.005)
    s.start()
    time.sleep(0.05)
    del s
    gc.collect()
    before = len(calls)
    deadline = time.monotonic() + 5
    while len(calls) < before + 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(calls) >= before + 5, (before, len(calls))
    print("ok", flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"  # nothing stopped
    assert result.stderr == ""


# --- construction and the type ------------------------------------------------------------------


def test_construction_takes_no_arguments():
    """Scheduler() makes a new instance; any argument is refused with the parser's message."""
    first, second = metronyx.Scheduler(), metronyx.Scheduler()
    assert first is not second
    assert type(first) is metronyx.Scheduler
    with pytest.raises(TypeError) as positional:
        metronyx.Scheduler(1)
    assert str(positional.value) == "Scheduler.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as keyword:
        metronyx.Scheduler(x=1)
    assert str(keyword.value) == "Scheduler.__new__() got an unexpected keyword argument 'x'"


def test_scheduler_cannot_be_subclassed():
    """A class statement deriving from Scheduler fails in the interpreter."""
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Derived(metronyx.Scheduler):  # noqa: F841
            pass


def test_instances_are_plain_untracked_objects():
    """Instances are not tracked by the cyclic collector and carry no __dict__ or weak references."""
    s = metronyx.Scheduler()
    assert gc.is_tracked(s) is False
    with pytest.raises(AttributeError):
        s.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(s)


def test_type_names_and_docstring():
    """The class is metronyx.Scheduler with the text signature "()" and an empty own docstring."""
    Scheduler = metronyx.Scheduler
    assert Scheduler.__module__ == "metronyx"
    assert Scheduler.__name__ == "Scheduler"
    assert Scheduler.__qualname__ == "Scheduler"
    assert Scheduler.__text_signature__ == "()"
    assert Scheduler.__doc__ == ""
    assert Scheduler.__bases__ == (object,)


@pytest.mark.parametrize(
    "name, parameters",
    [
        ("schedule", ["py_func", "interval"]),
        ("cancel", ["task_id"]),
        ("start", []),
        ("list_schedules", []),
        ("shutdown", []),
    ],
)
def test_method_signatures(name, parameters):
    """Each method's text signature gives inspect.signature its parameter names and nothing else."""
    method = getattr(metronyx.Scheduler, name)
    assert method.__text_signature__ == "(" + ", ".join(["$self", *parameters]) + ")"
    assert method.__doc__ is None
    unbound = inspect.signature(method)
    assert list(unbound.parameters) == ["self", *parameters]
    bound = inspect.signature(getattr(metronyx.Scheduler(), name))
    assert str(bound) == "(" + ", ".join(parameters) + ")"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in bound.parameters.values())
    assert inspect.signature(metronyx.Scheduler) == inspect.Signature()
