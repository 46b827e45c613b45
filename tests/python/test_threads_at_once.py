"""Methods and workers on several processor cores at once.

On a free-threaded build nothing serialises the threads that call a scheduler's methods, nor a
worker's call and the `cancel` that stops its task: these tests hold what the interpreter lock gave
for free on the builds that have it (they pass there too).
"""

from __future__ import annotations

import weakref

import metronyx
from conftest import run_parallel, wait_released, wait_until

THREADS = 8


def test_methods_called_at_once_from_many_threads_never_report_borrow_errors():
    """Eight threads schedule, list, start, cancel and shut down one scheduler at once: each call
    succeeds or fails only as on one thread (an id that another thread's shutdown forgot), never
    with "Already borrowed" or "Already mutably borrowed"."""
    scheduler = metronyx.Scheduler()
    borrow_errors: list[str] = []

    def task() -> None:
        pass

    def hammer(index: int) -> None:
        for round in range(150):
            try:
                task_id = scheduler.schedule(task, 3600.0)
                scheduler.list_schedules()
                if round % THREADS == index:
                    scheduler.start()
                try:
                    scheduler.cancel(task_id)
                except ValueError:
                    pass  # forgotten by another thread's shutdown
                if round % 40 == index:
                    scheduler.shutdown()
            except RuntimeError as error:
                borrow_errors.append(str(error))

    run_parallel([lambda index=index: hammer(index) for index in range(THREADS)], timeout=120.0)
    scheduler.shutdown()
    ref = weakref.ref(task)
    del task, hammer, scheduler
    assert wait_released(ref, timeout=60.0)
    assert borrow_errors == []


def test_no_call_starts_after_cancel_or_shutdown_returns():
    """A task that calls back to back on another core is stopped at a different point of its calls
    each round, by cancel() or by shutdown(): once either has returned, no call of it starts."""
    late_calls = 0
    for round in range(60):
        scheduler = metronyx.Scheduler()
        started: list[None] = []  # appended by the worker alone

        def call() -> None:
            started.append(None)

        task_id = scheduler.schedule(call, 0)
        scheduler.start()
        assert wait_until(lambda: len(started) > round % 4)
        if round % 2:
            scheduler.cancel(task_id)
        else:
            scheduler.shutdown()
        seen = len(started)
        ref = weakref.ref(call)
        del call
        assert wait_released(ref)
        late_calls += len(started) - seen
    assert late_calls == 0
