"""Where the slowest busy-main calls lose their time: the hand-over trace.

Needs the trace build (`scripts/bench.sh --trace-handoff [VERSION]` makes it and runs this). The
main thread is busy in Python bytecode, as in the lateness section's busy rows, while one task
calls a probe at 1 ms and at 10 ms. The worker stamps each call on its way (due, woke, turn,
asked, offered, granted, called: `metronyx._handoff_trace()`), and this prints, for the slowest
1 % of calls by lateness (called - due), the median and the worst of each step, the outcomes,
which step was each call's longest, and how many of those calls woke, or were granted the lock,
on the main thread's processor. The same for all calls, for comparison; then every call late by
`--late-ms` or more, step by step. The stamps come from the worker's own clock, so no grid
estimate enters. `--intervals 10 --runs 40 --calls 2500` traces 20,000 calls at 10 ms, enough to
catch the rare ones.

`--first-calls N` looks at one case instead: the first three calls of a task started while the
main thread sleeps, which then turns busy (a program that starts its scheduler, then computes),
N times, each beside the native floor's first wake-ups in the same conditions.

`--beside-floor idle|busy` takes a task's lateness apart against the native floor without any grid
estimate: runs of metronyx and of the floor in turn, under the same load, and for each the p50, p90,
p99 and worst of the floor's wake-ups, of metronyx's own wake-ups (the same measure), and of the
steps metronyx takes after waking until the call begins.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
from collections import Counter
from typing import Any

import metronyx

from lateness import hold_main_thread
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


def one_run(interval: float, calls: int, load: str = "busy") -> list[dict[str, int]]:
    metronyx._handoff_trace()  # forget what earlier runs left
    probe = Probe(calls)
    scheduler = metronyx.Scheduler()
    task_id = scheduler.schedule(probe.call, interval)
    scheduler.start()
    hold_main_thread(probe, load, calls, interval)
    scheduler.cancel(task_id)
    records = metronyx._handoff_trace()
    return records[1:calls]  # call 0 measures the thread's start, not a wake-up


def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def call_steps(record: dict[str, int]) -> dict[str, float]:
    """One call's lateness and the steps it went through, in us (steps it never reached left out)."""
    steps = {"lateness": (record["called"] - record["due"]) / 1e3}
    for name, start, end in STEPS:
        if name == "lock (no offer)" and record["offers"]:
            continue
        if record[start] and record[end]:
            steps[name] = (record[end] - record[start]) / 1e3
    return steps


def longest_step(record: dict[str, int]) -> str:
    steps = call_steps(record)
    del steps["lateness"]
    return max(steps, key=steps.__getitem__)


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
                       "p99_us": quantile(spans, 0.99), "worst_us": max(spans, default=float("nan"))}
    longest = Counter(longest_step(r) for r in records)
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
        # Woken on the processor where the main thread then answered: the wake-up waited for the
        # busy main thread to be preempted, or for the worker to be moved.
        "woke on the main thread's processor": sum(
            1 for r in records if r["offers"] and r["woke_cpu"] == r["main_cpu"] >= 0),
        # Which step took most of each call's time: where a rare long call lost it.
        "longest step": {name: longest[name] for name, _, _ in STEPS if longest[name]},
    }


def report(label: str, figures: dict[str, Any]) -> None:
    print(f"  {label}: {figures['calls']} calls, lateness p50 {figures['lateness_p50_us']:.1f} us,"
          f" worst {figures['lateness_worst_us']:.1f} us")
    for name, step in figures["steps"].items():
        print(f"    {name:<24} p50 {step['p50_us']:9.1f} us   p99 {step['p99_us']:9.1f} us"
              f"   worst {step['worst_us']:9.1f} us"
              f"   ({step['calls']} calls)")
    outcomes = ", ".join(f"{name} {count}" for name, count in figures["outcomes"].items())
    on_main = figures["granted on the main thread's processor"]
    woke_on_main = figures["woke on the main thread's processor"]
    print(f"    outcomes: {outcomes}; more than one offer {figures['more than one offer']};"
          f" granted on the main thread's processor {on_main}, woken there {woke_on_main}")
    longest = ", ".join(f"{name} {count}" for name, count in figures["longest step"].items())
    print(f"    longest step: {longest}")


FIRST_CALLS = 3


def first_calls(cycles: int, interval: float = 0.010) -> dict[str, Any]:
    """The first timed calls of a task started just after the main thread slept, which then turns
    busy (a program that starts its scheduler and then computes), beside the native floor's
    first wake-ups in the same conditions, the two taken in turn."""
    from lateness import true_lateness  # the benchmark's own helpers, beside this file
    from run import load_native_floor

    floor = load_native_floor()
    interval_ns = round(interval * 1e9)
    metronyx_wakes: list[tuple[float, bool]] = []  # wake-up lateness (us), woken on main's processor
    floor_wakes: list[float] = []
    for _ in range(cycles):
        time.sleep(0.12)
        for record in one_run(interval, FIRST_CALLS + 1)[:FIRST_CALLS]:
            metronyx_wakes.append(((record["woke"] - record["due"]) / 1e3,
                                   record["woke_cpu"] == record["main_cpu"] >= 0))
        time.sleep(0.12)
        floor.sleep_start(interval, FIRST_CALLS)
        spin_until(floor.sleep_done)
        origin, woke = floor.sleep_finish()
        floor_wakes += [late / 1e3 for late in true_lateness(origin, woke, interval_ns)]
    slow = [on_main for wake, on_main in metronyx_wakes if wake >= 1000]
    return {
        "cycles": cycles, "calls": len(metronyx_wakes),
        "metronyx woke 1 ms late or more": len(slow),
        "of those, woken on the main thread's processor": sum(slow),
        "floor woke 1 ms late or more": sum(1 for wake in floor_wakes if wake >= 1000),
        "metronyx worst wake-up us": max(wake for wake, _ in metronyx_wakes),
        "floor worst wake-up us": max(floor_wakes),
    }


def beside_floor(interval: float, runs: int, calls: int, load: str) -> dict[str, Any]:
    """Where metronyx's lateness comes from, beside the native floor's wake-ups taken in turn
    under the same load, with no grid estimate on either side: the worker's wake-up (woke - due,
    the same measure as the floor's), and what the worker adds after it until the call begins
    (called - woke: the queue turn, the request, the hand-over, taking the lock). The two runners
    alternate run by run, so slow changes of the machine reach both alike."""
    from lateness import floor_run, true_lateness
    from run import load_native_floor

    floor = load_native_floor()
    interval_ns = round(interval * 1e9)
    floor_wakes: list[float] = []
    wakes: list[float] = []
    added: list[float] = []
    lateness: list[float] = []
    for _ in range(runs):
        for record in one_run(interval, calls, load):
            wakes.append((record["woke"] - record["due"]) / 1e3)
            added.append((record["called"] - record["woke"]) / 1e3)
            lateness.append((record["called"] - record["due"]) / 1e3)
        origin, woke = floor_run(floor, interval, calls - 1, load)
        floor_wakes += [late / 1e3 for late in true_lateness(origin, woke, interval_ns)]
    quantiles = (0.5, 0.9, 0.99)
    return {name: {**{f"p{q * 100:g}_us": quantile(values, q) for q in quantiles},
                   "worst_us": max(values), "calls": len(values)}
            for name, values in (("floor's wake-up", floor_wakes), ("metronyx's wake-up", wakes),
                                 ("metronyx's own steps", added), ("metronyx's lateness", lateness))}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=8)
    parser.add_argument("--calls", type=int, default=250, help="calls per run at 1 ms (10 ms: a fifth)")
    parser.add_argument("--intervals", default="1,10",
                        help="intervals to trace, in ms, comma-separated (default: 1,10)")
    parser.add_argument("--late-ms", type=float, default=5.0,
                        help="list every call late by this much or more, step by step (default: 5)")
    parser.add_argument("--first-calls", type=int, metavar="CYCLES",
                        help="instead: the first calls of a task started after the main thread"
                             " slept, CYCLES times, beside the native floor")
    parser.add_argument("--beside-floor", choices=("idle", "busy"),
                        help="instead: metronyx's wake-ups and its own steps beside the native"
                             " floor's wake-ups, taken in turn, with the main thread idle or busy")
    parser.add_argument("--output", help="write the figures as JSON here")
    args = parser.parse_args()
    if not hasattr(metronyx, "_handoff_trace"):
        print("this is not the trace build: run scripts/bench.sh --trace-handoff", file=sys.stderr)
        return 2
    results: dict[str, Any] = {"python": platform.python_version()}
    chosen = {float(ms) for ms in args.intervals.split(",") if ms}
    plan = [(interval, calls) for interval, calls in ((0.001, args.calls),
                                                       (0.010, max(10, args.calls // 5)))
            if interval * 1e3 in chosen]
    if args.first_calls:
        print(f"CPython {platform.python_version()}, the first {FIRST_CALLS} calls at 10 ms of a"
              f" task started after the main thread slept, {args.first_calls} times")
        results["first calls"] = first_calls(args.first_calls)
        for name, value in results["first calls"].items():
            print(f"  {name}: {value:.0f}")
        plan = []
    elif args.beside_floor:
        print(f"CPython {platform.python_version()}, {args.runs} runs beside the native floor,"
              f" main thread {args.beside_floor}")
        for interval, calls in plan:
            figures = beside_floor(interval, args.runs, calls, args.beside_floor)
            label = f"{interval * 1e3:g} ms"
            results[f"{label} beside the floor"] = figures
            print(f"{label}:")
            for name, row in figures.items():
                print(f"  {name:<22} p50 {row['p50_us']:8.1f}  p90 {row['p90_us']:8.1f}"
                      f"  p99 {row['p99_us']:8.1f}  worst {row['worst_us']:8.1f} us"
                      f"  ({row['calls']} calls)")
        plan = []
    else:
        print(f"CPython {platform.python_version()}, {args.runs} runs, main thread busy")
    for interval, calls in plan:
        records: list[dict[str, int]] = []
        for _ in range(args.runs):
            records += one_run(interval, calls)
        records.sort(key=lambda r: r["called"] - r["due"])
        slowest = records[-max(1, len(records) // 100):]
        label = f"{interval * 1e3:g} ms"
        print(f"{label}:")
        late = [call_steps(r) for r in records if r["called"] - r["due"] >= args.late_ms * 1e6]
        results[label] = {"slowest 1%": breakdown(slowest), "all": breakdown(records),
                          f"late by {args.late_ms:g} ms or more": late}
        report("slowest 1 %", results[label]["slowest 1%"])
        report("all calls", results[label]["all"])
        print(f"  {len(late)} calls late by {args.late_ms:g} ms or more" + (":" if late else ""))
        for steps in late:
            print("    " + ", ".join(f"{name} {value:.1f}" for name, value in steps.items()))
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
