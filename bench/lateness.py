"""Section 1: lateness against the fixed-rate grid.

Each scheduler calls the same probe, which stamps the time of every call. Call k is due at the
grid's anchor plus k intervals, and its lateness is its stamp minus that due time. Every runner
anchors its grid just before its first call. For the peers that is the first call's stamp; a
metronyx worker sets up its thread state between reading its clock and its first call, so its
anchor is the first stamp less the median of that start-up delay, sampled all through the section
with the native helper (`start_offset_us` in the JSON). See `measure.grid_lateness`.

Runs alternate between the runners in rotating order, so slow changes of the machine's load reach
all of them alike; samples are pooled over the rounds. The last-call error is the lateness of the
last call of a run (median of the runs; the worst is in the JSON): it stays small on a drift-free
grid and grows with the number of calls on a drifting one. The drift is the fitted trend of
lateness over a run, which one late call cannot disturb.

The main thread is either idle (waiting on an event) or busy in Python bytecode, holding the
interpreter lock except when the interpreter's switch interval makes it hand the lock over. It
turns busy once the first call has been made, so every runner starts alike.

The native sleep floor is the wake-up lateness of a C thread with 1 ns timer slack sleeping to the
same absolute deadlines, without the interpreter: the least this machine allows.
"""

from __future__ import annotations

import time
from typing import Any

from measure import (Probe, StopLineMonitor, grid_lateness, lateness_summary, median,
                     spin_until, worker_start_delays_ns)
from peers import PERIODIC_PEERS, metronyx_task

INTERVALS = (0.001, 0.010)
LOADS = ("idle", "busy")
NATIVE_FLOOR = "native sleep floor"


def interval_label(interval: float) -> str:
    return f"{interval * 1e3:g} ms"


def _one_run(runner, interval: float, calls: int, load: str, monitor: StopLineMonitor) -> list[int]:
    probe = Probe(calls)
    stop = runner(probe.call, interval, monitor)
    try:
        if load == "busy":
            while not probe.stamps:
                time.sleep(0.0002)
            spin_until(probe.done)
        else:
            probe.done.wait(timeout=5 + 20 * calls * interval)
    finally:
        stop()
    if len(probe.stamps) < calls:
        raise RuntimeError(f"{runner.__name__}: only {len(probe.stamps)} of {calls} calls arrived")
    return probe.stamps[:calls]


def run(config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    runners = {"metronyx": metronyx_task, **PERIODIC_PEERS}
    start_delays: list[int] = []
    results: dict[str, Any] = {}
    # metronyx's runs are kept as stamps until the end: their anchor needs the median start-up
    # delay of the whole section.
    pending: list[tuple[list[list[int]], int, list[int]]] = []
    for interval in INTERVALS:
        interval_ns = round(interval * 1e9)
        label = interval_label(interval)
        per_load: dict[str, Any] = {}
        for load in LOADS:
            calls = (config.lateness_calls if load == "idle" else config.lateness_calls_busy)[label]
            names = list(runners) + ([NATIVE_FLOOR] if load == "idle" else [])
            runs: dict[str, list[list[int]]] = {name: [] for name in names}
            for round_index in range(config.lateness_rounds):
                start_delays += worker_start_delays_ns(floor, config.start_delay_samples)
                shift = round_index % len(names)
                for name in names[shift:] + names[:shift]:
                    if name == NATIVE_FLOOR:
                        runs[name].append([0, *floor.sleep_lateness(interval, calls - 1)])
                    elif name == "metronyx":
                        stamps = _one_run(runners[name], interval, calls, load, monitor)
                        pending.append((runs[name], interval_ns, stamps))
                    else:
                        stamps = _one_run(runners[name], interval, calls, load, monitor)
                        runs[name].append(grid_lateness(stamps, interval_ns))
            per_load[load] = {"calls_per_run": calls, "runs": runs}
        results[label] = {"interval_s": interval, **per_load}

    start_offset = round(median(start_delays))
    for into, interval_ns, stamps in pending:
        into.append(grid_lateness(stamps, interval_ns, start_offset))
    for by_load in results.values():
        for load in LOADS:
            runs = by_load[load].pop("runs")
            by_load[load].update({name: lateness_summary(runs[name]) for name in runs})
    return {"start_offset_us": start_offset / 1e3, **results}
