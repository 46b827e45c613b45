"""What metronyx is measured against: the pure-Python ways of calling a function periodically, and a
pure-Python class with the same semantics as `metronyx.Scheduler`.

Each periodic runner starts calling `call` every `interval` seconds in the background and returns a
function that stops it and waits until it has ended. The anchored peers aim at the same grid as
metronyx (call k due at start + k * interval, late calls made at once); the naive loop sleeps a
full interval after each call, as much code in the wild does, and so drifts.
"""

from __future__ import annotations

import _thread
import operator
import os
import sched
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import metronyx

from measure import StopLineMonitor

Stop = Callable[[], None]


class _Running:
    __slots__ = ("running",)

    def __init__(self) -> None:
        self.running = True


def _in_thread(body: Callable[[_Running], None]) -> Stop:
    flag = _Running()
    thread = threading.Thread(target=body, args=(flag,), daemon=True)
    thread.start()

    def stop() -> None:
        flag.running = False
        thread.join()

    return stop


def anchored_sleep_loop(call: Callable[[], Any], interval: float, monitor: StopLineMonitor) -> Stop:
    """A thread that sleeps with `time.sleep` until each grid point of `time.monotonic`."""

    def body(flag: _Running) -> None:
        clock, sleep = time.monotonic, time.sleep
        start = clock()
        calls = 0
        while flag.running:
            call()
            calls += 1
            delay = start + calls * interval - clock()
            if delay > 0:
                sleep(delay)

    return _in_thread(body)


def sched_absolute(call: Callable[[], Any], interval: float, monitor: StopLineMonitor) -> Stop:
    """`sched.scheduler` run in a thread; each action enters the next one at an absolute time."""

    def body(flag: _Running) -> None:
        clock = time.monotonic
        scheduler = sched.scheduler(clock, time.sleep)
        start = [0.0]

        def action(k: int) -> None:
            if k == 0:
                start[0] = clock()  # the grid starts at the first call, as metronyx's does
            call()
            if flag.running:
                scheduler.enterabs(start[0] + (k + 1) * interval, 0, action, (k + 1,))

        scheduler.enterabs(clock(), 0, action, (0,))
        scheduler.run()

    return _in_thread(body)


def rearmed_timer(call: Callable[[], Any], interval: float, monitor: StopLineMonitor) -> Stop:
    """A `threading.Timer` that each call re-arms for the next grid point (a thread per call)."""
    flag = _Running()
    clock = time.monotonic
    start = [0.0]
    latest: list[threading.Timer] = []

    def fire(k: int) -> None:
        if k == 0:
            start[0] = clock()  # the grid starts at the first call, as metronyx's does
        call()
        if flag.running:
            timer = threading.Timer(max(0.0, start[0] + (k + 1) * interval - clock()),
                                    fire, (k + 1,))
            timer.daemon = True
            timer.start()
            latest.append(timer)  # after start: `stop` joins whatever it finds here

    first = threading.Timer(0.0, fire, (0,))
    first.daemon = True
    first.start()
    latest.append(first)

    def stop() -> None:
        flag.running = False
        # A call in flight may arm one more timer, and appends it before its own thread ends:
        # joining the newest timer until no newer one appears leaves none running.
        while True:
            timer = latest[-1]
            timer.cancel()
            timer.join()
            if latest[-1] is timer:
                return

    return stop


def naive_sleep_loop(call: Callable[[], Any], interval: float, monitor: StopLineMonitor) -> Stop:
    """A thread that calls, then sleeps a full interval: the schedule drifts by each call's cost."""

    def body(flag: _Running) -> None:
        sleep = time.sleep
        while flag.running:
            call()
            sleep(interval)

    return _in_thread(body)


def metronyx_task(call: Callable[[], Any], interval: float, monitor: StopLineMonitor) -> Stop:
    """One metronyx task; stopped with `cancel`, and over when its stop line has arrived."""
    scheduler = metronyx.Scheduler()
    task_id = scheduler.schedule(call, interval)
    since = monitor.mark()
    scheduler.start()

    def stop() -> None:
        scheduler.cancel(task_id)
        arrived = monitor.wait_for_line(f"Task id:{task_id} stopped.", since, 5 + 2 * interval)
        if arrived is None:
            raise RuntimeError(f"metronyx task {task_id} did not print its stop line")

    return stop


PERIODIC_PEERS: dict[str, Callable[[Callable[[], Any], float, StopLineMonitor], Stop]] = {
    "anchored sleep loop": anchored_sleep_loop,
    "sched (absolute)": sched_absolute,
    "threading.Timer re-armed": rearmed_timer,
    "naive sleep loop": naive_sleep_loop,
}


# ---- A pure-Python Scheduler ---------------------------------------------------------------------

def _periodic_worker(flag: _Running, py_func: Callable[[], Any], interval: float,
                     task_id: int) -> None:
    clock, sleep = time.monotonic, time.sleep
    start = clock()
    calls = 0
    while flag.running:
        try:
            py_func()
        except Exception as error:  # reported, and the task keeps its rhythm
            print(f"Error calling Python function: {error!r}", file=sys.stderr)
        calls += 1
        delay = start + calls * interval - clock()
        if delay > 0:
            sleep(delay)
    os.write(1, f"Task id:{task_id} stopped.\n".encode())


class PyScheduler:
    """The same observable behaviour as `metronyx.Scheduler`, written the way a careful Python
    programmer would: wrapping 8-bit task ids, pending tasks started one thread each by `start`,
    a run flag per id that `cancel` and `shutdown` clear, and the same stop line on fd 1."""

    __slots__ = ("_pending", "_flags", "_last_task_id")

    def __init__(self) -> None:
        self._pending: list[tuple[Callable[[], Any], float, int]] = []
        self._flags: dict[int, _Running] = {}
        self._last_task_id = 0

    def schedule(self, py_func: Callable[[], Any], interval: float) -> int:
        if type(interval) is not float:
            interval = float(interval)
        task_id = (self._last_task_id + 129) % 256 - 128  # + 1, wrapping from 127 to -128
        self._last_task_id = task_id
        self._pending.append((py_func, interval, task_id))
        self._flags[task_id] = _Running()
        return task_id

    def start(self) -> None:
        pending, self._pending = self._pending, []
        for py_func, interval, task_id in pending:
            # Like metronyx's start(), this does not wait for the new thread to run;
            # threading.Thread.start does, which takes tens of ms per thread once hundreds of
            # tasks take turns at the interpreter lock.
            _thread.start_new_thread(_periodic_worker,
                                     (self._flags[task_id], py_func, interval, task_id))

    def cancel(self, task_id: int) -> None:
        if type(task_id) is not int:
            task_id = operator.index(task_id)
        flag = self._flags.get(task_id)
        if flag is None:
            raise ValueError(f"Task id:{task_id} not found")
        flag.running = False

    def list_schedules(self) -> None:
        return None

    def shutdown(self) -> None:
        for flag in self._flags.values():
            flag.running = False
        self._flags.clear()
        self._pending.clear()
