"""Drift-free periodic calls of Python callables from native threads."""

import sys
from collections.abc import Awaitable, Callable
from typing import Final, SupportsFloat, SupportsIndex, final, overload

if sys.version_info >= (3, 13):
    from warnings import deprecated
else:
    from typing_extensions import deprecated

__all__: Final = ["Scheduler"]

@final
class Scheduler:
    """Collects periodic tasks and runs each on a native thread of its own.

    Task ids are signed 8-bit integers handed out by a wrapping counter (1, 2, ... 127, -128, ...
    -1, 0, 1 ...). Started workers keep running until cancelled, shut down, or the process ends;
    dropping the Scheduler does not stop them.
    """

    def __new__(cls) -> Scheduler:
        """Creates an empty scheduler; it takes no arguments."""
    # A coroutine function is called like any other and its coroutine dropped unawaited, so its
    # body never runs. Type checkers report this overload (mypy with the `deprecated` error code
    # enabled) before the mistake runs silently.
    @overload
    @deprecated(
        "metronyx never awaits what py_func returns: an async def function's body would never run. "
        "Schedule a plain function that hands the work to an event loop, e.g. with "
        "loop.call_soon_threadsafe."
    )
    def schedule(
        self, py_func: Callable[[], Awaitable[object]], interval: SupportsFloat | SupportsIndex
    ) -> int:
        """Registers `py_func` to be called every `interval` seconds; returns its task id."""
    @overload
    def schedule(self, py_func: Callable[[], object], interval: SupportsFloat | SupportsIndex) -> int:
        """Registers `py_func` to be called every `interval` seconds; returns its task id."""
    def start(self) -> None:
        """Starts every pending task on a native thread of its own."""
    def cancel(self, task_id: SupportsIndex) -> None:
        """Stops one task; ValueError "Task id:N not found" for an unknown id."""
    def list_schedules(self) -> None:
        """Returns None; the scheduler offers no listing of its tasks."""
    def shutdown(self) -> None:
        """Stops every task and forgets them all."""
