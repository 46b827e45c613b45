"""Stress: many threads, many workers, many releases, many exits.

- Python threads call every method on a shared instance and on instances of their own while
  workers run, end and are replaced; every worker ends, every callable is released, and every
  launched worker writes exactly one stop line.
- Threads call into an instance while another thread's conversion holds its borrow with the lock
  given up: they get the borrow errors and nothing else, and the instance stays consistent.
- Thousands of workers end at once from several threads and leave their callables to the deferred
  release, which several other threads drain concurrently.
- Programs end while workers are running (normal end, sys.exit, an uncaught exception, a
  KeyboardInterrupt in the main thread), each with exactly the status and standard error of the
  same program run without any worker.

The quick form runs a few hundred operations and a dozen exits; METRONYX_RELIABILITY=full runs
thousands of operations and 200 exits.
"""

from __future__ import annotations

import contextlib
import random
import subprocess
import sys
import threading
import time
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest

import metronyx
from conftest import FREE_THREADED
from reliability_support import FdCapture, enter_module, scaled, stop_ids, wait_until, wrap_id

Scheduler = metronyx.Scheduler


@contextlib.contextmanager
def frequent_switches():
    """Makes the interpreter hand its lock between threads every few microseconds instead of every
    5 ms, so that the threads below interleave inside each other's operations, not only between
    long runs of them."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


class Task:
    __slots__ = ("calls", "__weakref__")

    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


class Instance:
    """A Scheduler with what the test knows about it: how many of its tasks are pending, which ids
    it handed out. Operations and bookkeeping happen under one lock, so that the count of launched
    workers is exact even on an instance that several threads share."""

    def __init__(self):
        self.scheduler = Scheduler()
        self.lock = threading.Lock()
        self.pending = 0
        self.ids: list[int] = []
        self.schedules_since_shutdown = 0


def test_threads_call_every_method_while_workers_run_and_end():
    """Threads racing over shared and separate instances lose no worker, no stop line and no release."""
    thread_count = 4
    operations = scaled(600, 10_000)
    shared = Instance()
    launched = [0]
    launched_lock = threading.Lock()
    tasks: list[weakref.ref] = []
    failures: list[BaseException] = []

    def operate(instance: Instance, rng: random.Random) -> None:
        with instance.lock:
            s = instance.scheduler
            # Ids are reused after 256 schedules; a shutdown before that keeps every worker stoppable.
            choice = "shutdown" if instance.schedules_since_shutdown >= 200 else rng.choice(
                ["schedule"] * 4 + ["cancel"] * 2 + ["start", "list", "shutdown"]
            )
            if choice == "schedule":
                task = Task()
                tasks.append(weakref.ref(task))
                instance.ids.append(s.schedule(task, rng.choice([0.0005, 0.002, 0.01])))
                instance.pending += 1
                instance.schedules_since_shutdown += 1
            elif choice == "cancel":
                task_id = rng.choice(instance.ids) if instance.ids and rng.random() < 0.8 else rng.randrange(-128, 128)
                try:
                    s.cancel(task_id)
                except ValueError as error:
                    assert str(error) == f"Task id:{task_id} not found"
            elif choice == "start":
                s.start()
                with launched_lock:
                    launched[0] += instance.pending
                instance.pending = 0
            elif choice == "list":
                assert s.list_schedules() is None
            else:
                s.shutdown()
                instance.pending = 0
                instance.ids.clear()
                instance.schedules_since_shutdown = 0

    def body(seed: int) -> None:
        rng = random.Random(seed)
        own = Instance()
        try:
            for step in range(operations):
                operate(shared if rng.random() < 0.5 else own, rng)
                if rng.random() < 0.02:
                    time.sleep(0.001)  # lets the workers of this moment make their calls
                if step % 97 == 96:
                    # A new instance of its own; the old one is stopped first, then destroyed.
                    own.scheduler.shutdown()
                    own = Instance()
        except BaseException as error:
            failures.append(error)
        finally:
            own.scheduler.shutdown()

    with FdCapture(1) as out, frequent_switches():
        threads = [threading.Thread(target=body, args=(seed,), daemon=True) for seed in range(thread_count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        shared.scheduler.shutdown()
        released = wait_until(lambda: enter_module() or all(ref() is None for ref in tasks))
        stopped = sum(stop_ids(out.text()).values())
    assert not failures, failures[0]
    assert released, f"{sum(ref() is not None for ref in tasks)} of {len(tasks)} callables still held"
    assert stopped == launched[0]


class SlowInterval:
    """An interval whose conversion gives the interpreter lock up, so that other threads run while
    `schedule` holds its exclusive borrow of the instance. On a free-threaded build a thread that
    finds such a borrow waits up to 5 ms before it reports the borrow error: the conversion outlasts
    that there."""

    def __float__(self):
        time.sleep(0.008 if FREE_THREADED else 0.0005)
        return 0.002


def test_threads_contending_for_one_borrowed_instance_get_borrow_errors_only():
    """Methods entered from other threads while a conversion holds the borrow fail cleanly and corrupt nothing."""
    s = Scheduler()
    rounds = scaled(150, 2_000)
    done = threading.Event()
    tasks: list[weakref.ref] = []
    conflicts: list[str] = []
    failures: list[BaseException] = []
    borrow_errors = {"Already borrowed", "Already mutably borrowed"}

    def schedule_slowly() -> None:
        try:
            for step in range(rounds):
                task = Task()
                tasks.append(weakref.ref(task))
                s.schedule(task, SlowInterval())
                if step % 50 == 49:
                    s.shutdown()  # no other thread schedules: ids are never reused while a task runs
        except BaseException as error:
            failures.append(error)
        finally:
            done.set()

    def contend(seed: int) -> None:
        rng = random.Random(seed)
        calls = [s.start, s.shutdown, s.list_schedules, lambda: s.cancel(rng.randrange(-128, 128))]
        while not done.is_set():
            try:
                rng.choice(calls)()
            except RuntimeError as error:
                assert str(error) in borrow_errors, error
                conflicts.append(str(error))
            except ValueError as error:
                assert str(error).endswith(" not found"), error
            except BaseException as error:
                failures.append(error)
                return

    with FdCapture(1) as out, frequent_switches():
        threads = [threading.Thread(target=schedule_slowly, daemon=True)]
        threads += [threading.Thread(target=contend, args=(seed,), daemon=True) for seed in range(3)]
        for thread in threads:
            thread.start()
        try:
            for thread in threads:
                thread.join()
        finally:
            done.set()  # stops the contending threads even if this test is interrupted
        s.shutdown()
        released = wait_until(lambda: enter_module() or all(ref() is None for ref in tasks))
        stop_ids(out.text())  # every line on standard output is a well-formed stop line
    assert not failures, failures[0]
    assert released, f"{sum(ref() is not None for ref in tasks)} of {len(tasks)} callables still held"
    assert set(conflicts) == borrow_errors  # both kinds of refusal happened
    # The borrow is free again and the id counter went on where it was.
    assert s.schedule(Task(), 1.0) == wrap_id(rounds + 1)
    s.shutdown()


def test_thousands_of_deferred_releases_drain_from_many_threads():
    """The callables of thousands of workers that end at once, while several threads keep entering
    the module, are all released."""
    producers = 4
    batch = 50
    batches = scaled(5, 40)
    tasks: list[weakref.ref] = []
    done = threading.Event()
    failures: list[BaseException] = []

    def produce() -> None:
        try:
            for _ in range(batches):
                s = Scheduler()
                fresh = [Task() for _ in range(batch)]
                tasks.extend(weakref.ref(task) for task in fresh)
                ids = [s.schedule(task, 0.001) for task in fresh]
                del fresh
                for task_id in ids:
                    s.cancel(task_id)
                # Launched with their flags stopped: each worker writes its stop line and ends at
                # once, releasing its callable on its own thread with the interpreter lock taken
                # among the drainers' entries. (The deferred release, which a worker now needs only
                # when it ends without the lock, is left to the C++ tests.)
                s.start()
        except BaseException as error:
            failures.append(error)

    def drain() -> None:
        s = Scheduler()
        while not done.is_set():
            s.list_schedules()

    with FdCapture(1) as out, frequent_switches():
        drainers = [threading.Thread(target=drain, daemon=True) for _ in range(3)]
        workers = [threading.Thread(target=produce, daemon=True) for _ in range(producers)]
        for thread in drainers + workers:
            thread.start()
        try:
            for thread in workers:
                thread.join()
            expected = producers * batches * batch
            all_stopped = wait_until(lambda: sum(stop_ids(out.text()).values()) == expected)
            released = wait_until(lambda: all(ref() is None for ref in tasks))
        finally:
            # A malformed stop line fails the wait above; the drainers must not go on looping.
            done.set()
            for thread in drainers:
                thread.join()
        stopped = sum(stop_ids(out.text()).values())
    assert not failures, failures[0]
    assert all_stopped and stopped == expected
    assert released, f"{sum(ref() is not None for ref in tasks)} of {len(tasks)} callables still held"
    assert len(tasks) == expected


# ---- Exits with running workers ----

EXIT_PROGRAM = """\
import signal, sys, time
import metronyx

kind, with_workers = sys.argv[1], sys.argv[2] == "workers"
state = {"calls": 0}
# Python keeps SIGINT ignored if it starts ignored (as in a shell's background job).
signal.signal(signal.SIGINT, signal.default_int_handler)


def count():
    state["calls"] += 1


def allocate():
    state["junk"] = [object() for _ in range(100)]


def nap():
    time.sleep(0.001)


if with_workers:
    s = metronyx.Scheduler()
    for index, func in enumerate([count, allocate, nap, count, allocate, nap, count, count]):
        s.schedule(func, (0.0, 0.0005, 0.001, 0.003)[index % 4])
    s.start()
    # A Scheduler destroyed while its tasks run: they go on until the program ends.
    orphaned = metronyx.Scheduler()
    orphaned.schedule(count, 0.0005)
    orphaned.start()
    del orphaned
    while state["calls"] < 50:
        time.sleep(0.0005)
print("main done", flush=True)
if kind == "exit":
    sys.exit(3)
if kind == "raise":
    raise ValueError("uncaught at exit")
if kind == "interrupt":
    signal.raise_signal(signal.SIGINT)
"""

EXIT_STATUS = {"normal": 0, "exit": 3, "raise": 1, "interrupt": -2}


@pytest.fixture(scope="module")
def exit_program(tmp_path_factory):
    path = tmp_path_factory.mktemp("exits") / "program.py"
    path.write_text(EXIT_PROGRAM)
    return path


def run_exit(path, kind: str, workers: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(path), kind, workers],
        capture_output=True,
        text=True,
        errors="backslashreplace",
        cwd=path.parent,
        timeout=120,
    )


@pytest.mark.parametrize(
    "kind", [pytest.param(kind, marks=pytest.mark.posix("SIGINT")) if kind == "interrupt" else kind for kind in EXIT_STATUS]
)
def test_program_ends_with_running_workers_exactly_as_without_them(kind, exit_program):
    """Ending with workers mid-call, asleep or waiting for the lock changes neither status nor output."""
    control = run_exit(exit_program, kind, "none")
    assert control.returncode == EXIT_STATUS[kind]
    assert control.stdout == "main done\n"
    runs = scaled(3, 50)
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda _: run_exit(exit_program, kind, "workers"), range(runs)))
    wrong = [
        (result.returncode, result.stdout, result.stderr)
        for result in results
        if (result.returncode, result.stdout, result.stderr) != (control.returncode, control.stdout, control.stderr)
    ]
    assert not wrong, f"{len(wrong)} of {runs} exits differ from {control.returncode, control.stderr!r}, first: {wrong[0]}"


def test_exit_lets_a_call_in_progress_finish(tmp_path):
    """A call that is running when the program ends completes before the interpreter finalizes."""
    program = tmp_path / "program.py"
    program.write_text(
        "import os, threading, time, metronyx\n"
        "started = threading.Event()\n"
        "def nap():\n"
        "    started.set()\n"
        "    time.sleep(0.2)\n"
        "    os.write(1, b'call finished\\n')\n"
        "s = metronyx.Scheduler()\n"
        "s.schedule(nap, 60.0)\n"
        "s.start()\n"
        "started.wait(30)\n"
    )
    result = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout, result.stderr) == (0, "call finished\n", "")
