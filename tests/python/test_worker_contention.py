"""Many workers taking turns at the interpreter lock.

Workers wait for their turn to ask for the lock in a queue of the module's own. These tests protect
the promise that makes that queue safe: a worker holds its place only while it asks for the lock,
never while its callable runs, so callables that give the lock up or wait for each other cannot
deadlock the workers behind them.
"""

from __future__ import annotations

import threading
import time
import weakref

from conftest import wait_released, wait_until


def test_a_callable_blocked_on_another_worker_does_not_hold_up_the_queue(scheduler):
    """A callable that waits (lock released) for an event set by another worker's callable gets it."""
    released = threading.Event()
    waited: list[bool] = []

    def waiter() -> None:
        if not waited:
            waited.append(released.wait(timeout=10.0))

    def setter() -> None:
        released.set()

    scheduler.schedule(waiter, 0.001)
    scheduler.schedule(setter, 0.001)
    refs = [weakref.ref(waiter), weakref.ref(setter)]
    del waiter, setter
    scheduler.start()
    try:
        assert wait_until(lambda: bool(waited), timeout=15.0)
        assert waited == [True]
    finally:
        scheduler.shutdown()
        assert wait_released(*refs)


def test_many_workers_that_give_the_lock_up_inside_their_call_all_keep_running(scheduler):
    """200 workers whose callables sleep (lock released) mid-call all go on being called."""
    counts = [0] * 200

    def make(index: int):
        def call() -> None:
            counts[index] += 1
            time.sleep(0.0005)

        return call

    refs = []
    for index in range(len(counts)):
        call = make(index)
        refs.append(weakref.ref(call))
        scheduler.schedule(call, 0.005)
    del call
    scheduler.start()
    try:
        assert wait_until(lambda: min(counts) >= 3, timeout=30.0)
    finally:
        scheduler.shutdown()
        assert wait_released(*refs)
