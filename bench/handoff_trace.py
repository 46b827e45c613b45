"""Where the slowest busy-main calls lose their time: the hand-over trace.

Needs the trace build (`scripts/bench.sh --trace-handoff [VERSION]` makes it and runs this). The
main thread is busy in Python bytecode, as in the lateness section's busy rows, while one task
calls a probe at 1 ms and at 10 ms. The worker stamps each call on its way (due, woke, turn,
asked, offered, granted, called: `metronyx._handoff_trace()`), and this prints, for the slowest
1 % of calls by lateness (called - due), the median and the worst of each step, the outcomes and
how many of those calls were granted the lock on the main thread's processor. The same for all
calls, for comparison. The stamps come from the worker's own clock, so no grid estimate enters.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
from typing import Any

import metronyx

from measure import Probe, spin_until

STEPS = (
    ("wake-up", "due", "woke"),
    ("queue turn", "woke", "turn"),
    ("ask", "turn", "requested"),
    ("answer (first offer)", "requested", "first_offer"),
    ("take after last offer", "last_offer", "granted"),
    ("lock (no offer)", "requested", "granted"),
    ("granted to call", "granted", "called"),
)
OUTCOMES = {1: "spun for offer", 2: "spin ran out", 4: "took an offer", 8: "offers ran out",
            16: "pending call found no request"}


def one_run(interval: float, calls: int) -> list[dict[str, int]]:
    metronyx._handoff_trace()  # forget what earlier runs left
    probe = Probe(calls)
    scheduler = metronyx.Scheduler()
    task_id = scheduler.schedule(probe.call, interval)
    scheduler.start()
    while not probe.stamps:
        time.sleep(0.0002)
    spin_until(probe.done.is_set)
    scheduler.cancel(task_id)
    records = metronyx._handoff_trace()
    return records[1:calls]  # call 0 measures the thread's start, not a wake-up


def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def breakdown(records: list[dict[str, int]]) -> dict[str, Any]:
    steps: dict[str, Any] = {}
    for name, start, end in STEPS:
        if name == "lock (no offer)":
            chosen = [r for r in records if r["offers"] == 0]
        elif start in ("first_offer", "last_offer") or end == "first_offer":
            chosen = [r for r in records if r["offers"] > 0]
        else:
            chosen = records
        spans = [(r[end] - r[start]) / 1e3 for r in chosen if r[start] and r[end]]
        steps[name] = {"calls": len(spans), "p50_us": quantile(spans, 0.5),
                       "worst_us": max(spans, default=float("nan"))}
    outcomes = {label: sum(1 for r in records if r["outcome"] & bit)
                for bit, label in OUTCOMES.items()}
    return {
        "calls": len(records),
        "lateness_p50_us": quantile([(r["called"] - r["due"]) / 1e3 for r in records], 0.5),
        "lateness_worst_us": max(((r["called"] - r["due"]) / 1e3 for r in records),
                                 default=float("nan")),
        "steps": steps,
        "outcomes": outcomes,
        "more than one offer": sum(1 for r in records if r["offers"] > 1),
        "granted on the main thread's processor": sum(
            1 for r in records if r["offers"] and r["worker_cpu"] == r["main_cpu"] >= 0),
    }


def report(label: str, figures: dict[str, Any]) -> None:
    print(f"  {label}: {figures['calls']} calls, lateness p50 {figures['lateness_p50_us']:.1f} us,"
          f" worst {figures['lateness_worst_us']:.1f} us")
    for name, step in figures["steps"].items():
        print(f"    {name:<24} p50 {step['p50_us']:9.1f} us   worst {step['worst_us']:9.1f} us"
              f"   ({step['calls']} calls)")
    outcomes = ", ".join(f"{name} {count}" for name, count in figures["outcomes"].items())
    on_main = figures["granted on the main thread's processor"]
    print(f"    outcomes: {outcomes}; more than one offer {figures['more than one offer']};"
          f" on the main thread's processor {on_main}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--calls", type=int, default=250, help="calls per run at 1 ms (10 ms: a fifth)")
    parser.add_argument("--output", help="write the figures as JSON here")
    args = parser.parse_args()
    if not hasattr(metronyx, "_handoff_trace"):
        print("this is not the trace build: run scripts/bench.sh --trace-handoff", file=sys.stderr)
        return 2
    print(f"CPython {platform.python_version()}, {args.runs} runs, main thread busy")
    results: dict[str, Any] = {"python": platform.python_version()}
    for interval, calls in ((0.001, args.calls), (0.010, max(10, args.calls // 5))):
        records: list[dict[str, int]] = []
        for _ in range(args.runs):
            records += one_run(interval, calls)
        records.sort(key=lambda r: r["called"] - r["due"])
        slowest = records[-max(1, len(records) // 100):]
        label = f"{interval * 1e3:g} ms"
        print(f"{label}:")
        results[label] = {"slowest 1%": breakdown(slowest), "all": breakdown(records)}
        report("slowest 1 %", results[label]["slowest 1%"])
        report("all calls", results[label]["all"])
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
