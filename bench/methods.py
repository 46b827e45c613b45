"""Section 3: the cost of a method call, in ns per call (timeit: the best of several repeats,
taken in turn with every other statement).

Each method of `metronyx.Scheduler` is timed beside the same call on `PyScheduler` (the pure-Python
class with the same semantics) and beside a plain Python method with the same shape of arguments.
`schedule` is timed with two positional arguments and with two keywords; its plain counterpart takes
two floats. A timed `schedule` loop leaves its tasks pending (they are never started), and each
repeat starts from a fresh instance.
"""

from __future__ import annotations

import timeit
from typing import Any

import metronyx

from peers import PyScheduler


class Plain:
    """Plain Python methods of the same shapes, with no work in them."""

    __slots__ = ()

    def no_arguments(self) -> None:
        return None

    def one_argument(self, a: object) -> None:
        return None

    def two_arguments(self, a: float, b: float) -> None:
        return None


def task() -> None:
    pass


# (operation, statement on a scheduler `s`, statement on `plain`)
OPERATIONS = (
    ("Scheduler()", "Cls()", "Plain()"),
    ("schedule(f, 0.5)", "s.schedule(f, 0.5)", "plain.two_arguments(0.5, 0.25)"),
    ("schedule(py_func=f, interval=0.5)", "s.schedule(py_func=f, interval=0.5)",
     "plain.two_arguments(a=0.5, b=0.25)"),
    ("cancel(task_id)", "s.cancel(task_id)", "plain.one_argument(task_id)"),
    ("list_schedules()", "s.list_schedules()", "plain.no_arguments()"),
)

SETUP = "s = Cls(); task_id = s.schedule(f, 1.0); plain = Plain()"


def _timer(statement: str, cls: type) -> timeit.Timer:
    return timeit.Timer(statement, setup=SETUP, globals={"Cls": cls, "Plain": Plain, "f": task})


def run(config: Any) -> dict[str, Any]:
    timers: dict[tuple[str, str], timeit.Timer] = {("loop", "-"): _timer("pass", PyScheduler)}
    for operation, on_scheduler, on_plain in OPERATIONS:
        timers[(operation, "metronyx")] = _timer(on_scheduler, metronyx.Scheduler)
        timers[(operation, "PyScheduler")] = _timer(on_scheduler, PyScheduler)
        timers[(operation, "plain Python")] = _timer(on_plain, PyScheduler)
    # Repeats go round every statement in turn, so a burst of load from elsewhere slows one
    # repeat of each rather than every repeat of one; the best repeat is kept.
    best = {key: float("inf") for key in timers}
    for _ in range(config.method_repeats):
        for key, timer in timers.items():
            per_call = timer.timeit(config.method_number) / config.method_number * 1e9
            best[key] = min(best[key], per_call)

    results: dict[str, Any] = {}
    for operation, _, _ in OPERATIONS:
        measured = {impl: best[(operation, impl)]
                    for impl in ("metronyx", "PyScheduler", "plain Python")}
        measured["ratio_to_PyScheduler"] = measured["metronyx"] / measured["PyScheduler"]
        measured["ratio_to_plain"] = measured["metronyx"] / measured["plain Python"]
        results[operation] = measured
    return {"loop_ns": best[("loop", "-")], "number": config.method_number,
            "repeats": config.method_repeats, "operations": results}
