"""The benchmark's quick mode keeps working: it runs end to end and reports every section.

It measures and prints, but nothing here asserts a timing: machines are too noisy for that, and
the full benchmark (`make bench`) is where the numbers are read. The one figure checked is the
benchmark's own honesty: its grid estimator, run on the native floor with the floor's origin
withheld, must give back the floor's true lateness.
"""

from __future__ import annotations

import json
import math
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PEERS = ("anchored sleep loop", "sched (absolute)", "threading.Timer re-armed", "naive sleep loop")
STATS = ("p50_us", "p99_us", "spread_us", "gap_p99_us", "max_us", "last_call_us")


def finite(value: object) -> bool:
    return isinstance(value, (int, float)) and math.isfinite(value)


def estimator_recovers_the_floor(lateness: dict, tmp_path: Path) -> bool:
    """The estimator gives back the floor's true p50 with its origin withheld. The estimate only
    moves each run as a whole, so a bias shows in the p50 as much as anywhere: the old anchor's
    was off by a whole fastest wake-up (about 17 us), in every run. The p99 of a quick run's few
    hundred samples is one call of one run, which a hiccup of the machine moves by tens of us
    (three misses in a row seen in CI); the benchmark's goals table reports it, this test judges
    only the p50, against the section's own tolerance. A miss is measured again, twice at most, in
    the lateness section alone: only a miss in all three fails."""
    for attempt in range(3):
        if attempt:
            again = tmp_path / "lateness.json"
            subprocess.run([sys.executable, str(REPO / "bench" / "run.py"), "--quick",
                            "--sections", "lateness", "--output", str(again)],
                           cwd=tmp_path, capture_output=True, text=True, timeout=300, check=True)
            lateness = json.loads(again.read_text())["lateness"]
        check = lateness["estimator_check"]["1 ms"]
        if abs(check["error_p50_us"]) <= check["tolerance_p50_us"]:
            return True
    return False


@pytest.mark.posix("the benchmark's native floor built with cc, os.sched_yield and /proc")
def test_quick_benchmark_reports_every_section(tmp_path: Path) -> None:
    """`bench/run.py --quick` exits 0, keeps the workers' stop lines out of its table, and writes
    JSON with a figure for every scheduler in every section."""
    output = tmp_path / "quick.json"
    done = subprocess.run(
        [sys.executable, str(REPO / "bench" / "run.py"), "--quick", "--output", str(output)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Goals" in done.stdout
    assert "Task id:" not in done.stdout  # stop lines are captured from fd 1, not printed

    document = json.loads(output.read_text())
    assert output.with_suffix(".md").read_text().count("| ") > 10

    lateness = document["lateness"]
    for label in ("1 ms", "10 ms"):
        for load in ("idle", "busy"):
            runners = lateness[label][load]
            assert set(runners) >= {"metronyx", "native sleep floor", *PEERS}
            assert all(finite(stats[stat]) for stats in runners.values() if isinstance(stats, dict)
                       for stat in STATS)
            assert set(lateness["samples_us"][label][load]) == set(runners) - {
                "calls_per_run", "fastest_wake_us"}
    assert estimator_recovers_the_floor(lateness, tmp_path), lateness["estimator_check"]

    variants = document["overhead"]["variants"]
    for name in ("metronyx", "native floor (thread state kept)", "Python loop + os.sched_yield()"):
        assert variants[name]["calls_per_s"] > 0 and finite(variants[name]["cpu_ns_per_call"])

    operations = document["methods"]["operations"]
    assert len(operations) == 5
    assert all(finite(row[impl]) and row[impl] > 0 for row in operations.values()
               for impl in ("metronyx", "PyScheduler", "plain Python"))

    for by_impl in document["scale"]["sizes"].values():
        # metronyx with the default slack is measured only where the workers' slack can be set.
        for impl in ("metronyx", "PyScheduler", "metronyx, 50 us slack"):
            if impl.endswith("slack") and impl not in by_impl:
                continue
            stats = by_impl[impl]
            assert stats["demanded"] > 0 and stats["delivered"] > 0
            assert stats["stop_lines"] == stats["tasks"]  # every task stopped before the next run
        assert finite(by_impl["native sleep floor"]["cpu_ns_per_call"])
        # The cost ladder and the ratios that its goals are judged by.
        assert all(finite(by_impl[step]["cpu_ns_per_call"]) for step in by_impl if step.startswith("floor:"))
        assert sum(step.startswith("floor:") for step in by_impl) == 5
        assert all(finite(ratio) for ratio in by_impl["ratios"].values())

    for label in ("1 ms", "10 ms"):
        for impl in ("metronyx", "PyScheduler"):
            assert finite(document["cancel_latency"][label][impl]["p50_us"])

    variants = document["main_throughput"]["variants"]
    assert len(variants) == 5 and all(row["rounds_per_s"] > 0 and finite(row["loss"])
                                      for row in variants.values())

    machine = lateness["machine"]
    assert all(machine[f"stalls_{when}"]["seconds"] > 0 for when in ("before", "after"))
    assert machine["section_s"] > 0 and (machine["stolen_ms"] is None or machine["stolen_ms"] >= 0)

    assert document["goals"] and all(isinstance(goal["met"], bool) for goal in document["goals"])
    # The busy-main tail is judged beside the floor of the same run, at both intervals.
    judged = {goal["goal"] for goal in document["goals"]}
    assert {f"{what} at {label}{load}" for label in ("1 ms", "10 ms")
            for what, load in (("lateness", ", idle, beside the native floor"),
                               ("lateness", ", busy, beside the native floor"),
                               ("worst call", ", busy"))} <= judged


def test_estimator_check_fails_a_grid_placed_at_the_fastest_call() -> None:
    """On floor-like runs with known origins the check passes the benchmark's estimator and fails
    one that makes each run's fastest call 0 late (the machine's wake-up floor taken off every
    call), so a pass in the quick run means something."""
    sys.path.insert(0, str(REPO / "bench"))
    try:
        import lateness
        from measure import grid_lateness
    finally:
        sys.path.remove(str(REPO / "bench"))

    rng = random.Random(15)
    interval = 1_000_000
    runs = []
    for run in range(4):
        origin = 10**12 + run * 10**9
        runs.append((origin, [origin + (k + 1) * interval + 15_000 + round(rng.expovariate(1 / 8e3))
                              for k in range(200)]))

    def fastest_call_on_time(stamps, interval_ns, fastest_wake, first_index=0):
        return grid_lateness(stamps, interval_ns, 0, first_index)

    assert lateness.check_estimator(runs, interval)["within_tolerance"]
    rejected = lateness.check_estimator(runs, interval, fastest_call_on_time)
    assert not rejected["within_tolerance"] and rejected["error_p50_us"] < -10


@pytest.mark.posix("the benchmark's native floor built with cc, and SIGSTOP")
def test_stall_probe_sees_a_thread_kept_off_its_cpu() -> None:
    """The probe that tells a quiet machine from a noisy one sees a stall that really happened:
    its process is stopped for 150 ms while it spins, and it must report one gap of that length
    (not 0, as a probe that missed it would). It is judged from below and far above only, since
    the machine may stall it more."""
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); from run import load_native_floor; "
        "native_floor = load_native_floor(); "
        "print('ready', flush=True); gaps, loops = native_floor.stalls(1.0, 10_000_000); "
        "print(max(gaps, default=0), loops, flush=True)")
    with subprocess.Popen([sys.executable, "-c", script, str(REPO / "bench")],
                          stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.2)
            os.kill(child.pid, signal.SIGSTOP)
            time.sleep(0.15)
            os.kill(child.pid, signal.SIGCONT)
            longest, loops = map(int, child.stdout.readline().split())
        finally:
            os.kill(child.pid, signal.SIGCONT)
            child.wait(timeout=30)
    assert 0.1e9 <= longest <= 0.9e9 and loops > 1000
