"""A few seconds of metronyx at work.

Three tasks on different intervals record when they were called; each call's lateness is measured
against its fixed-rate grid (call k is due k * interval after the grid's start). Beside them a plain
`threading` loop that sleeps `interval` between calls shows the drift that a fixed-rate grid avoids.
A failing task shows the error lines on stderr; `cancel` and `shutdown` show the stop lines.
"""

import statistics
import sys
import threading
import time

import metronyx

RUN_SECONDS = 2.0


def recorder(times: list[int]):
    def record() -> None:
        times.append(time.perf_counter_ns())

    return record


def lateness_us(times: list[int], interval: float) -> list[float]:
    # The grid is anchored where the task's earliest call puts it, so no call counts as early.
    step = interval * 1e9
    anchor = min(t - k * step for k, t in enumerate(times))
    return [(t - anchor - k * step) / 1e3 for k, t in enumerate(times)]


def summary(label: str, times: list[int], interval: float) -> str:
    in_order = lateness_us(times, interval)
    late = sorted(in_order)
    p50 = statistics.median(late)
    p99 = late[min(len(late) - 1, int(len(late) * 0.99))]
    return (f"  {label:<28} calls {len(times):>5}   lateness p50 {p50:8.1f} us   "
            f"p99 {p99:8.1f} us   worst {late[-1]:9.1f} us   last call {in_order[-1]:9.1f} us")


def naive_thread_loop(times: list[int], interval: float, stop: threading.Event) -> None:
    while not stop.is_set():
        times.append(time.perf_counter_ns())
        time.sleep(interval)


def main() -> None:
    scheduler = metronyx.Scheduler()
    tasks = {interval: [] for interval in (0.005, 0.020, 0.100)}
    ids = {interval: scheduler.schedule(recorder(times), interval)
           for interval, times in tasks.items()}

    failures = 0

    def failing() -> None:
        nonlocal failures
        failures += 1
        raise ValueError(f"failure number {failures}")

    failing_id = scheduler.schedule(failing, 0.75)
    print(f"scheduled tasks {list(ids.values()) + [failing_id]}; starting them", flush=True)

    naive_times: list[int] = []
    stop_naive = threading.Event()
    naive = threading.Thread(target=naive_thread_loop, args=(naive_times, 0.005, stop_naive))

    scheduler.start()
    naive.start()
    time.sleep(RUN_SECONDS)

    print(f"cancelling the failing task {failing_id} (its stop line follows)", flush=True)
    scheduler.cancel(failing_id)
    time.sleep(0.8)

    print("shutting down (one stop line per remaining task)", flush=True)
    scheduler.shutdown()
    stop_naive.set()
    naive.join()
    time.sleep(0.2)  # the workers notice at their next slot

    print("\nlateness against the fixed-rate grid (anchored at each task's earliest call):")
    for interval, times in tasks.items():
        print(summary(f"metronyx every {interval * 1000:g} ms", times, interval))
    print(summary("threading sleep loop, 5 ms", naive_times, 0.005))
    print("\nThe sleep loop drifts: its last call lags its grid by the sum of every call's overhead.")
    print("metronyx does not: its lateness never adds up, so its last call is about as late as a")
    print("typical one, whatever its worst call was.")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
