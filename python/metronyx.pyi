"""Drift-free periodic calls of Python callables from native threads."""

from typing import Callable, Final, SupportsFloat, SupportsIndex, final

__all__: Final = ["Scheduler"]

@final
class Scheduler:
    """Collects periodic tasks and runs each on a native thread of its own.

    Task ids are signed 8-bit integers handed out by a wrapping counter (1, 2, ... 127, -128, ...
    -1, 0, 1 ...). Started workers keep running until cancelled, shut down, or the process ends;
    dropping the Scheduler does not stop them.
    """

    def __new__(cls) -> Scheduler: ...
    def schedule(self, py_func: Callable[[], object], interval: SupportsFloat | SupportsIndex) -> int:
        """Registers `py_func` to be called every `interval` seconds; returns its task id."""
    def start(self) -> None:
        """Starts every pending task on a native thread of its own."""
    def cancel(self, task_id: SupportsIndex) -> None:
        """Stops one task; ValueError "Task id:N not found" for an unknown id."""
    def list_schedules(self) -> None: ...
    def shutdown(self) -> None:
        """Stops every task and forgets them all."""
