"""Measurement helpers shared by the benchmark sections: clocks, statistics, CPU and memory
readings, the probe callable, and the monitor that captures what workers write to file descriptor 1.

Every timestamp is `time.perf_counter_ns()`, which reads CLOCK_MONOTONIC on Linux: the clock the
metronyx workers and the native floor use for their deadlines.
"""

from __future__ import annotations

import math
import os
import platform
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

now_ns = time.perf_counter_ns


# ---- Statistics and the grid ---------------------------------------------------------------------

def percentile(sorted_values: Sequence[float], q: float) -> float:
    """Nearest-rank percentile (q in 0..100) of an already sorted, non-empty sequence."""
    if not sorted_values:
        return math.nan
    rank = max(1, math.ceil(q / 100.0 * len(sorted_values)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def median(values: Sequence[float]) -> float:
    ordered = sorted(values)
    if not ordered:
        return math.nan
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def grid_origin(stamps: Sequence[int], interval_ns: int, fastest_wake: float,
                first_index: int = 0) -> int:
    """Estimated origin t0 of the fixed-rate grid (call k due at t0 + k * interval) that `stamps`
    were made on, `stamps[i]` being call `first_index + i`. No runner's t0 is shown to it.

    Every call from k = 1 on comes out of a sleep to its due time, and no thread wakes sooner after
    its deadline than the machine's wake-up path allows; `fastest_wake` (ns) is that least lateness,
    measured on the native floor in the same conditions (see `fastest_wake_near_ns`). So the grid is
    placed where the run's fastest call is exactly that late, unless the first call (k = 0, made
    no earlier than t0) puts t0 earlier still. The same estimator serves every runner.
    """
    bound = min((stamp - (first_index + i) * interval_ns
                 for i, stamp in enumerate(stamps) if first_index + i >= 1), default=None)
    origin = stamps[0] if first_index == 0 and stamps else None
    if bound is not None:
        bound = round(bound - fastest_wake)
        origin = bound if origin is None else min(origin, bound)
    if origin is None:
        raise ValueError("no stamps to place a grid on")
    return origin


def grid_lateness(stamps: Sequence[int], interval_ns: int, fastest_wake: float,
                  first_index: int = 0) -> list[int]:
    """Lateness in ns of each call against the grid that `grid_origin` estimates."""
    origin = grid_origin(stamps, interval_ns, fastest_wake, first_index)
    return [stamp - (origin + (first_index + i) * interval_ns) for i, stamp in enumerate(stamps)]


def fastest_wake_ns(true_lateness_runs: Sequence[Sequence[int]]) -> float:
    """The machine's least wake-up lateness as `grid_origin` wants it: the median, over runs of the
    native floor (whose lateness is known), of each run's fastest wake-up. The estimator matches
    one run's fastest call, so the like-for-like figure is the fastest of one run of about the same
    length, not of all runs together; the median keeps one disturbed run from moving it."""
    return median([min(run) for run in true_lateness_runs if run])


def fastest_wake_near_ns(true_lateness_runs: Sequence[Sequence[int]], index: int,
                         leave_out: int | None = None) -> float:
    """`fastest_wake_ns` of the native floor's runs nearest in time to the run being placed: the
    floor's run of the same round (`index`) and those of the rounds before and after. The
    machine's fastest wake-up moves with load from elsewhere, which comes and goes over seconds,
    so a figure from the whole section would misplace the runs made while it was different.
    `leave_out` drops one run (the floor run being placed, when the estimator is checked)."""
    return fastest_wake_ns([run for i, run in enumerate(true_lateness_runs)
                            if abs(i - index) <= 1 and i != leave_out])


def drift_ns(lateness: Sequence[int]) -> float:
    """How far the schedule moved over a run: the least-squares slope of lateness against the call
    index, times the number of intervals the run spans. Near zero on a drift-free grid however
    noisy single calls are; it grows with the run's length on a drifting one."""
    n = len(lateness)
    if n < 2:
        return 0.0
    mean_k = (n - 1) / 2
    mean_l = sum(lateness) / n
    covariance = sum((k - mean_k) * (value - mean_l) for k, value in enumerate(lateness))
    variance = sum((k - mean_k) ** 2 for k in range(n))
    return covariance / variance * (n - 1)


def lateness_summary(runs: Sequence[Sequence[int]]) -> dict:
    """p50, p99, max and min of the lateness of every call of every run (ns in, us out), the last
    call's lateness and the drift of each run (median over runs, and the worst run), and two
    figures that no choice of grid origin moves: the spread p99 - p50 (within a run the origin
    shifts every call alike) and the p99 of how far each gap between consecutive calls was from
    the interval."""
    ordered = sorted(value for run in runs for value in run)
    gaps = sorted(abs(run[k + 1] - run[k]) for run in runs for k in range(len(run) - 1))
    lasts = [run[-1] for run in runs if run]
    drifts = [drift_ns(run) for run in runs if run]
    p50, p99 = percentile(ordered, 50), percentile(ordered, 99)
    return {
        "p50_us": p50 / 1e3,
        "p99_us": p99 / 1e3,
        "spread_us": (p99 - p50) / 1e3,
        "max_us": (ordered[-1] / 1e3) if ordered else math.nan,
        "min_us": (ordered[0] / 1e3) if ordered else math.nan,
        "gap_p99_us": percentile(gaps, 99) / 1e3,
        "last_call_us": median(lasts) / 1e3,
        "last_call_worst_us": max(lasts, key=abs) / 1e3 if lasts else math.nan,
        "drift_us": median(drifts) / 1e3,
        "calls": len(ordered),
        "runs": len(runs),
    }


# ---- CPU and memory ------------------------------------------------------------------------------

def process_cpu_ns() -> int:
    """User plus system CPU time of the whole process, all threads (getrusage's figure on POSIX,
    GetProcessTimes' on Windows, which has no resource module)."""
    return time.process_time_ns()


class CpuWindow:
    """CPU spent by every thread but the calling one between `__init__` and `stop()`.

    The calling (main) thread only sleeps or waits during a measured window; its own CPU is taken
    out so that what remains is the work of the threads under test.
    """

    def __init__(self) -> None:
        self._process = process_cpu_ns()
        self._caller = time.thread_time_ns()
        self._wall = now_ns()
        self.cpu_ns = 0
        self.wall_ns = 0

    def stop(self) -> CpuWindow:
        self.wall_ns = now_ns() - self._wall
        caller = time.thread_time_ns() - self._caller
        self.cpu_ns = process_cpu_ns() - self._process - caller
        return self


def rss_bytes() -> int:
    """Resident set size of this process."""
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


# ---- The probe -----------------------------------------------------------------------------------

class Probe:
    """The callable every scheduler under test calls (`call`): it records when it was called.

    `done` is set at the `limit`-th call; calls after it are still recorded. Every scheduler gets
    the same kind of callable, so the cost of the call itself is the same for all of them.
    """

    __slots__ = ("call", "stamps", "done")

    def __init__(self, limit: int = 0) -> None:
        stamps: list[int] = []
        done = threading.Event()
        append = stamps.append
        clock = now_ns
        set_done = done.set

        def probe() -> None:
            append(clock())
            if len(stamps) == limit:
                set_done()

        self.call = probe
        self.stamps = stamps
        self.done = done


def spin_until(done: Callable[[], bool]) -> int:
    """Keeps this thread busy in Python bytecode (holding the interpreter lock as a busy program
    does) until `done()` is true; returns how many rounds of its loop it made."""
    total = rounds = 0
    while not done():
        for value in range(256):
            total += value
        rounds += 1
    return rounds


# ---- Standard output of the workers --------------------------------------------------------------

class StopLineMonitor:
    """Takes file descriptor 1 over with a pipe and timestamps every line written to it.

    Workers write their stop lines straight to fd 1, so they arrive here; the benchmark's own
    output goes to `console`, a stream on a duplicate of the original fd 1. A reader thread (which
    sleeps in `os.read` without the interpreter lock) stamps each chunk when it arrives.
    """

    def __init__(self) -> None:
        sys.stdout.flush()
        self._saved_fd = os.dup(1)
        read_fd, write_fd = os.pipe()
        os.dup2(write_fd, 1)
        os.close(write_fd)
        self._read_fd = read_fd
        self._condition = threading.Condition()
        self._lines: list[tuple[int, str]] = []  # guarded by _condition
        self._reader = threading.Thread(target=self._read, name="stop-line-reader", daemon=True)
        self._reader.start()
        self.console = open(self._saved_fd, "w", buffering=1, closefd=False)

    def _read(self) -> None:
        pending = b""
        while True:
            chunk = os.read(self._read_fd, 65536)
            arrived = now_ns()
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            if complete:
                with self._condition:
                    self._lines.extend((arrived, line.decode(errors="replace"))
                                       for line in complete)
                    self._condition.notify_all()
        os.close(self._read_fd)

    def mark(self) -> int:
        """A position in the stream of lines; later waits look only at lines after it."""
        with self._condition:
            return len(self._lines)

    def wait_for_line(self, text: str, since: int, timeout: float) -> int | None:
        """Arrival time of the first line equal to `text` after `since`, or None on time-out."""
        deadline = time.monotonic() + timeout
        with self._condition:
            position = since
            while True:
                while position < len(self._lines):
                    arrived, line = self._lines[position]
                    if line == text:
                        return arrived
                    position += 1
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._condition.wait(remaining)

    def wait_for_count(self, count: int, since: int, timeout: float,
                       contains: str = " stopped.") -> int:
        """Waits until `count` lines containing `contains` have arrived after `since`; returns how
        many did (fewer on time-out)."""
        deadline = time.monotonic() + timeout

        def seen() -> int:
            return sum(1 for _, line in self._lines[since:] if contains in line)

        with self._condition:
            while (found := seen()) < count:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return found
                self._condition.wait(remaining)
            return found

    def close(self) -> None:
        """Gives fd 1 back; the pipe's write end closes with it and the reader ends."""
        sys.stdout.flush()
        self.console.flush()
        os.dup2(self._saved_fd, 1)
        self._reader.join(timeout=5)
        self.console.close()
        os.close(self._saved_fd)


# ---- The machine ---------------------------------------------------------------------------------

def stolen_ms() -> float | None:
    """CPU time the hypervisor has taken from this machine's CPUs since boot, summed over them (the
    steal column of /proc/stat), in ms; None where the kernel does not report it."""
    try:
        with open("/proc/stat") as stat:
            fields = stat.readline().split()
        return int(fields[8]) * 1e3 / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def stall_summary(gaps_ns: Sequence[int], seconds: float) -> dict[str, Any]:
    """What a thread that never sleeps saw in `seconds`: how often, and for how long at most, it
    was kept off its CPU (`gaps_ns`: the gaps between its clock readings over its threshold)."""
    return {
        "seconds": seconds,
        "over_500us": sum(gap > 500_000 for gap in gaps_ns),
        "over_1ms": sum(gap > 1_000_000 for gap in gaps_ns),
        "longest_us": max(gaps_ns, default=0) / 1e3,
    }


def machine_info() -> dict[str, Any]:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/proc/self/timerslack_ns") as slack:
            main_slack = int(slack.read())
    except OSError:
        main_slack = None
    try:
        load = os.getloadavg()
    except OSError:
        load = None
    return {
        "nproc": len(os.sched_getaffinity(0)),
        "cpu_model": model,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "switch_interval_s": sys.getswitchinterval(),
        "main_thread_timer_slack_ns": main_slack,
        "load_average_at_start": load,
    }


def timed(action: Callable[[], Any]) -> tuple[Any, int]:
    """Runs `action` and returns its result with the wall time it took, in ns."""
    started = now_ns()
    result = action()
    return result, now_ns() - started
