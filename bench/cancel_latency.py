"""Section 5: how long `cancel` takes to stop a running task.

A task is started, left to make a few calls, and cancelled at a random point of its interval; the
latency runs from the `cancel` call to the arrival of its stop line on fd 1 (read through a pipe,
see `StopLineMonitor`). A worker notices the cancellation at the top of its loop, that is when its
current sleep ends, so most of the latency is the rest of the interval. What the scheduler itself
adds is the time from the due point of the call that was not made (or from `cancel`, if that is
later) to the stop line: "after due" below. The same is measured for `PyScheduler`, which has the
same semantics.
"""

from __future__ import annotations

import random
import time
from typing import Any

import metronyx

from measure import Probe, StopLineMonitor, now_ns, percentile
from peers import PyScheduler

INTERVALS = (0.001, 0.010)
IMPLEMENTATIONS = {"metronyx": metronyx.Scheduler, "PyScheduler": PyScheduler}
CALLS_BEFORE_CANCEL = 3


def _one_sample(implementation: type, interval: float, monitor: StopLineMonitor,
                rng: random.Random) -> tuple[int, int]:
    probe = Probe(CALLS_BEFORE_CANCEL)
    scheduler = implementation()
    task_id = scheduler.schedule(probe.call, interval)
    since = monitor.mark()
    scheduler.start()
    if not probe.done.wait(timeout=5):
        raise RuntimeError("the task did not start calling")
    time.sleep(rng.uniform(0, interval))
    cancelled = now_ns()
    scheduler.cancel(task_id)
    arrived = monitor.wait_for_line(f"Task id:{task_id} stopped.", since, timeout=5 + 2 * interval)
    if arrived is None:
        raise RuntimeError("no stop line after cancel")
    stamps = list(probe.stamps)
    # The call that the stop replaced was due one interval after the last call's grid point.
    skipped_due = stamps[0] + round(len(stamps) * interval * 1e9)
    return arrived - cancelled, arrived - max(skipped_due, cancelled)


def run(config: Any, monitor: StopLineMonitor) -> dict[str, Any]:
    rng = random.Random(8)
    results: dict[str, Any] = {}
    for interval in INTERVALS:
        per_impl: dict[str, Any] = {}
        samples: dict[str, list[tuple[int, int]]] = {name: [] for name in IMPLEMENTATIONS}
        for _ in range(config.cancel_samples):
            for name, implementation in IMPLEMENTATIONS.items():
                samples[name].append(_one_sample(implementation, interval, monitor, rng))
        for name, pairs in samples.items():
            latency = sorted(pair[0] for pair in pairs)
            after_due = sorted(pair[1] for pair in pairs)
            per_impl[name] = {
                "p50_us": percentile(latency, 50) / 1e3,
                "p99_us": percentile(latency, 99) / 1e3,
                "max_us": latency[-1] / 1e3,
                "after_due_p50_us": percentile(after_due, 50) / 1e3,
                "after_due_max_us": after_due[-1] / 1e3,
                "samples": len(pairs),
            }
        results[f"{interval * 1e3:g} ms"] = {"interval_s": interval, **per_impl}
    return results
