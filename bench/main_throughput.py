"""Section 6: what periodic calls cost a busy main thread.

The main thread runs the same busy loop of Python bytecode as in the lateness section for a fixed
window and counts its rounds, while N tasks at 1 ms call a probe in the background: none (the
baseline), or 1 or 10 metronyx tasks, or 1 or 10 anchored `time.sleep` loops in Python threads
(the best pure-Python peer). The loss is the drop of the main thread's rounds per second from a
baseline window run just before it, so that load from elsewhere, which comes and goes over seconds,
reaches both sides of each comparison alike. Beside it, the calls the tasks made in the window
against the calls due: a scheduler that leaves its calls waiting for the lock costs the main thread
little, and this column shows it.

Rounds take the variants in rotating order; each figure is the median of its rounds.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import metronyx

from measure import Probe, StopLineMonitor, median, now_ns, spin_until
from peers import anchored_sleep_loop

INTERVAL = 0.001
BASELINE = "no periodic task"


def _metronyx(probes: list[Probe], monitor: StopLineMonitor) -> Callable[[], None]:
    scheduler = metronyx.Scheduler()
    for probe in probes:
        scheduler.schedule(probe.call, INTERVAL)
    since = monitor.mark()
    scheduler.start()

    def stop() -> None:
        scheduler.shutdown()
        if monitor.wait_for_count(len(probes), since, timeout=10) < len(probes):
            raise RuntimeError("metronyx tasks did not all print their stop lines")

    return stop


def _peer_threads(probes: list[Probe], monitor: StopLineMonitor) -> Callable[[], None]:
    stops = [anchored_sleep_loop(probe.call, INTERVAL, monitor) for probe in probes]

    def stop() -> None:
        for each in stops:
            each()

    return stop


VARIANTS: dict[str, tuple[int, Callable[[list[Probe], StopLineMonitor], Callable[[], None]]]] = {
    BASELINE: (0, _peer_threads),
    "1 metronyx task": (1, _metronyx),
    "10 metronyx tasks": (10, _metronyx),
    "1 anchored sleep loop": (1, _peer_threads),
    "10 anchored sleep loops": (10, _peer_threads),
}


def _one_window(tasks: int, starter: Callable[[list[Probe], StopLineMonitor], Callable[[], None]],
                config: Any, monitor: StopLineMonitor) -> tuple[float, float]:
    """Runs the busy loop for a window with `tasks` tasks running; returns its rounds per second
    and the share of the tasks' due calls that were made in the window."""
    probes = [Probe() for _ in range(tasks)]
    stop = starter(probes, monitor)
    try:
        warm_until = now_ns() + round(config.throughput_warmup_s * 1e9)
        spin_until(lambda: now_ns() >= warm_until)
        made_before = sum(len(probe.stamps) for probe in probes)
        started = now_ns()
        end = started + round(config.throughput_window_s * 1e9)
        rounds = spin_until(lambda: now_ns() >= end)
        elapsed = now_ns() - started
        made = sum(len(probe.stamps) for probe in probes) - made_before
    finally:
        stop()
    due = tasks * elapsed / (INTERVAL * 1e9)
    return rounds / (elapsed / 1e9), (made / due if due else 1.0)


def run(config: Any, monitor: StopLineMonitor) -> dict[str, Any]:
    names = [name for name in VARIANTS if name != BASELINE]
    rates: dict[str, list[float]] = {name: [] for name in VARIANTS}
    delivered: dict[str, list[float]] = {name: [] for name in VARIANTS}
    losses: dict[str, list[float]] = {name: [] for name in VARIANTS}
    for round_index in range(config.throughput_rounds):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            for measured in (BASELINE, name):
                tasks, starter = VARIANTS[measured]
                rate, share = _one_window(tasks, starter, config, monitor)
                rates[measured].append(rate)
                delivered[measured].append(share)
            losses[name].append(1 - rates[name][-1] / rates[BASELINE][-1])
    losses[BASELINE] = [0.0]
    return {
        "interval_s": INTERVAL,
        "window_s": config.throughput_window_s,
        "variants": {
            name: {
                "tasks": VARIANTS[name][0],
                "rounds_per_s": median(rates[name]),
                "loss": median(losses[name]),
                "delivered_ratio": median(delivered[name]),
            }
            for name in VARIANTS
        },
    }
