"""Section 2: per-call overhead at interval 0.

Every variant calls the same Python function (it only counts) as fast as it can from a thread of
its own, taking and giving up the interpreter lock around each call, while the main thread sleeps.
Measured over a window after a warm-up: calls per second, wall time per call, and CPU per call (the
process's CPU in the window less the main thread's, divided by the calls made in it).

- metronyx: one task with interval 0, which never sleeps and calls back-to-back.
- Python loops in a thread that give the lock up between calls, with `time.sleep(0)` (the usual
  idiom) and with `os.sched_yield()` (the cheapest way Python has).
- The native floor: a C thread that keeps its thread state for life and only switches the lock
  per call; and, to show what keeping the thread state saves, the same loop creating and
  destroying a thread state for every call.
- The call alone: a Python loop that calls the function without ever giving the lock up.

Rounds alternate between the variants; each figure is the best of its rounds (the one least
disturbed by anything else running on the machine).
"""

from __future__ import annotations

import math
import os
import threading
import time
from collections.abc import Callable
from typing import Any

import metronyx

from measure import CpuWindow, StopLineMonitor

FLOOR = "native floor (thread state kept)"


def _make_counter() -> tuple[Callable[[], None], Callable[[], int]]:
    count = 0

    def tick() -> None:
        nonlocal count
        count += 1

    def read() -> int:
        return count

    return tick, read


def _metronyx(tick: Callable[[], None], monitor: StopLineMonitor, floor: Any) -> Callable[[], None]:
    scheduler = metronyx.Scheduler()
    task_id = scheduler.schedule(tick, 0.0)
    since = monitor.mark()
    scheduler.start()

    def stop() -> None:
        scheduler.cancel(task_id)
        if monitor.wait_for_line(f"Task id:{task_id} stopped.", since, timeout=5) is None:
            raise RuntimeError("the interval-0 task did not print its stop line")

    return stop


def _python_loop(give_up: Callable[[], None] | None) -> Callable[..., Callable[[], None]]:
    def start(tick: Callable[[], None], monitor: StopLineMonitor, floor: Any) -> Callable[[], None]:
        running = [True]

        def body() -> None:
            if give_up is None:
                while running[0]:
                    tick()
            else:
                while running[0]:
                    tick()
                    give_up()

        thread = threading.Thread(target=body, daemon=True)
        thread.start()

        def stop() -> None:
            running[0] = False
            thread.join()

        return stop

    return start


def _native(keep_thread_state: bool) -> Callable[..., Callable[[], None]]:
    def start(tick: Callable[[], None], monitor: StopLineMonitor, floor: Any) -> Callable[[], None]:
        floor.start(tick, keep_thread_state)
        return lambda: floor.stop()

    return start


VARIANTS: dict[str, Callable[..., Callable[[], None]]] = {
    "metronyx": _metronyx,
    FLOOR: _native(True),
    "native, thread state per call": _native(False),
    "Python loop + os.sched_yield()": _python_loop(os.sched_yield),
    "Python loop + time.sleep(0)": _python_loop(lambda: time.sleep(0)),
    "Python loop, lock never given up (the call alone)": _python_loop(None),
}


def _one_window(start: Callable[..., Callable[[], None]], config: Any, monitor: StopLineMonitor,
                floor: Any) -> tuple[int, int, int]:
    tick, read = _make_counter()
    stop = start(tick, monitor, floor)
    try:
        time.sleep(config.overhead_warmup_s)
        before = read()
        window = CpuWindow()
        time.sleep(config.overhead_window_s)
        calls = read() - before
        window.stop()
    finally:
        stop()
    return calls, window.wall_ns, window.cpu_ns


def run(config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    rounds: dict[str, list[tuple[int, int, int]]] = {name: [] for name in VARIANTS}
    names = list(VARIANTS)
    for round_index in range(config.overhead_rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            rounds[name].append(_one_window(VARIANTS[name], config, monitor, floor))

    results: dict[str, Any] = {}
    for name, windows in rounds.items():
        # The best round of each: the one least disturbed by anything else on the machine.
        rate = max(calls / (wall / 1e9) for calls, wall, _ in windows)
        # A loaded machine can starve a variant through a whole short (quick-mode) window.
        cpu = min((cpu / calls for calls, _, cpu in windows if calls), default=math.nan)
        results[name] = {
            "calls_per_s": rate,
            "wall_ns_per_call": 1e9 / rate,
            "cpu_ns_per_call": cpu,
            "rounds": len(windows),
        }
    floor = results[FLOOR]
    alone = results["Python loop, lock never given up (the call alone)"]
    for result in results.values():
        result["wall_ratio_to_floor"] = result["wall_ns_per_call"] / floor["wall_ns_per_call"]
        result["cpu_ratio_to_floor"] = result["cpu_ns_per_call"] / floor["cpu_ns_per_call"]
        # What the machinery adds to the call itself.
        result["added_ns_per_call"] = result["wall_ns_per_call"] - alone["wall_ns_per_call"]
    return {"window_s": config.overhead_window_s, "variants": results}
