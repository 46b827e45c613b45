"""Section 1: lateness against the fixed-rate grid.

Each scheduler calls the same probe, which stamps the time of every call. Call k is due at the
grid's origin plus k intervals, and its lateness is its stamp minus that due time. No runner shows
its origin to the benchmark (metronyx's worker reads its clock before it sets up its thread state,
out of sight), so every runner's grid is placed by the same estimator, `measure.grid_origin`: the
run's fastest call is taken to be as late as the fastest wake-up of the native sleep floor in the
same conditions. The first call (k = 0) only bounds the origin: it measures thread start-up, not
waking to a deadline, and the floor has none, so the figures cover calls 1 on.

The native sleep floor is a C thread with 1 ns timer slack sleeping to absolute deadlines, without
the interpreter: the least this machine allows. It does know its origin, which is how the
estimator is checked (`check_estimator`): the floor is run with its origin withheld, and the
estimate must give back its true p50 and p99 within a few microseconds. The same is measured, and
reported, for a floor thread that takes the interpreter lock and calls the probe after each
wake-up, as a worker does: what the estimate misses there is what it misses for metronyx.

Runs alternate between the runners in rotating order, so slow changes of the machine's load reach
all of them alike; samples are pooled over the rounds. The last-call error is the lateness of the
last call of a run (median of the runs; the worst is in the JSON): it stays small on a drift-free
grid and grows with the number of calls on a drifting one. The drift is the fitted trend of
lateness over a run, which one late call cannot disturb. The spread (p99 - p50), the gap figure and
the drift do not depend on where the grid is placed.

The main thread is either idle (waiting on an event) or busy in Python bytecode, holding the
interpreter lock except when the interpreter's switch interval makes it hand the lock over. It
turns busy once the first call has been made (for the floor: at once), so every runner starts alike.

Whether the machine was quiet is measured too, not assumed: before and after the runs a native
thread that never sleeps reads the clock for a few seconds (`machine_stalls`), and the CPU time the
hypervisor stole over the section is read from the kernel. A gap in that thread's readings is time
in which nothing on that CPU ran; a call due then is late by the gap whatever runs it, so a worst
call of that size is the machine's.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from typing import Any

from measure import (Probe, StopLineMonitor, fastest_wake_near_ns, fastest_wake_ns, grid_lateness,
                     lateness_summary, now_ns, percentile, spin_until, stall_summary, stolen_ms)
from peers import PERIODIC_PEERS, metronyx_task

INTERVALS = (0.001, 0.010)
LOADS = ("idle", "busy")
NATIVE_FLOOR = "native sleep floor"
# How close the estimator must come to the floor's true p50 and p99, in us, or as a share of the
# true figure where that is larger. The p99 of a few hundred calls is one call of one run, so it
# carries that run's whole estimation error where the p50 averages over runs; when load from
# elsewhere makes a whole run wake late, that error reaches tens of us, against a p99 of ms.
ESTIMATOR_TOLERANCE_US = {50: 5.0, 99: 8.0}
ESTIMATOR_TOLERANCE_SHARE = 0.01


def interval_label(interval: float) -> str:
    return f"{interval * 1e3:g} ms"


def hold_main_thread(probe: Probe, load: str, calls: int, interval: float) -> None:
    """The main thread's part of a run, until the probe has its `calls` calls: idle, waiting on the
    probe's event; or busy in bytecode from the first call on (see the module's docstring)."""
    if load == "busy":
        while not probe.stamps:
            time.sleep(0.0002)
        spin_until(probe.done.is_set)
    else:
        probe.done.wait(timeout=5 + 20 * calls * interval)


def _one_run(runner, interval: float, calls: int, load: str, monitor: StopLineMonitor) -> list[int]:
    probe = Probe(calls)
    stop = runner(probe.call, interval, monitor)
    try:
        hold_main_thread(probe, load, calls, interval)
    finally:
        stop()
    if len(probe.stamps) < calls:
        raise RuntimeError(f"{runner.__name__}: only {len(probe.stamps)} of {calls} calls arrived")
    return probe.stamps[:calls]


def floor_run(floor: Any, interval: float, wakeups: int, load: str,
              take_lock: bool = False) -> tuple[int, list[int]]:
    """One run of the native sleep floor: its origin and the times of wake-ups 1..`wakeups`; or,
    with `take_lock`, the times of the probe calls it makes under the interpreter lock after each
    wake-up, as a worker does."""
    probe = Probe() if take_lock else None
    floor.sleep_start(interval, wakeups, callable=probe.call if probe else None)
    if load == "busy":
        spin_until(floor.sleep_done)
    origin, woke = floor.sleep_finish()
    return origin, probe.stamps if probe else woke


def true_lateness(origin: int, stamps: list[int], interval_ns: int) -> list[int]:
    """Lateness of wake-ups 1.. against a known origin."""
    return [stamp - (origin + (k + 1) * interval_ns) for k, stamp in enumerate(stamps)]


def check_estimator(runs: list[tuple[int, list[int]]], interval_ns: int,
                    estimator: Callable[..., list[int]] = grid_lateness,
                    lock_runs: Sequence[tuple[int, list[int]]] = ()) -> dict[str, Any]:
    """The grid estimator, tried on runners whose origin is known.

    Each floor run is handed to the estimator (`grid_lateness`) with its origin withheld, and with
    the fastest wake-up taken from the runs before and after it only, as a metronyx run gets it from
    the floor's runs nearest in time; the pooled p50 and p99 that come out are compared with the
    true ones. An estimator that places the grid at the fastest call (lateness 0 there) is off by
    the whole wake-up floor and fails. `lock_runs` are runs of the floor that take the interpreter
    lock and call a probe after each wake-up, as a metronyx worker does, each made just after a
    plain run; they get the fastest wake-up of the plain runs nearest in time, as metronyx does, so
    their errors (under "taking the lock") show what metronyx's figures miss. Those are reported,
    not judged: one run's scatter reaches their p99 as it does the plain runs', on top of the cost
    of taking the lock, and a check that a loaded machine fails by chance would teach people to
    ignore it.
    """
    truth = [true_lateness(origin, stamps, interval_ns) for origin, stamps in runs]
    estimated = []
    for j, (_, stamps) in enumerate(runs):
        fastest = fastest_wake_near_ns(truth, j, leave_out=j)
        estimated += estimator(stamps, interval_ns, fastest, first_index=1)
    figures = _compared(truth, estimated)
    figures.update(runs=len(runs), calls_per_run=len(runs[0][1]))
    if lock_runs:
        figures["taking the lock"] = _compared(
            [true_lateness(origin, stamps, interval_ns) for origin, stamps in lock_runs],
            [value for j, (_, stamps) in enumerate(lock_runs)
             for value in estimator(stamps, interval_ns, fastest_wake_near_ns(truth, j),
                                    first_index=1)])
    return figures


def _compared(truth: list[list[int]], estimated: list[int]) -> dict[str, Any]:
    true_sorted = sorted(value for run in truth for value in run)
    estimated = sorted(estimated)
    figures: dict[str, Any] = {}
    within = True
    for q, least in ESTIMATOR_TOLERANCE_US.items():
        true_us = percentile(true_sorted, q) / 1e3
        estimated_us = percentile(estimated, q) / 1e3
        tolerance = max(least, ESTIMATOR_TOLERANCE_SHARE * abs(true_us))
        figures.update({f"true_p{q}_us": true_us, f"estimated_p{q}_us": estimated_us,
                        f"error_p{q}_us": estimated_us - true_us, f"tolerance_p{q}_us": tolerance})
        within = within and abs(estimated_us - true_us) <= tolerance
    figures["within_tolerance"] = within
    return figures


def machine_stalls(floor: Any, seconds: float) -> dict[str, Any]:
    """A native thread that never sleeps, for `seconds`: how often the machine kept it off its CPU
    for more than 0.5 and 1 ms, and the longest such gap. Run before and after the section's runs,
    never during them, where it would take a core from the runners."""
    gaps, _ = floor.stalls(seconds)
    return stall_summary(gaps, seconds)


def run(config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    stalls_before = machine_stalls(floor, config.stall_probe_s)
    stolen_at_start, started = stolen_ms(), now_ns()
    results = _runs(config, monitor, floor)
    stolen_at_end, section_s = stolen_ms(), (now_ns() - started) / 1e9
    results["machine"] = {
        "stalls_before": stalls_before,
        "stalls_after": machine_stalls(floor, config.stall_probe_s),
        "section_s": section_s,
        "stolen_ms": (None if stolen_at_start is None or stolen_at_end is None
                      else stolen_at_end - stolen_at_start),
    }
    return results


def _runs(config: Any, monitor: StopLineMonitor, floor: Any) -> dict[str, Any]:
    runners = {"metronyx": metronyx_task, **PERIODIC_PEERS}
    names = [*runners, NATIVE_FLOOR]
    results: dict[str, Any] = {}
    checks: dict[str, Any] = {}
    samples: dict[str, Any] = {}
    for label, (check_runs, check_calls) in config.estimator_check.items():
        interval = float(label.split()[0]) / 1e3
        runs, lock_runs = [], []
        for _ in range(check_runs):
            runs.append(floor_run(floor, interval, check_calls, "idle"))
            lock_runs.append(floor_run(floor, interval, check_calls, "idle", take_lock=True))
        checks[label] = check_estimator(runs, round(interval * 1e9), lock_runs=lock_runs)

    for interval in INTERVALS:
        interval_ns = round(interval * 1e9)
        label = interval_label(interval)
        per_load: dict[str, Any] = {}
        for load in LOADS:
            calls = (config.lateness_calls if load == "idle" else config.lateness_calls_busy)[label]
            stamps: dict[str, list[list[int]]] = {name: [] for name in runners}
            floor_truth: list[list[int]] = []
            floor_stamps: list[list[int]] = []
            for round_index in range(config.lateness_rounds):
                shift = round_index % len(names)
                for name in names[shift:] + names[:shift]:
                    if name == NATIVE_FLOOR:
                        origin, wakeups = floor_run(floor, interval, calls - 1, load)
                        floor_truth.append(true_lateness(origin, wakeups, interval_ns))
                        floor_stamps.append(wakeups)
                    else:
                        stamps[name].append(_one_run(runners[name], interval, calls, load,
                                                     monitor))
            # Every runner through the same estimator, the floor included; call 0 of the others
            # only bounds the origin (see the module's docstring).
            # Run r of every runner was made in round r, beside the floor's run r.
            lateness = {
                name: [grid_lateness(run, interval_ns, fastest_wake_near_ns(floor_truth, r))[1:]
                       for r, run in enumerate(runs)]
                for name, runs in stamps.items()}
            lateness[NATIVE_FLOOR] = [
                grid_lateness(run, interval_ns, fastest_wake_near_ns(floor_truth, r), first_index=1)
                for r, run in enumerate(floor_stamps)]
            per_load[load] = {
                "calls_per_run": calls - 1,
                "fastest_wake_us": fastest_wake_ns(floor_truth) / 1e3,
                **{name: lateness_summary(runs) for name, runs in lateness.items()},
            }
            samples.setdefault(label, {})[load] = {
                name: [round(value / 1e3, 1) for run in runs for value in run]
                for name, runs in lateness.items()}
        results[label] = {"interval_s": interval, **per_load}
    # Every call's lateness (us), for the picture `plot.py` draws.
    return {"estimator_check": checks, **results, "samples_us": samples}


def by_interval(lateness: dict[str, Any]) -> dict[str, Any]:
    """The per-interval parts of this section's results ("1 ms": {...}, ...)."""
    return {label: part for label, part in lateness.items()
            if isinstance(part, dict) and "interval_s" in part}
