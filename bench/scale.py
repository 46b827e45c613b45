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
threads pass through one at a time while they ask for the lock; a pending call posted to the main
thread before each call. Each step's CPU per call less the one before is that cost.

Every size is measured `scale_rounds` times, the sizes taken in turn, and each figure is the
median over the rounds; the ratios of metronyx to PyScheduler and to the floor are medians of the
per-round ratios.
"""

from __future__ import annotations

import gc
import math
import statistics
import time
from typing import Any

import metronyx

from measure import (CpuWindow, Probe, StopLineMonitor, fastest_wake_ns, grid_lateness, now_ns,
                     percentile, rss_bytes)
from peers import PyScheduler

INTERVAL = 0.010
IMPLEMENTATIONS = {"metronyx": metronyx.Scheduler, "PyScheduler": PyScheduler}
NATIVE_FLOOR = "native sleep floor"


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


def _one_size(implementation: type, tasks: int, config: Any,
              monitor: StopLineMonitor) -> dict[str, Any]:
    """Runs N tasks and returns what was measured, stamps included; `_figures` sums it up."""
    probes = [Probe() for _ in range(tasks)]
    scheduler = implementation()
    for probe in probes:
        scheduler.schedule(probe.call, INTERVAL)
    gc.collect()
    rss_before = rss_bytes()
    since = monitor.mark()

    started = now_ns()
    scheduler.start()
    start_ns = now_ns() - started

    time.sleep(config.scale_warmup_s)
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
    ("floor: + hand-over request", {"callable": _noop, "queue": True, "ask_main": True}),
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
    floor_row, fastest = _native_floor(tasks, config, floor)
    rows = {name: _figures(measured, fastest) for name, measured in by_impl.items()}
    rows[NATIVE_FLOOR] = floor_row
    for name, options in LADDER:
        rows[name] = _ladder_step(tasks, config, floor, options)
    return rows


def _ratios(rounds: list[dict[str, Any]]) -> dict[str, float]:
    """metronyx against PyScheduler and the floor, each the median of the per-round ratios."""
    ratios: dict[str, float] = {}
    for stat in ("cpu_ns_per_call", "p99_lateness_us"):
        for other in ("PyScheduler", NATIVE_FLOOR):
            values = [row["metronyx"][stat] / row[other][stat] for row in rounds
                      if row[other][stat] > 0]
            ratios[f"{stat} / {other}"] = statistics.median(values) if values else math.nan
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
