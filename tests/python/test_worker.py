"""The periodic worker: calls on a fixed-rate grid anchored at its start, one error line per failed
call, one stop line per stopped task, written to the process's own file descriptors.

Every test here waits until its workers have let go of their callables before it reads what was
written: a worker releases its callable only after its last line, so the output is complete then.
Timing bounds are loose on purpose; precision is measured by the benchmarks."""

import io
import math
import re
import sys
import time
import weakref

import pytest

from conftest import FREE_THREADED, STOP_LINE, Probe, lines, refcount, run_python, wait_refcount, wait_released, wait_until

ERROR_LINE = re.compile(
    r"Error calling Python function: PyErr \{ type: <class 'ValueError'>, value: ValueError\('x'\), "
    r"traceback: Some\(<traceback object at 0x[0-9A-Fa-f]+>\) \}"
)
NOT_CALLABLE_LINE = (
    "Error calling Python function: PyErr { type: <class 'TypeError'>, "
    "value: TypeError(\"'int' object is not callable\"), traceback: None }"
)
DURATION_MESSAGE = "cannot convert float seconds to Duration: value is either too big or NaN"


def run_task(scheduler, probe, interval):
    """Schedules and starts `probe`; returns its id, its call times and a weak reference to it."""
    task_id = scheduler.schedule(probe, interval)
    scheduler.start()
    return task_id, probe.times, weakref.ref(probe)


# --- the grid ----------------------------------------------------------------------------------


def idle_gaps(times, ends):
    """For each call after the first, the time from the end of the call before it to its start."""
    return [start - end for end, start in zip(ends, times[1:])]


@pytest.mark.wine_limit("time.sleep(0.00025) takes some 1.3 ms, so the callable outlasts a 1 ms grid")
def test_calls_follow_the_grid_without_drift(scheduler, capfd):
    """Call k comes k intervals after the first: never early, and lateness does not add up over calls."""
    interval = 0.001
    probe = Probe(work=interval / 4)
    times, released = probe.times, weakref.ref(probe)
    before_start = time.monotonic()
    task_id = scheduler.schedule(probe, interval)
    del probe
    scheduler.start()
    assert wait_until(lambda: len(times) >= 1000)
    scheduler.cancel(task_id)
    assert wait_released(released)

    assert all(t >= before_start + (k - 0.1) * interval for k, t in enumerate(times)), "a call came early"
    # Counted from the first call, so that the thread's start does not count. A worker that times
    # each call from the one before adds its wake-up latency (tens of microseconds) at every call,
    # or the whole call if it sleeps a full interval after it: tens of intervals by call 1000. On
    # the grid the worker catches up after a stall, so even on a loaded machine some call among the
    # hundred before call 1000 comes within a few intervals of its slot.
    behind = min(times[k] - (times[0] + k * interval) for k in range(900, 1000))
    assert behind < 5 * interval, f"calls 900 to 999 all {behind / interval:.1f} intervals or more behind the grid"
    out, err = capfd.readouterr()
    assert lines(out) == [STOP_LINE.format(task_id)]
    assert err == ""


def test_late_calls_are_caught_up_back_to_back(scheduler, capfd):
    """After an overrun the missed slots are called without sleeping, on the grid anchored at start."""
    interval = 0.05
    probe = Probe(first_work=0.3)  # the first call runs over six slots
    times, ends, released = probe.times, probe.ends, weakref.ref(probe)
    before_start = time.monotonic()
    task_id = scheduler.schedule(probe, interval)
    del probe
    scheduler.start()
    assert wait_until(lambda: len(times) >= 10)
    scheduler.cancel(task_id)
    assert wait_released(released)

    assert all(t >= before_start + k * interval - 0.001 for k, t in enumerate(times)), "a call came early"
    # Slots 1 to 6 were all due when the first call returned: the worker makes them without
    # sleeping in between, where a rhythm restarted after the overrun would sleep an interval each.
    catch_up = sorted(idle_gaps(times, ends)[:5])
    assert catch_up[2] < interval / 2, f"missed slots were not caught up back-to-back: {catch_up}"
    assert times[9] < before_start + 9 * interval + 0.5
    capfd.readouterr()


# --- output lines ------------------------------------------------------------------------------


def test_one_stop_line_per_ended_task(scheduler, capfd):
    """Each cancelled or shut-down task writes "Task id:N stopped." once to standard output."""
    probes = [Probe() for _ in range(3)]
    refs = [weakref.ref(p) for p in probes]
    ids = [scheduler.schedule(p, interval) for p, interval in zip(probes, [0, 0.005, 0.02])]
    del probes
    scheduler.start()
    time.sleep(0.05)
    scheduler.cancel(ids[1])
    time.sleep(0.02)
    scheduler.shutdown()
    assert wait_released(*refs)
    out, err = capfd.readouterr()
    assert sorted(lines(out)) == sorted(STOP_LINE.format(task_id) for task_id in ids)
    assert err == ""


def test_stop_line_of_a_negative_id_carries_its_sign(scheduler, capfd):
    """An id past the wrap is printed with its sign: "Task id:-128 stopped."."""
    for _ in range(127):
        scheduler.schedule(None, 1.0)
    scheduler.shutdown()
    task_id, _, released = run_task(scheduler, Probe(), 0.005)
    assert task_id == -128
    scheduler.cancel(task_id)
    assert wait_released(released)
    assert capfd.readouterr().out == "Task id:-128 stopped.\n"


def test_failing_call_writes_one_error_line_and_keeps_its_rhythm(scheduler, capfd):
    """A callable raising ValueError('x') gets one exact error line per call and is not stopped."""
    interval = 0.02
    before_start = time.monotonic()
    task_id, times, released = run_task(scheduler, Probe(raises=ValueError, message="x"), interval)
    assert wait_until(lambda: len(times) >= 6)
    scheduler.cancel(task_id)
    assert wait_released(released)

    out, err = capfd.readouterr()
    assert lines(out) == [STOP_LINE.format(task_id)]
    error_lines = lines(err)
    assert len(error_lines) == len(times)
    assert all(ERROR_LINE.fullmatch(line) for line in error_lines), error_lines[0]
    assert all(t >= before_start + k * interval - 0.001 for k, t in enumerate(times))
    assert times[5] - times[0] < 5 * interval + 0.2


def test_non_callable_fails_on_every_call(scheduler, capfd):
    """An int scheduled as the callable gets a "'int' object is not callable" line per call."""
    number = int("7" * 30)  # an int with a reference count of its own, unlike the small ints
    baseline = refcount(number)
    task_id = scheduler.schedule(number, 0.005)
    scheduler.start()
    time.sleep(0.05)
    scheduler.cancel(task_id)
    assert wait_refcount(lambda: refcount(number), baseline)
    out, err = capfd.readouterr()
    assert lines(out) == [STOP_LINE.format(task_id)]
    error_lines = lines(err)
    assert len(error_lines) >= 2
    assert set(error_lines) == {NOT_CALLABLE_LINE}


def test_task_cancelled_before_start_stops_without_a_call(scheduler, capfd):
    """A pending task cancelled before start() still gets a worker, which only prints its stop line."""
    probe = Probe()
    task_id = scheduler.schedule(probe, 0.01)
    assert scheduler.cancel(task_id) is None
    times, released = probe.times, weakref.ref(probe)
    del probe
    scheduler.start()
    assert wait_released(released)
    assert times == []
    assert capfd.readouterr().out == STOP_LINE.format(task_id) + "\n"


@pytest.mark.parametrize("interval", [0, 0.0, -1.0, -math.inf, math.nan])
def test_interval_without_a_positive_delay_calls_continuously(scheduler, capfd, interval):
    """Zero, negative and NaN intervals never sleep: the callable is called over and over."""
    task_id, times, released = run_task(scheduler, Probe(), interval)
    # A tenth of a second of an ordinary 10 ms grid would be 10 calls.
    assert wait_until(lambda: len(times) >= 200, timeout=20)
    scheduler.cancel(task_id)
    assert wait_released(released)
    assert lines(capfd.readouterr().out) == [STOP_LINE.format(task_id)]


def test_interval_too_large_to_sleep_ends_the_worker_after_one_call(scheduler, capfd):
    """An interval of 1e20 s makes one call, then the worker reports the failed conversion and ends."""
    task_id, times, released = run_task(scheduler, Probe(), 1e20)
    assert wait_released(released)  # ended on its own: nothing was cancelled
    assert len(times) == 1
    scheduler.cancel(task_id)  # its flag is still known, but no worker is left to stop
    out, err = capfd.readouterr()
    assert out == ""
    assert DURATION_MESSAGE in err
    assert "Error calling Python function" not in err
    assert len([line for line in lines(err) if DURATION_MESSAGE in line]) == 1


def test_worker_lines_bypass_sys_stdout_and_sys_stderr(scheduler, capfd, monkeypatch):
    """Replacing sys.stdout and sys.stderr does not capture the worker's lines."""
    fake_out, fake_err = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", fake_out)
    monkeypatch.setattr(sys, "stderr", fake_err)
    task_id, times, released = run_task(scheduler, Probe(raises=ValueError, message="x"), 0.005)
    assert wait_until(lambda: len(times) >= 2)
    scheduler.cancel(task_id)
    assert wait_released(released)
    monkeypatch.undo()
    assert fake_out.getvalue() == ""
    assert fake_err.getvalue() == ""
    out, err = capfd.readouterr()
    assert lines(out) == [STOP_LINE.format(task_id)]
    assert len(lines(err)) == len(times)


# --- releasing the callable ----------------------------------------------------------------------


@pytest.mark.posix("thread counts from /proc")
def test_ended_workers_callable_is_released_on_its_own_thread():
    """A stopped worker releases its callable itself, before its thread ends, with no entry into the module."""
    result = run_python(
        """
    import os, threading, time, weakref, metronyx

    def threads():
        return len(os.listdir("/proc/self/task"))

    class Callable:
        def __call__(self): pass

    fired = []
    s = metronyx.Scheduler()
    base = threads()
    probe = Callable()
    ref = weakref.ref(probe, lambda _: fired.append(threading.get_ident()))
    task_id = s.schedule(probe, 0.005)
    del probe
    s.start()
    time.sleep(0.03)
    s.cancel(task_id)
    # The worker's thread is gone only after it let go of the callable.
    deadline = time.monotonic() + 10
    while threads() > base and time.monotonic() < deadline:
        time.sleep(0.005)
    assert threads() == base
    assert ref() is None and len(fired) == 1, "not released by the worker"
    if {free_threaded}:
        # The worker gives its reference up on its own thread, but a free-threaded build frees an
        # object on the thread that made it (biased reference counting), here the main thread.
        assert fired[0] == threading.get_ident(), "freed on another thread than its maker"
    else:
        assert fired[0] != threading.get_ident(), "released on the main thread"
    print("ok", flush=True)
    """.replace("{free_threaded}", str(FREE_THREADED))
    )
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == [STOP_LINE.format(1), "ok"]
    assert result.stderr == ""


# --- a PanicException from the callable --------------------------------------------------------


@pytest.mark.posix("resource limits and /proc")
def test_callable_raising_panic_exception_ends_only_its_worker():
    """A PanicException from the callable is printed with its traceback and ends that worker alone."""
    result = run_python(
        """
    import os, resource, sys, time, metronyx

    # The module does not export PanicException; a start() whose thread cannot be created (the
    # address space is capped just above what is in use) raises one.
    blocked = metronyx.Scheduler()
    blocked.schedule(lambda: None, 1.0)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * resource.getpagesize()
    caught = None
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 20), hard))
    try:
        blocked.start()
    except BaseException as error:
        caught = error
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if caught is None or type(caught).__name__ != "PanicException":
        print("no PanicException:", repr(caught), flush=True)
        sys.exit(77)
    PanicException = type(caught)
    assert not isinstance(caught, Exception)
    assert str(caught).startswith("failed to spawn thread: "), str(caught)
    blocked.start()  # the failed start discarded its records: nothing left to launch

    calls = {"panic": 0, "steady": 0}
    def panicking():
        calls["panic"] += 1
        raise PanicException("boom")
    def steady():
        calls["steady"] += 1

    s = metronyx.Scheduler()
    s.schedule(panicking, 0.005)
    s.schedule(steady, 0.005)
    s.start()
    time.sleep(0.2)
    before = calls["steady"]
    time.sleep(0.05)
    assert calls["steady"] > before, "the other worker stopped"
    assert calls["panic"] == 1
    s.shutdown()
    deadline = time.monotonic() + 10
    while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
        time.sleep(0.005)  # the steady worker's thread ends after its stop line
    print("ok", flush=True)
    """
    )
    if result.returncode == 77:
        pytest.skip("could not provoke a PanicException: " + result.stdout.strip())
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == [STOP_LINE.format(2), "ok"]
    err = lines(result.stderr)
    assert "Error calling Python function" not in result.stderr
    assert err[0].startswith("metronyx: internal failure: failed to spawn thread: ")  # from start()
    banner = [i for i, line in enumerate(err) if re.fullmatch(r"--- .*PanicException.* ---", line)]
    assert len(banner) == 1
    assert err[banner[0] + 1] == "Python stack trace below:"
    assert err[banner[0] + 2] == "Traceback (most recent call last):"
    assert err[-1].endswith("PanicException: boom")
