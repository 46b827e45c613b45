"""Tasks stay on time while the main thread runs Python code: a worker that is due asks the main
thread for the interpreter lock instead of waiting out the switch interval. Figures are for the
benchmark; these tests only tell the mechanism from its absence."""

from __future__ import annotations

from conftest import FREE_THREADED, lines, run_python

BUSY_MAIN = """
    import sys, time, metronyx
    sys.setswitchinterval(1.0)  # without a handoff, a waiting thread gets the lock once a second
    calls = [0]
    def task():
        calls[0] += 1
    s = metronyx.Scheduler()
    s.schedule(task, {interval})
    s.start()
    loops, begun = 0, time.perf_counter()
    while time.perf_counter() - begun < 1.0:
        loops += 1
    s.shutdown()
    say(calls[0], loops)
"""


def busy_main(interval: float) -> tuple[int, int]:
    result = run_python(BUSY_MAIN.format(interval=interval))
    assert result.returncode == 0, result.stderr
    figures = next(line for line in lines(result.stdout) if not line.startswith("Task id:"))
    calls, loops = map(int, figures.split())
    return calls, loops


def test_a_sleeping_task_keeps_its_calls_while_the_main_thread_is_busy():
    """A 10 ms task makes most of its ~100 calls in a busy second (one or two without)."""
    calls, loops = busy_main(0.01)
    assert calls >= 50
    assert loops > 0


def test_a_task_that_never_sleeps_does_not_take_the_main_thread_over():
    """Interval 0 gets no handoff: the main thread keeps the lock for its switch interval and
    its loop runs on."""
    calls, loops = busy_main(0.0)
    assert loops > 100_000
    # Without the interpreter lock the task calls on a core of its own beside the main thread,
    # which it takes nothing from: any number of calls is right there.
    if not FREE_THREADED:
        assert calls < 100_000
