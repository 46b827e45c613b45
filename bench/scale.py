"""Section 4: many tasks at once.

N tasks at a 10 ms interval on one scheduler, each with a probe of its own, with the main thread
idle. Measured for metronyx and for `PyScheduler` (one Python thread per task):
- `start()`: the wall time of the call that starts the N threads;
- delivered versus demanded calls in a window after a warm-up: demanded is the number of grid
  points (each task's own grid, anchored as in the lateness section) due in the window, delivered
  the number of those whose call was made by the end of the window;
- p99 and max lateness of those calls;
- CPU per call made in the window (the process's CPU in the window less the main thread's);
- resident memory per task: the growth of the process's RSS from before `start()` to the window,
  divided by N.

The native sleep floor is N C threads (1 ns timer slack) sleeping to 10 ms grids of their own for
as long as the window, with no interpreter: its CPU per wake-up is what the machine charges for
waking a thread at all, before any lock is taken or any Python runs. Its wake-ups also give the
grid estimator its fastest wake-up for N threads at once, and its own row goes through the same
estimator as the others.

Where a worker's CPU goes: the floor again, with a periodic worker's costs added one at a time
(the "floor:" rows): the sleep with the default timer slack (50 us) instead of 1 ns; a call of a
trivial Python function under the interpreter lock with a thread state kept for life; a queue the
threads pass through one at a time while they ask for the lock; in that queue, a spin of at most
25 us until the thread ahead has given the lock back after its call; a pending call posted to the
main thread before each call. Each step's CPU per call less the one before is that cost.

The timer slack's trade, measured on metronyx itself: the "metronyx, 50 us slack" row is metronyx
with its workers' timer slack set from outside (`/proc/<tid>/timerslack_ns`, which needs
CAP_SYS_NICE; the row is left out without it) to the 50 us a Python thread sleeps with.

Every size is measured `scale_rounds` times, the sizes taken in turn, and each figure is the
median over the rounds; the ratios of metronyx to PyScheduler and to the floor are medians of the
per-round ratios.
"""

from __future__ import annotations

import functools
import gc
import math
import os
import statistics
import threading
import time
from typing import Any

import metronyx

from measure import (CpuWindow, Probe, StopLineMonitor, fastest_wake_ns, grid_lateness, now_ns,
                     percentile, rss_bytes)
from peers import PyScheduler

INTERVAL = 0.010
IMPLEMENTATIONS = {"metronyx": metronyx.Scheduler, "PyScheduler": PyScheduler}
NATIVE_FLOOR = "native sleep floor"
# metronyx's workers with the timer slack a Python thread sleeps with, set from outside: what the
# precision of the default costs in CPU, and what the slack would cost in lateness.
DEFAULT_SLACK_NS = 50_000
METRONYX_DEFAULT_SLACK = "metronyx, 50 us slack"


def _window_figures(stamps: list[int], window_start: int, window_end: int, interval_ns: int,
                    fastest_wake: float, lateness: list[int]) -> tuple[int, int]:
    """Demanded and delivered calls of one task for the grid points due in (window_start,
    window_end]; appends the lateness of the delivered ones.

    Call k serves grid point k (the worker counts its calls), so a grid point is delivered when
    its call was made by the end of the window. The grid is placed as in the lateness section.
    """
    every_call = grid_lateness(stamps, interval_ns, fastest_wake)
    anchor = stamps[0] - every_call[0]
    first = max(0, (window_start - anchor) // interval_ns + 1)
    last = (window_end - anchor) // interval_ns
    delivered = 0
    for k in range(first, min(last + 1, len(stamps))):
        if stamps[k] <= window_end:
            delivered += 1
            lateness.append(every_call[k])
    return max(0, last - first + 1), delivered


def _threads() -> set[str]:
    return set(os.listdir("/proc/self/task"))


def _set_timer_slack(threads: set[str], slack_ns: int) -> bool:
    """Gives other threads of this process another timer slack (needs CAP_SYS_NICE); False when
    the system refuses."""
    try:
        for tid in threads:
            with open(f"/proc/{tid}/timerslack_ns", "w") as slack:
                slack.write(str(slack_ns))
    except OSError:
        return False
    return True


@functools.cache
def _can_set_timer_slack() -> bool:
    """Whether `_set_timer_slack` may change another thread's slack here (tried on a thread of
    our own, which keeps the slack it had)."""
    done = threading.Event()
    helper = threading.Thread(target=done.wait)
    helper.start()
    try:
        assert helper.native_id is not None
        with open(f"/proc/{helper.native_id}/timerslack_ns") as slack:
            return _set_timer_slack({str(helper.native_id)}, int(slack.read()))
    except OSError:
        return False
    finally:
        done.set()
        helper.join()


def _one_size(implementation: type, tasks: int, config: Any, monitor: StopLineMonitor,
              slack_ns: int | None = None) -> dict[str, Any]:
    """Runs N tasks and returns what was measured, stamps included; `_figures` sums it up.
    With `slack_ns`, the workers sleep with that timer slack from the end of the warm-up on."""
    probes = [Probe() for _ in range(tasks)]
    scheduler = implementation()
    for probe in probes:
        scheduler.schedule(probe.call, INTERVAL)
    gc.collect()
    rss_before = rss_bytes()
    since = monitor.mark()
    threads_before = _threads()

    started = now_ns()
    scheduler.start()
    start_ns = now_ns() - started

    time.sleep(config.scale_warmup_s)
    if slack_ns is not None:
        # Every worker has set its own slack by now; the next sleep of each takes the new one.
        _set_timer_slack(_threads() - threads_before, slack_ns)
        time.sleep(2 * INTERVAL)
    rss_running = rss_bytes()
    window_start = now_ns()
    window = CpuWindow()
    time.sleep(config.scale_window_s)
    window_end = now_ns()
    window.stop()
    scheduler.shutdown()
    stopped = monitor.wait_for_count(tasks, since, timeout=10)
    return {
        "tasks": tasks,
        "start_ns": start_ns,
        "window": (window_start, window_end),
        "cpu": window,
        "rss_kib_per_task": (rss_running - rss_before) / tasks / 1024,
        "stop_lines": stopped,
        "stamps": [list(probe.stamps) for probe in probes],
    }


def _figures(run: dict[str, Any], fastest_wake: float) -> dict[str, Any]:
    interval_ns = round(INTERVAL * 1e9)
    window_start, window_end = run["window"]
    lateness: list[int] = []
    delivered = demanded = made = 0
    never_called = 0
    for stamps in run["stamps"]:
        made += sum(1 for stamp in stamps if window_start < stamp <= window_end)
        if not stamps:
            never_called += 1
            # A task that never ran owes every grid point of the window.
            demanded += (window_end - window_start) // interval_ns
            continue
        due, got = _window_figures(stamps, window_start, window_end, interval_ns, fastest_wake,
                                   lateness)
        demanded += due
        delivered += got
    lateness.sort()
    window = run["cpu"]
    return {
        "tasks": run["tasks"],
        "start_ms": run["start_ns"] / 1e6,
        "demanded": demanded,
        "delivered": delivered,
        "delivered_ratio": delivered / demanded if demanded else math.nan,
        "p99_lateness_us": percentile(lateness, 99) / 1e3,
        "max_lateness_us": (lateness[-1] / 1e3) if lateness else math.nan,
        "calls_made": made,
        "cpu_ns_per_call": window.cpu_ns / made if made else math.nan,
        "cpu_share_of_one_core": window.cpu_ns / window.wall_ns,
        "rss_kib_per_task": run["rss_kib_per_task"],
        "never_called": never_called,
        "stop_lines": run["stop_lines"],
    }


def _native_floor(tasks: int, config: Any, floor: Any) -> tuple[dict[str, Any], float]:
    """N C threads sleeping on 10 ms grids of their own: the wake-ups alone, no interpreter.
    Returns the row and the fastest wake-up (ns) the estimator takes for N tasks."""
    interval_ns = round(INTERVAL * 1e9)
    count = max(2, round(config.scale_window_s / INTERVAL))
    started = now_ns()
    flat, cpu_ns = floor.sleepers(tasks, INTERVAL, count)
    wall_ns = now_ns() - started
    truth = [flat[i * count:(i + 1) * count] for i in range(tasks)]
    fastest = fastest_wake_ns(truth)
    # The floor's origins withheld as for every other runner: each thread's wake-up times on a
    # grid of origin 0, placed again by the estimator.
    lateness = sorted(value for run in truth
                      for value in grid_lateness([late + (k + 1) * interval_ns
                                                  for k, late in enumerate(run)],
                                                 interval_ns, fastest, first_index=1))
    return {
        "tasks": tasks,
        "p99_lateness_us": percentile(lateness, 99) / 1e3,
        "max_lateness_us": lateness[-1] / 1e3,
        "fastest_wake_us": fastest / 1e3,
        "cpu_ns_per_call": cpu_ns / len(lateness),
        "cpu_share_of_one_core": cpu_ns / wall_ns,
    }, fastest


def _noop() -> None:
    pass


# The cost ladder: each step adds one of a worker's costs to the one before.
LADDER = (
    ("floor: sleep, 50 us slack", {"slack_ns": 50_000}),
    ("floor: + lock and call", {"callable": _noop}),
    ("floor: + lock queue", {"callable": _noop, "queue": True}),
    ("floor: + spin for the call ahead", {"callable": _noop, "queue": True, "spin_ahead": True}),
    ("floor: + hand-over request", {"callable": _noop, "queue": True, "spin_ahead": True,
                                    "ask_main": True}),
)


def _ladder_step(tasks: int, config: Any, floor: Any, options: dict[str, Any]) -> dict[str, Any]:
    count = max(2, round(config.scale_window_s / INTERVAL))
    started = now_ns()
    flat, cpu_ns = floor.sleepers(tasks, INTERVAL, count, **options)
    wall_ns = now_ns() - started
    flat.sort()
    return {
        "tasks": tasks,
        "p99_lateness_us": percentile(flat, 99) / 1e3,
        "max_lateness_us": flat[-1] / 1e3,
        "cpu_ns_per_call": cpu_ns / len(flat),
        "cpu_share_of_one_core": cpu_ns / wall_ns,
    }


def _one_round(tasks: int, config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    by_impl = {name: _one_size(implementation, tasks, config, monitor)
               for name, implementation in IMPLEMENTATIONS.items()}
    if _can_set_timer_slack():
        by_impl[METRONYX_DEFAULT_SLACK] = _one_size(metronyx.Scheduler, tasks, config, monitor,
                                                    DEFAULT_SLACK_NS)
    floor_row, fastest = _native_floor(tasks, config, floor)
    rows = {name: _figures(measured, fastest) for name, measured in by_impl.items()}
    rows[NATIVE_FLOOR] = floor_row
    for name, options in LADDER:
        rows[name] = _ladder_step(tasks, config, floor, options)
    return rows


def _ratios(rounds: list[dict[str, Any]]) -> dict[str, float]:
    """metronyx against PyScheduler and the floor (and, where measured, metronyx with 50 us slack
    against PyScheduler), each the median of the per-round ratios."""
    ratios: dict[str, float] = {}
    for stat in ("cpu_ns_per_call", "p99_lateness_us"):
        for other in ("PyScheduler", NATIVE_FLOOR):
            values = [row["metronyx"][stat] / row[other][stat] for row in rounds
                      if row[other][stat] > 0]
            ratios[f"{stat} / {other}"] = statistics.median(values) if values else math.nan
        values = [row[METRONYX_DEFAULT_SLACK][stat] / row["PyScheduler"][stat] for row in rounds
                  if METRONYX_DEFAULT_SLACK in row and row["PyScheduler"][stat] > 0]
        if values:
            ratios[f"{METRONYX_DEFAULT_SLACK}: {stat} / PyScheduler"] = statistics.median(values)
    return ratios


def _medians(rounds: list[dict[str, Any]]) -> dict[str, Any]:
    """Each runner's figures, every number the median over the rounds."""
    merged: dict[str, Any] = {}
    for name in rounds[0]:
        merged[name] = {}
        for key, value in rounds[0][name].items():
            values = [row[name][key] for row in rounds]
            numeric = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values)
            merged[name][key] = statistics.median(values) if numeric else value
    return merged


def run(config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    rounds: dict[str, list[dict[str, Any]]] = {str(tasks): [] for tasks in config.scale_sizes}
    for _ in range(config.scale_rounds):
        for tasks in config.scale_sizes:
            rounds[str(tasks)].append(_one_round(tasks, config, monitor, floor))
    results = {size: {**_medians(measured), "ratios": _ratios(measured)}
               for size, measured in rounds.items()}
    return {"interval_s": INTERVAL, "window_s": config.scale_window_s,
            "rounds": config.scale_rounds, "sizes": results}
