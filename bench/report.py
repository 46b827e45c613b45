"""Turns the benchmark's results into goal verdicts and into tables (plain text and Markdown)."""

from __future__ import annotations

import math
from typing import Any

from lateness import ESTIMATOR_TOLERANCE_SHARE, ESTIMATOR_TOLERANCE_US, LOADS, by_interval
from lateness import NATIVE_FLOOR as LATENESS_FLOOR
from peers import PERIODIC_PEERS
from scale import METRONYX_DEFAULT_SLACK, NATIVE_FLOOR

# ---- Goals ---------------------------------------------------------------------------------------


def _goal(name: str, measured: str, target: str, met: bool) -> dict[str, Any]:
    return {"goal": name, "measured": measured, "target": target, "met": bool(met)}


def _estimator_checks(check: dict[str, Any]) -> list[tuple[str, dict[str, Any]]]:
    """The estimator check's parts: the plain floor, and the floor that takes the lock."""
    parts = [("the native floor", check)]
    if "taking the lock" in check:
        parts.append(("the native floor taking the lock", check["taking the lock"]))
    return parts


def _longest_stall(lateness: dict[str, Any]) -> str:
    """The machine's longest stall beside the section, as a clause of the worst-call goal."""
    machine = lateness.get("machine")
    if not machine:
        return ""
    longest = max(machine["stalls_before"]["longest_us"], machine["stalls_after"]["longest_us"])
    return f"; a thread that never sleeps lost its CPU for up to {longest:.0f} us"


def evaluate_goals(results: dict[str, Any]) -> list[dict[str, Any]]:
    goals: list[dict[str, Any]] = []

    lateness = results.get("lateness", {})
    for label, check in lateness.get("estimator_check", {}).items():
        goals.append(_goal(
            f"grid estimator on the native floor at {label}",
            f"p50 {check['estimated_p50_us']:.1f} us vs true {check['true_p50_us']:.1f} us, "
            f"p99 {check['estimated_p99_us']:.1f} us vs true {check['true_p99_us']:.1f} us",
            f"within {check['tolerance_p50_us']:.3g} / {check['tolerance_p99_us']:.3g} us of the "
            "truth",
            check["within_tolerance"],
        ))
    targets = {"idle": {"p50_us": 0.5, "p99_us": 0.5}, "busy": {"p50_us": 0.1, "p99_us": 0.2}}
    for label, by_load in by_interval(lateness).items():
        for load, factors in targets.items():
            rows = by_load[load]
            ours = rows["metronyx"]
            for stat, factor in factors.items():
                best_name = min(PERIODIC_PEERS, key=lambda name: rows[name][stat])
                best = rows[best_name][stat]
                goals.append(_goal(
                    f"lateness {stat[:3]} at {label}, {load}",
                    f"{ours[stat]:.1f} us vs {best:.1f} us ({best_name}): x{ours[stat] / best:.2f}",
                    f"<= {factor:g} x best pure-Python peer",
                    ours[stat] <= factor * best,
                ))
        # Beside the floor of the same run: what the machine allows, whatever else it is doing.
        for load in LOADS:
            rows = by_load[load]
            ours, floor = rows["metronyx"], rows[LATENESS_FLOOR]
            ratios = {stat: ours[stat] / floor[stat] if floor[stat] > 0 else math.inf
                      for stat in ("p50_us", "p99_us")}
            goals.append(_goal(
                f"lateness at {label}, {load}, beside the native floor",
                f"p50 {ours['p50_us']:.1f} vs {floor['p50_us']:.1f} us (x{ratios['p50_us']:.2f}), "
                f"p99 {ours['p99_us']:.1f} vs {floor['p99_us']:.1f} us (x{ratios['p99_us']:.2f})",
                "p50 and p99 <= 1.3 x native floor",
                max(ratios.values()) <= 1.3,
            ))
        busy = by_load["busy"]["metronyx"]
        goals.append(_goal(
            f"worst call at {label}, busy",
            f"{busy['max_us']:.1f} us of {by_load['busy']['calls_per_run'] * busy['runs']} calls "
            f"(native floor's worst {by_load['busy'][LATENESS_FLOOR]['max_us']:.1f} us"
            f"{_longest_stall(lateness)})",
            "< 1000 us (no call waits out a switch interval)",
            busy["max_us"] < 1000,
        ))
        idle = by_load["idle"]
        ours = idle["metronyx"]
        interval_us = by_load["interval_s"] * 1e6
        goals.append(_goal(
            f"last-call error at {label}, idle",
            f"{ours['last_call_us']:.1f} us after {idle['calls_per_run']} calls "
            f"(worst run {ours['last_call_worst_us']:.1f} us, drift {ours['drift_us']:.1f} us)",
            f"within one interval ({interval_us:g} us)",
            abs(ours["last_call_us"]) <= interval_us,
        ))

    overhead = results.get("overhead")
    if overhead:
        ours = overhead["variants"]["metronyx"]
        goals.append(_goal(
            "per-call overhead at interval 0",
            f"x{ours['wall_ratio_to_floor']:.2f} wall, x{ours['cpu_ratio_to_floor']:.2f} CPU "
            "of the native floor",
            "<= 3 x native floor",
            ours["wall_ratio_to_floor"] <= 3 and ours["cpu_ratio_to_floor"] <= 3,
        ))

    methods = results.get("methods")
    if methods:
        for operation, measured in methods["operations"].items():
            goals.append(_goal(
                f"method {operation}",
                f"{measured['metronyx']:.0f} ns vs {measured['PyScheduler']:.0f} ns: "
                f"x{measured['ratio_to_PyScheduler']:.2f}",
                "<= pure-Python class",
                measured["metronyx"] <= measured["PyScheduler"],
            ))

    scale = results.get("scale")
    if scale and scale["sizes"]:
        interval_ms = f"{scale['interval_s'] * 1e3:g} ms"
        for size, rows in scale["sizes"].items():
            ratios = rows.get("ratios", {})
            for stat, label in (("cpu_ns_per_call", "CPU per call"), ("p99_lateness_us", "p99")):
                ratio = ratios.get(f"{stat} / PyScheduler", math.nan)
                slack = ratios.get(f"{METRONYX_DEFAULT_SLACK}: {stat} / PyScheduler")
                goals.append(_goal(
                    f"{label}, {size} tasks at {interval_ms}, idle",
                    f"{rows['metronyx'][stat]:.0f} vs {rows['PyScheduler'][stat]:.0f} "
                    f"(PyScheduler): x{ratio:.2f}, x{ratios.get(f'{stat} / {NATIVE_FLOOR}', math.nan):.2f} "
                    "the native floor"
                    + ("" if slack is None else f"; with 50 us slack x{slack:.2f}"),
                    "<= 1 x one Python thread per task",
                    ratio <= 1.0,
                ))
        largest = max(scale["sizes"], key=int)
        ours = scale["sizes"][largest]["metronyx"]
        goals.append(_goal(
            f"{largest} tasks at {interval_ms}, idle",
            f"{ours['delivered_ratio'] * 100:.2f}% of demanded calls delivered",
            ">= 99.5%",
            ours["delivered_ratio"] >= 0.995,
        ))

    throughput = results.get("main_throughput")
    if throughput:
        ours = throughput["variants"]["1 metronyx task"]
        # A task whose calls wait for the lock costs the main thread nothing: the loss counts only
        # if the calls were made.
        goals.append(_goal(
            f"busy main thread's throughput, one {throughput['interval_s'] * 1e3:g} ms task",
            f"{ours['loss'] * 100:.1f}% loss, "
            f"{ours['delivered_ratio'] * 100:.1f}% of due calls made",
            "<= 5% loss, >= 99% of calls made",
            ours["loss"] <= 0.05 and ours["delivered_ratio"] >= 0.99,
        ))
    return goals


# ---- Tables --------------------------------------------------------------------------------------


def number(value: float | int | None, digits: int | None = None) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if digits is not None:
        return f"{value:,.{digits}f}"
    magnitude = abs(value)
    if magnitude >= 100:
        return f"{value:,.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


class Table:
    def __init__(self, title: str, header: list[str], text_columns: int = 1) -> None:
        self.title = title
        self.header = header
        self.text_columns = text_columns  # leading columns of text, left-aligned; numbers follow
        self.rows: list[list[str]] = []

    def add(self, *cells: str) -> None:
        self.rows.append(list(cells))

    def text(self) -> str:
        widths = [max(len(row[i]) for row in [self.header, *self.rows])
                  for i in range(len(self.header))]

        def line(cells: list[str]) -> str:
            parts = [cell.ljust(width) if i < self.text_columns else cell.rjust(width)
                     for i, (cell, width) in enumerate(zip(cells, widths))]
            return "  ".join(parts).rstrip()

        rule = "-" * len(line(self.header))
        return "\n".join([self.title, rule, line(self.header), rule, *map(line, self.rows), ""])

    def markdown(self) -> str:
        head = "| " + " | ".join(self.header) + " |"
        align = "|" + "|".join([":---" if i < self.text_columns else "---:"
                                for i in range(len(self.header))]) + "|"
        body = ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join([f"**{self.title}**", "", head, align, *body, ""])


def build_tables(results: dict[str, Any], goals: list[dict[str, Any]]) -> list[Table]:
    tables: list[Table] = []

    lateness = results.get("lateness")
    if lateness:
        table = Table("1. Lateness against the fixed-rate grid (us, calls 1 on; "
                      "spread = p99 - p50, gap p99 = p99 of |gap between calls - interval|, "
                      "last = error of the last call, drift = fitted trend over a run)",
                      ["interval / main thread / scheduler", "calls", "p50", "p99", "spread",
                       "max", "gap p99", "last", "drift"])
        for label, by_load in by_interval(lateness).items():
            for load in ("idle", "busy"):
                runners = by_load[load]
                for name, stats in runners.items():
                    if not isinstance(stats, dict):
                        continue
                    table.add(f"{label} / {load} / {name}",
                              f"{stats['runs']}x{runners['calls_per_run']}",
                              number(stats["p50_us"]), number(stats["p99_us"]),
                              number(stats["spread_us"]), number(stats["max_us"]),
                              number(stats["gap_p99_us"]), number(stats["last_call_us"]),
                              number(stats["drift_us"]))
        tables.append(table)
        checks = lateness.get("estimator_check")
        if checks:
            table = Table("1a. The grid estimator on the native floor, its origin withheld (us; "
                          "the plain floor's errors must stay within "
                          f"{ESTIMATOR_TOLERANCE_US[50]:g} / {ESTIMATOR_TOLERANCE_US[99]:g} us, "
                          f"or {ESTIMATOR_TOLERANCE_SHARE:.0%} of the true figure if more)",
                          ["interval / runner", "runs", "true p50", "estimated p50", "true p99",
                           "estimated p99", "error p50", "error p99"])
            for label, check in checks.items():
                for what, figures in _estimator_checks(check):
                    table.add(f"{label} / {what}", f"{check['runs']}x{check['calls_per_run']}",
                              number(figures["true_p50_us"]), number(figures["estimated_p50_us"]),
                              number(figures["true_p99_us"]), number(figures["estimated_p99_us"]),
                              number(figures["error_p50_us"]), number(figures["error_p99_us"]))
            tables.append(table)
        machine = lateness.get("machine")
        if machine:
            stolen = machine["stolen_ms"]
            table = Table("1b. The machine's own stalls: a native thread that never sleeps, before "
                          "and after the runs (no call due in such a gap can be on time); CPU time "
                          f"the hypervisor stole over the {machine['section_s']:.0f} s of runs: "
                          + ("not reported" if stolen is None else f"{stolen:.0f} ms"),
                          ["when", "seconds", "gaps > 0.5 ms", "gaps > 1 ms", "longest (us)"])
            for when in ("before", "after"):
                stalls = machine[f"stalls_{when}"]
                table.add(when, number(stalls["seconds"]), str(stalls["over_500us"]),
                          str(stalls["over_1ms"]),
                          number(stalls["longest_us"]) if stalls["longest_us"] else "-")
            tables.append(table)

    overhead = results.get("overhead")
    if overhead:
        table = Table("2. Per-call overhead at interval 0 (the same Python callable everywhere)",
                      ["variant", "calls/s", "ns/call", "CPU ns/call", "x floor", "x floor CPU"])
        for name, stats in overhead["variants"].items():
            table.add(name, number(stats["calls_per_s"], 0), number(stats["wall_ns_per_call"]),
                      number(stats["cpu_ns_per_call"]), number(stats["wall_ratio_to_floor"]),
                      number(stats["cpu_ratio_to_floor"]))
        tables.append(table)

    methods = results.get("methods")
    if methods:
        table = Table("3. Method cost (ns per call, best of repeats; plain = plain Python method "
                      "of the same shape)",
                      ["operation", "metronyx", "PyScheduler", "plain", "x PyScheduler"])
        for operation, stats in methods["operations"].items():
            table.add(operation, number(stats["metronyx"]), number(stats["PyScheduler"]),
                      number(stats["plain Python"]), number(stats["ratio_to_PyScheduler"]))
        tables.append(table)

    scale = results.get("scale")
    if scale:
        table = Table(f"4. Scale at {scale['interval_s'] * 1e3:g} ms, idle main thread "
                      f"({scale['window_s']:g} s window, medians of {scale.get('rounds', 1)} rounds)",
                      ["tasks / scheduler", "start() ms", "delivered", "p99 us", "max us",
                       "CPU ns/call", "CPU cores", "RSS KiB/task"])
        for size, by_impl in scale["sizes"].items():
            for name, stats in by_impl.items():
                if name == "ratios":
                    continue
                delivered = stats.get("delivered_ratio")
                table.add(f"{size} / {name}", number(stats.get("start_ms")),
                          "-" if delivered is None else f"{delivered * 100:.2f}%",
                          number(stats["p99_lateness_us"]), number(stats["max_lateness_us"]),
                          number(stats["cpu_ns_per_call"]), number(stats["cpu_share_of_one_core"]),
                          number(stats.get("rss_kib_per_task")))
        tables.append(table)

    cancel = results.get("cancel_latency")
    if cancel:
        table = Table("5. cancel() to stop line (us; after due = from the skipped call's due time)",
                      ["interval / scheduler", "p50", "p99", "max", "after due p50",
                       "after due max"])
        for label, by_impl in cancel.items():
            for name, stats in by_impl.items():
                if not isinstance(stats, dict):
                    continue
                table.add(f"{label} / {name}", number(stats["p50_us"]), number(stats["p99_us"]),
                          number(stats["max_us"]), number(stats["after_due_p50_us"]),
                          number(stats["after_due_max_us"]))
        tables.append(table)

    throughput = results.get("main_throughput")
    if throughput:
        table = Table(f"6. Busy main thread's throughput with tasks at "
                      f"{throughput['interval_s'] * 1e3:g} ms "
                      f"({throughput['window_s']:g} s window; "
                      "loss against a no-task window just before)",
                      ["tasks", "main loop rounds/s", "loss", "due calls made"])
        for name, stats in throughput["variants"].items():
            table.add(name, number(stats["rounds_per_s"], 0), f"{stats['loss'] * 100:.1f}%",
                      f"{stats['delivered_ratio'] * 100:.1f}%")
        tables.append(table)

    if goals:
        table = Table("Goals", ["goal", "measured", "target", "met"], text_columns=4)
        for goal in goals:
            table.add(goal["goal"], goal["measured"], goal["target"],
                      "yes" if goal["met"] else "NO")
        tables.append(table)
    return tables


def machine_line(machine: dict[str, Any]) -> str:
    def load(key: str) -> str:
        return "/".join(f"{x:.1f}" for x in machine.get(key) or []) or "-"

    return (f"{machine['nproc']} CPUs ({machine['cpu_model']}), Linux {machine['kernel']}, "
            f"{machine['implementation']} {machine['python']}; load average (1/5/15 min) "
            f"{load('load_average_at_start')} at start, {load('load_average_at_end')} at end")
