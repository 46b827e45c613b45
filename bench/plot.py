#!/usr/bin/env python3
"""Draws the lateness distributions of a benchmark run as a PNG beside its JSON.

    .venv/bin/python bench/plot.py [bench/results/latest.json]     # writes bench/results/latest.png

One panel per interval and main-thread load: the cumulative share of calls against their lateness
(log scale) for metronyx, the two best pure-Python peers of that panel (by p50) and the native
sleep floor. `run.py` calls `draw` after a full run when matplotlib is installed
(`scripts/bench.sh` installs it into .venv; the tests do not need it).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

from lateness import NATIVE_FLOOR, by_interval
from peers import PERIODIC_PEERS
from report import machine_line

COLOURS = {
    "metronyx": "#d62728",
    NATIVE_FLOOR: "#000000",
    "anchored sleep loop": "#1f77b4",
    "sched (absolute)": "#2ca02c",
    "threading.Timer re-armed": "#9467bd",
    "naive sleep loop": "#8c564b",
}
LEAST_US = 1.0  # the log axis starts here; no call on these machines is faster


def draw(document: dict[str, Any], path: Path) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lateness = document["lateness"]
    intervals = by_interval(lateness)
    loads = ("idle", "busy")
    # One x axis for every panel, so that the idle and busy panels compare at a glance.
    figure, axes = plt.subplots(len(intervals), len(loads), figsize=(12, 6.4 * len(intervals)),
                                squeeze=False, sharex=True)
    for row, (label, by_load) in enumerate(intervals.items()):
        for column, load in enumerate(loads):
            axis = axes[row][column]
            stats = by_load[load]
            samples = lateness["samples_us"][label][load]
            peers = sorted(PERIODIC_PEERS, key=lambda name: stats[name]["p50_us"])[:2]
            for name in ("metronyx", *peers, NATIVE_FLOOR):
                values = sorted(max(value, LEAST_US) for value in samples[name])
                values = [values[0], *values]
                shares = [i / (len(values) - 1) for i in range(len(values))]
                axis.step(values, shares, where="post", color=COLOURS[name],
                          linewidth=2.2 if name == "metronyx" else 1.4,
                          linestyle="--" if name == NATIVE_FLOOR else "-",
                          label=f"{name} (p50 {stats[name]['p50_us']:,.0f}, "
                                f"p99 {stats[name]['p99_us']:,.0f} µs)")
            axis.set_xscale("log")
            axis.set_ylim(0, 1.01)
            axis.set_title(f"every {label}, main thread {load}")
            axis.set_xlabel("lateness (µs, log scale)")
            axis.tick_params(labelbottom=True)
            axis.set_ylabel("share of calls at most this late")
            axis.grid(True, which="both", alpha=0.3)
            # Below the panel: the curves of the busy panels fill every corner.
            axis.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=1, fontsize=8.5,
                        frameon=False)
    figure.suptitle("Lateness against the fixed-rate grid, one benchmark run\n"
                    + machine_line(document["machine"]), fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def main() -> int:
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else (
        Path(__file__).resolve().parent / "results" / "latest.json")
    print(draw(json.loads(source.read_text()), source.with_suffix(".png")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
