#!/usr/bin/env python3
"""Rewrites the figures of the README's Performance section from a full benchmark run.

    .venv/bin/python bench/readme_figures.py [bench/results/latest.json]

Replaces what lies between the README's `<!-- bench:begin -->` and `<!-- bench:end -->` lines
with the summary table, the goals table and the picture of that run (and a line for each other
CPython version whose lateness run lies beside it), and copies the run's picture
(`latest.png`, drawn by `make bench`) to docs/lateness.png. The prose around the block is not
touched.
"""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path
from typing import Any

from lateness import NATIVE_FLOOR
from peers import PERIODIC_PEERS
from report import machine_line

REPO = Path(__file__).resolve().parent.parent
BEGIN = "<!-- bench:begin -->"
END = "<!-- bench:end -->"


def us(value: float) -> str:
    return f"{value:,.0f}" if abs(value) >= 100 else f"{value:.1f}"


def pair(stats: dict[str, Any], first: str = "p50_us", second: str = "p99_us") -> str:
    return f"{us(stats[first])} / {us(stats[second])} µs"


def lateness_row(lateness: dict[str, Any], label: str, load: str) -> str:
    rows = lateness[label][load]
    best = min(PERIODIC_PEERS, key=lambda name: rows[name]["p50_us"])
    what = "idle" if load == "idle" else "busy in Python"
    return (f"| lateness p50 / p99 at {label}, main thread {what} | {pair(rows['metronyx'])} "
            f"| {pair(rows[best])}, {best} | {pair(rows[NATIVE_FLOOR])} |")


def version_lines(results_dir: Path) -> list[str]:
    """One line per CPython version whose lateness run (`make bench PYTHON=3.x`) lies in
    `results_dir`: idle lateness at 1 ms, and the busy-main p99 and worst call at 1 ms and 10 ms,
    each beside that run's native floor."""
    lines: list[str] = []
    for path in sorted(results_dir.glob("py3*.json")):
        run = json.loads(path.read_text())
        if run.get("mode") != "full" or "lateness" not in run:
            continue
        lateness = run["lateness"]
        version = run["machine"].get("python", path.stem).split()[0]
        idle = lateness["1 ms"]["idle"]
        busy = [f"{pair(lateness[label]['busy']['metronyx'], 'p99_us', 'max_us')} "
                f"({us(lateness[label]['busy'][NATIVE_FLOOR]['p99_us'])})"
                for label in ("1 ms", "10 ms")]
        lines.append(f"| {version} | {pair(idle['metronyx'])} ({pair(idle[NATIVE_FLOOR])}) "
                     f"| {busy[0]} | {busy[1]} |")
    if not lines:
        return []
    return ["", "Each CPython version, lateness of its own run (`make bench PYTHON=3.x`), the "
            "native floor of the same run in brackets:", "",
            "| CPython | idle, 1 ms: p50 / p99 (floor) | main busy, 1 ms: p99 / worst (floor p99) "
            "| main busy, 10 ms: p99 / worst (floor p99) |", "|---|---:|---:|---:|", *lines]


def block(document: dict[str, Any], results_dir: Path | None = None) -> str:
    lateness = document["lateness"]
    lines = [
        BEGIN,
        f"Run of {document['created'][:10]} on {machine_line(document['machine'])}.",
        "",
        "| | metronyx | best pure-Python peer | native floor |",
        "|---|---:|---:|---:|",
    ]
    for load in ("idle", "busy"):
        for label in ("1 ms", "10 ms"):
            lines.append(lateness_row(lateness, label, load))
    idle = {label: lateness[label]["idle"] for label in ("1 ms", "10 ms")}
    spreads = {name: " / ".join(f"{us(idle[label][name]['spread_us'])}" for label in idle) + " µs"
               for name in ("metronyx", "anchored sleep loop", NATIVE_FLOOR)}
    lines.append(f"| spread p99 - p50 at 1 ms / 10 ms, idle (no grid estimate in it) "
                 f"| {spreads['metronyx']} | {spreads['anchored sleep loop']}, anchored sleep "
                 f"loop | {spreads[NATIVE_FLOOR]} |")
    one = idle["1 ms"]
    lines.append(f"| error of the last call at 1 ms ({lateness['1 ms']['idle']['calls_per_run']} "
                 f"calls) | {us(one['metronyx']['last_call_us'])} µs "
                 f"| {us(one['anchored sleep loop']['last_call_us'])} µs (anchored sleep loop); "
                 f"naive sleep loop: {us(one['naive sleep loop']['last_call_us'])} µs | |")
    overhead = document.get("overhead")
    if overhead:
        variants = overhead["variants"]
        ours, loop = variants["metronyx"], variants["Python loop + os.sched_yield()"]
        floor = variants["native floor (thread state kept)"]
        lines.append(f"| calls per second at interval 0 | {ours['calls_per_s'] / 1e6:.1f} million "
                     f"({ours['wall_ns_per_call']:.0f} ns each) "
                     f"| {loop['calls_per_s'] / 1e6:.1f} million (`os.sched_yield()` loop) "
                     f"| {floor['calls_per_s'] / 1e6:.1f} million |")
    methods = document.get("methods")
    if methods:
        operations = methods["operations"]
        names = ("schedule(f, 0.5)", "cancel(task_id)", "Scheduler()")

        def costs(impl: str) -> str:
            return " / ".join(f"{operations[name][impl]:.0f}" for name in names) + " ns"

        lines.append(f"| `schedule(f, 0.5)` / `cancel(id)` / `Scheduler()` | {costs('metronyx')} "
                     f"| {costs('PyScheduler')} (same semantics in Python) | |")
    scale = document.get("scale")
    if scale:
        largest = max(scale["sizes"], key=int)
        rows = scale["sizes"][largest]
        ours, theirs = rows["metronyx"], rows["PyScheduler"]
        lines.append(f"| {largest} tasks at {scale['interval_s'] * 1e3:g} ms: calls delivered, "
                     f"CPU per call | {ours['delivered_ratio'] * 100:.1f} %, "
                     f"{ours['cpu_ns_per_call'] / 1e3:.1f} µs "
                     f"| {theirs['delivered_ratio'] * 100:.1f} %, "
                     f"{theirs['cpu_ns_per_call'] / 1e3:.1f} µs (`PyScheduler`) "
                     f"| CPU per wake-up {rows[NATIVE_FLOOR]['cpu_ns_per_call'] / 1e3:.1f} µs |")
    throughput = document.get("main_throughput")
    if throughput:
        variants = throughput["variants"]

        def cost(one: str, ten: str) -> str:
            return (f"{variants[one]['loss'] * 100:.1f} / "
                    f"{variants[ten]['loss'] * 100:.1f} % lost, "
                    f"{variants[one]['delivered_ratio'] * 100:.0f} / "
                    f"{variants[ten]['delivered_ratio'] * 100:.0f} % of calls made")

        lines.append(f"| busy main thread with 1 / 10 tasks at 1 ms: its loop's throughput lost, "
                     f"the tasks' due calls made | {cost('1 metronyx task', '10 metronyx tasks')} "
                     f"| {cost('1 anchored sleep loop', '10 anchored sleep loops')} "
                     f"(anchored sleep loops) | |")
    if results_dir is not None:
        lines += version_lines(results_dir)
    if methods:
        listing = methods["operations"]["list_schedules()"]
        lines += ["", f"`list_schedules()` costs {listing['metronyx']:.0f} ns against "
                  f"{listing['plain Python']:.0f} ns for an empty Python method: every call takes "
                  "and gives back the instance's shared borrow and the deferred-release pool's "
                  "lock."]
    lines += ["", "![Lateness of every call, per interval and main-thread load: metronyx, the two "
              "best pure-Python peers and the native sleep floor](docs/lateness.png)", "",
              "Goals, from the same run:", "", "| goal | measured | target | met |",
              "|---|---|---|:---:|"]
    for goal in document["goals"]:
        lines.append(f"| {goal['goal']} | {goal['measured']} | {goal['target']} | "
                     f"{'yes' if goal['met'] else '**no**'} |")
    lines.append(END)
    return "\n".join(lines)


def main() -> int:
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "bench" / "results" / "latest.json"
    document = json.loads(source.read_text())
    if document.get("mode") != "full":
        print(f"error: {source} is not from a full run", file=sys.stderr)
        return 1
    readme = REPO / "README.md"
    text = readme.read_text()
    start, end = text.index(BEGIN), text.index(END) + len(END)
    readme.write_text(text[:start] + block(document, source.parent) + text[end:])
    picture = source.with_suffix(".png")
    if picture.exists():
        shutil.copyfile(picture, REPO / "docs" / "lateness.png")
    print(f"README.md rewritten from {source}" + (", docs/lateness.png copied" if picture.exists()
                                                   else f"; no picture at {picture}"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
