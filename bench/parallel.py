"""Tasks whose callables compute, on the interpreter this runs on: how many calls per second one
and two such tasks make, and how many processor cores the process uses meanwhile (its processor
time over the wall time). On a free-threaded build two tasks use two cores; with the interpreter
lock they share one. Also the cost of a trivial call (a callable that does nothing) in nanoseconds.

    python bench/parallel.py [--seconds S] [--output FILE]

Prints one JSON object (and writes it to FILE): the interpreter, the calibrated work per call, and
for each task count its calls per second and cores used. scripts/bench.sh --free-threaded runs it
on the free-threaded 3.13 and on the build of the same source with the lock, and compares.
"""

from __future__ import annotations

import argparse
import json
import sys
import sysconfig
import time

import metronyx

WORK_SECONDS = 0.001  # what one call of a computing task costs on one core


def spin(rounds: int) -> int:
    total = 0
    for value in range(rounds):
        total += value * value
    return total


def calibrate() -> int:
    """Rounds of `spin` that take about WORK_SECONDS here, alone."""
    rounds = 1000
    while True:
        started = time.perf_counter()
        spin(rounds)
        elapsed = time.perf_counter() - started
        if elapsed > 0.02:
            return max(1, int(rounds * WORK_SECONDS / elapsed))
        rounds *= 2


def measure(tasks: int, callable_for, seconds: float) -> dict[str, float]:
    """`tasks` tasks of interval 0 (back to back), each counting its own calls."""
    counts = [[] for _ in range(tasks)]  # one list per task: each has a single writer
    scheduler = metronyx.Scheduler()
    for index in range(tasks):
        scheduler.schedule(callable_for(counts[index]), 0)
    cpu_before, wall_before = time.process_time(), time.perf_counter()
    before = [len(count) for count in counts]
    scheduler.start()
    time.sleep(seconds)
    after = [len(count) for count in counts]
    cpu_after, wall_after = time.process_time(), time.perf_counter()
    scheduler.shutdown()
    wall = wall_after - wall_before
    calls = sum(a - b for a, b in zip(after, before))
    return {"calls_per_second": calls / wall, "cores_used": (cpu_after - cpu_before) / wall}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--output")
    options = parser.parse_args()

    rounds = calibrate()

    def computing(count: list) -> object:
        def call() -> None:
            spin(rounds)
            count.append(None)

        return call

    def trivial(count: list) -> object:
        return lambda: count.append(None)

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    result = {
        "python": sys.version.split()[0] + ("t" if free_threaded else ""),
        "free_threaded": free_threaded,
        "spin_rounds_per_call": rounds,
        "computing": {str(tasks): measure(tasks, computing, options.seconds) for tasks in (1, 2)},
        "trivial": measure(1, trivial, options.seconds),
    }
    result["trivial"]["ns_per_call"] = 1e9 / result["trivial"]["calls_per_second"]
    one, two = (result["computing"][key]["calls_per_second"] for key in ("1", "2"))
    result["two_tasks_over_one"] = two / one
    text = json.dumps(result, indent=2)
    print(text)
    if options.output:
        with open(options.output, "w") as file:
            file.write(text + "\n")


if __name__ == "__main__":
    main()
