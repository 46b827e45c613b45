"""Workers behave like the `threading.Thread` a user would otherwise write: their output never
holds the interpreter up, their lines stay whole, their stacks and hooks are a Python thread's,
and a bad argument on one thread never fails another thread's good call."""

from __future__ import annotations

import threading
import time
import weakref

import pytest

import metronyx
from conftest import STOP_LINE, lines, run_python, wait_released, wait_until


def test_a_program_reading_its_own_stderr_pipe_keeps_running():
    """Failing calls fill a stderr pipe that a slow Python thread of the same program drains: the
    program goes on (it deadlocked when lines were written holding the interpreter lock), and
    lines of every length, error and stop lines alike, arrive whole."""
    result = run_python(
        """
    import os, re, threading, time, metronyx
    r, w = os.pipe()
    saved_out, saved_err = os.dup(1), os.dup(2)
    os.dup2(w, 2)
    os.dup2(w, 1)
    os.close(w)
    chunks = []
    def reader():
        while data := os.read(r, 65536):
            chunks.append(data)
            time.sleep(0.001)  # slower than the writers, so the pipe is full most of the time
    drain = threading.Thread(target=reader, daemon=True)
    drain.start()
    def fails_short():
        raise ValueError("x")
    def fails_long():
        raise ValueError("y" * 20000)  # several times a pipe's atomic write
    s = metronyx.Scheduler()
    s.schedule(fails_short, 0.0)
    s.schedule(fails_long, 0.0)
    for _ in range(20):
        s.schedule(lambda: None, 0.001)
    s.start()
    loops, begun = 0, time.monotonic()
    while time.monotonic() - begun < 1.0:
        loops += 1
        time.sleep(0.001)
    s.shutdown()
    time.sleep(0.2)
    os.dup2(saved_err, 2)
    os.dup2(saved_out, 1)
    time.sleep(0.2)
    text = b"".join(chunks).decode()
    say(loops, text.count("stopped."))
    whole = re.compile(
        r"Error calling Python function: PyErr { type: <class 'ValueError'>, value: "
        r"ValueError\\('(x|y{20000})'\\), traceback: Some\\(<traceback object at 0x[0-9A-Fa-f]+>\\) }"
        r"|Task id:\\d+ stopped\\.")
    for line in text.splitlines():
        if not whole.fullmatch(line):
            say("spliced:", line[:200])
    """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    out = lines(result.stdout)
    loops, stops = map(int, out[0].split())
    assert loops > 100  # about 900 on an idle machine; zero when the program froze
    assert stops == 22
    assert out[1:] == []


# Each starts by writing a line with the streams as they were, then moves them while tasks write.
MOVED_STREAMS_PRELUDE = """
    import os, re, threading, time, metronyx
    saved_out, saved_err = os.dup(1), os.dup(2)
    def read_pipe():
        r, w = os.pipe()
        chunks = []
        def reader():
            while data := os.read(r, 65536):
                chunks.append(data)
                time.sleep(0.001)  # slower than the writers: lines go into the pipe in pieces
        threading.Thread(target=reader, daemon=True).start()
        return r, w, chunks
    def text(chunks):
        return b"".join(chunks).decode()
    def wait_for(predicate, bound=20.0):
        deadline = time.monotonic() + bound
        while not predicate():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.005)
        return True
    def fails_short():
        raise ValueError("x")
    def fails_long():
        raise ValueError("y" * 20000)  # several times a pipe's atomic write
    whole = re.compile(
        r"Error calling Python function: PyErr { type: <class 'ValueError'>, value: "
        r"ValueError\\('(x|y{20000})'\\), traceback: Some\\(<traceback object at 0x[0-9A-Fa-f]+>\\) }"
        r"|Task id:\\d+ stopped\\.")
    def report(name, chunks):
        for line in text(chunks).splitlines():
            if not whole.fullmatch(line):
                say(name, "spliced:", line[:200])
    s = metronyx.Scheduler()
    s.schedule(fails_short, 60.0)  # one line now, with the streams as they start
"""

STREAMS_JOINED = """
    _, out_w, out = read_pipe()
    _, err_w, err = read_pipe()
    os.dup2(out_w, 1)
    os.dup2(err_w, 2)
    s.start()
    wait_for(lambda: "Error" in text(err))
    os.dup2(out_w, 2)  # `2>&1` from now on
    s.schedule(fails_long, 0.0)
    s.schedule(fails_long, 0.0)
    quiet = [s.schedule(lambda: None, 60.0) for _ in range(30)]
    s.start()
    for task_id in quiet:
        time.sleep(0.005)
        s.cancel(task_id)
    s.shutdown()
    wait_for(lambda: text(out).count("stopped.") >= 33)
    os.dup2(saved_out, 1)
    os.dup2(saved_err, 2)
    report("joined", out)
    say("stop lines", text(out).count("stopped."))
"""

STREAMS_PARTED = """
    _, out_w, out = read_pipe()
    os.dup2(out_w, 1)
    os.dup2(out_w, 2)  # `2>&1` at first
    s.start()
    wait_for(lambda: "Error" in text(out))
    unread_r, unread_w = os.pipe()
    os.dup2(unread_w, 2)  # errors to a pipe that nobody reads for now
    s.schedule(fails_long, 0.0)
    quiet = [s.schedule(lambda: None, 60.0) for _ in range(30)]
    s.start()
    time.sleep(0.3)  # the failing task fills the unread pipe and waits in the middle of a line
    for task_id in quiet:
        s.cancel(task_id)
    flowing = wait_for(lambda: text(out).count("stopped.") == 30, bound=10.0)
    held_up = 30 - text(out).count("stopped.")
    errors = []
    def reader():
        while data := os.read(unread_r, 65536):
            errors.append(data)
    drain = threading.Thread(target=reader, daemon=True)
    drain.start()
    s.shutdown()
    wait_for(lambda: text(out).count("stopped.") == 32)
    os.dup2(saved_out, 1)
    os.dup2(saved_err, 2)
    os.close(unread_w)  # the last writer of that pipe: its reader reads to the end
    drain.join(20.0)
    if not flowing:
        say("stop lines held up by the full stderr pipe:", held_up)
    report("parted out", out)
    report("parted err", errors)
    say("stop lines", text(out).count("stopped."))
"""


@pytest.mark.parametrize(
    "moves, stop_lines", [pytest.param(STREAMS_JOINED, 33, id="joined"), pytest.param(STREAMS_PARTED, 32, id="parted")]
)
def test_lines_stay_whole_and_flowing_when_the_program_moves_its_streams(moves, stop_lines):
    """Whether stdout and stderr lead to one file is looked at for every line, not once: lines
    stay whole after the program joins two separate streams into one pipe (error lines in
    pieces, stop lines between them), and after it parts them, a stderr pipe that nobody reads
    holds up only the error lines, not the stop lines on stdout."""
    result = run_python(MOVED_STREAMS_PRELUDE + moves, timeout=60)
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == [f"stop lines {stop_lines}"]


def test_a_task_keeps_calling_when_stderr_cannot_be_written():
    """With stderr on /dev/full each error line is lost, not the task."""
    result = run_python(
        """
    import os, time, metronyx
    calls = [0]
    def fails():
        calls[0] += 1
        raise ValueError("x")
    full = os.open("/dev/full", os.O_WRONLY)
    os.dup2(full, 2)
    s = metronyx.Scheduler()
    s.schedule(fails, 0.002)
    s.start()
    time.sleep(0.4)
    s.shutdown()
    time.sleep(0.05)
    say(calls[0])
    """
    )
    assert result.returncode == 0
    assert int(lines(result.stdout)[-1]) > 50  # one call per 2 ms for 0.4 s
    assert "Task id:1 stopped." in lines(result.stdout)


DEEP_RECURSION = """
    import sys, threading, time, metronyx
    sys.setrecursionlimit(100000)
    threading.stack_size({stack_size})
    def deep(n):
        return 0 if n == 0 else sorted([0], key=lambda _: deep(n - 1))[0]
    results = []
    def run():
        try:
            results.append(deep({depth}))
        except RecursionError:
            results.append("RecursionError")
    if "{where}" == "worker":
        s = metronyx.Scheduler()
        s.schedule(run, 60.0)
        s.start()
        while not results:
            time.sleep(0.01)
        s.shutdown()
    else:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    say(results[0])
"""


@pytest.mark.parametrize(
    "stack_size, depth",
    [
        pytest.param(0, 1000, marks=pytest.mark.wine_limit("the default stack overflows at depth 500-1000, on a threading.Thread too")),
        (32 << 20, 2500),
    ],
)
def test_deep_recursion_behaves_as_on_a_python_thread(stack_size, depth):
    """Recursion through C code (a sort key calling back into Python, a few KiB of C stack a
    level) ends on a worker exactly as on a threading.Thread, with the default stack and with the
    one set by threading.stack_size(); a 2 MiB stack crashed the process at depth 1000, the
    default 8 MiB one at 2500. Each runs in a process of its own, with nothing warmed up."""
    outcomes = []
    for where in ("thread", "worker"):
        result = run_python(DEEP_RECURSION.format(stack_size=stack_size, depth=depth, where=where))
        assert result.returncode == 0, (where, result.returncode, result.stderr)
        outcomes += [line for line in lines(result.stdout) if not line.startswith("Task id:")]
    assert len(outcomes) == 2 and outcomes[1] == outcomes[0]


def test_start_leaves_the_programs_stack_size_as_it_was(scheduler, capfd):
    """start() reads threading.stack_size() without changing it, as Thread.start() does: the
    setting once went back to 0 for every later thread and worker."""

    def task() -> None:
        pass

    previous = threading.stack_size(4 << 20)
    try:
        task_id = scheduler.schedule(task, 1.0)
        released = weakref.ref(task)
        del task
        scheduler.start()
        assert threading.stack_size() == 4 << 20
    finally:
        threading.stack_size(previous)
    scheduler.shutdown()
    assert wait_released(released)
    assert lines(capfd.readouterr().out) == [STOP_LINE.format(task_id)]


def test_threading_trace_and_profile_hooks_see_callbacks(scheduler, capfd):
    """What threading.settrace/setprofile install (coverage, profilers, debuggers) reaches the
    callables of tasks started afterwards, as it reaches new threading.Threads."""
    traced, profiled = set(), set()

    def tracer(frame, event, arg):
        traced.add(frame.f_code.co_name)

    def profiler(frame, event, arg):
        profiled.add(frame.f_code.co_name)

    def periodic_callback() -> None:
        pass

    threading.settrace(tracer)
    threading.setprofile(profiler)
    try:
        task_id = scheduler.schedule(periodic_callback, 0.005)
        released = weakref.ref(periodic_callback)
        del periodic_callback
        scheduler.start()
        deadline = time.monotonic() + 10
        while "periodic_callback" not in traced and time.monotonic() < deadline:
            time.sleep(0.005)
        scheduler.shutdown()
        # The worker has written its stop line once it lets go of the callable: read here, the
        # line cannot land in the output of a later test.
        assert wait_released(released)
    finally:
        threading.settrace(None)
        threading.setprofile(None)
    assert "periodic_callback" in traced
    assert "periodic_callback" in profiled
    assert lines(capfd.readouterr().out) == [STOP_LINE.format(task_id)]


def test_what_a_call_makes_belongs_to_its_worker_as_to_a_python_thread(scheduler):
    """An object that a worker's call made, and whose last reference another thread drops, is
    finalized on the thread a threading.Thread doing the same job would finalize it on. Without the
    lock the interpreter hands such a release back to the object's maker; a worker whose thread
    state was made on another thread is not found as the maker, and its objects' counts get merged
    under it while it still counts them (memory corrupted)."""

    def finalizing_thread(start, stop):
        box, finalized = [], []

        class Tracked:
            def __del__(self):
                finalized.append(threading.get_ident())

        def make():
            if not box and not finalized:
                box.append((threading.get_ident(), Tracked()))

        start(make)
        assert wait_until(lambda: box)
        maker, tracked = box.pop()
        del tracked  # the last reference, dropped on this thread
        assert wait_until(lambda: finalized)
        stop()
        return "maker" if finalized == [maker] else "other thread"

    running = threading.Event()

    def start_thread(make):
        def loop():
            while not running.is_set():
                make()
                time.sleep(0.001)

        thread = threading.Thread(target=loop)
        thread.start()
        return thread

    threads = []
    as_python_thread = finalizing_thread(
        lambda make: threads.append(start_thread(make)), lambda: (running.set(), threads[0].join())
    )
    ids = []
    as_worker = finalizing_thread(
        lambda make: (ids.append(scheduler.schedule(make, 0.001)), scheduler.start()),
        lambda: scheduler.cancel(ids[0]),
    )
    assert as_worker == as_python_thread


def test_a_bad_argument_on_one_thread_never_fails_another_threads_call():
    """One thread passes bad intervals, another calls list_schedules() on the same instance: the
    bad calls fail with their TypeError, the good ones never see a borrow error."""
    s = metronyx.Scheduler()
    stop = threading.Event()
    borrow_errors = []

    def bad_arguments() -> None:
        while not stop.is_set():
            try:
                s.schedule(print, "x")
            except TypeError:
                pass

    def good_calls() -> None:
        while not stop.is_set():
            try:
                s.list_schedules()
            except RuntimeError as error:
                borrow_errors.append(error)

    threads = [threading.Thread(target=f, daemon=True) for f in (bad_arguments, good_calls)]
    for thread in threads:
        thread.start()
    try:
        time.sleep(0.5)
    finally:
        stop.set()
        for thread in threads:
            thread.join(10)
    assert borrow_errors == []
