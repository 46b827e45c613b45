"""Property-based checks against small pure-Python models.

- The argument rules: random positional and keyword argument lists for `Scheduler()`, `schedule`
  and `cancel`, and random argument values, against a model of the parser's checks, their order
  and their exact messages, and of the two conversions.
- The scheduler's states: random sequences of schedule/cancel/start/shutdown against a model of
  the ids, the run flags and which tasks still run, checked through the stop lines that workers
  write to file descriptor 1 and through the calls each task receives.

The quick form tries a few dozen examples; METRONYX_RELIABILITY=full tries many more.
"""

from __future__ import annotations

import collections
import sys
import weakref
from dataclasses import dataclass

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

import metronyx
from reliability_support import FdCapture, enter_module, scaled, stop_ids, wait_until, wrap_id

Scheduler = metronyx.Scheduler

SETTINGS = settings(
    max_examples=scaled(60, 1_000),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# ---- The model of argument matching ----

NEW = ("Scheduler.__new__()", ())
SCHEDULE = ("Scheduler.schedule()", ("py_func", "interval"))
CANCEL = ("Scheduler.cancel()", ("task_id",))


def text_form(name: str) -> str:
    """A str as the module writes it: UTF-8, each lone surrogate as three U+FFFD."""
    return name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def name_list(names: list[str]) -> str:
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 1:
        return "".join(quoted)
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def parse(description, positional: list, keywords: dict) -> tuple[type, str] | list:
    """The parser's checks in their order: the first failing one decides. On success, the slots
    (every parameter of these methods is required, so all are filled)."""
    qualified, names = description
    given = len(positional)
    if given > len(names):
        verb = "was" if given == 1 else "were"
        return TypeError, f"{qualified} takes {len(names)} positional arguments but {given} {verb} given"
    slots = list(positional) + [None] * (len(names) - given)
    filled = [True] * given + [False] * (len(names) - given)
    for name, value in keywords.items():
        if name not in names:
            return TypeError, f"{qualified} got an unexpected keyword argument '{text_form(name)}'"
        index = names.index(name)
        if filled[index]:
            return TypeError, f"{qualified} got multiple values for argument '{name}'"
        slots[index], filled[index] = value, True
    missing = [name for name, done in zip(names, filled) if not done]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return TypeError, f"{qualified} missing {len(missing)} required positional {noun}: {name_list(missing)}"
    return slots


# ---- The model of the two conversions ----


class FloatLike:
    def __init__(self, value: float):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value: int):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """__float__ and __index__ raise the given kind of error."""

    def __init__(self, kind: type[Exception], message: str):
        self.kind, self.message = kind, message

    def __float__(self):
        raise self.kind(self.message)

    def __index__(self):
        raise self.kind(self.message)

    def __repr__(self):
        return f"Raises({self.kind.__name__}, {self.message!r})"


class WrongReturn:
    def __float__(self):
        return "1.0"

    def __index__(self):
        return "1"


# The interpreter's own texts, passed through as they stand; 3.15 words them differently.
if sys.version_info < (3, 15):
    WRONG_FLOAT = "WrongReturn.__float__ returned non-float (type str)"
    WRONG_INDEX = "__index__ returned non-int (type str)"
else:
    WRONG_FLOAT = "test_reliability_properties.WrongReturn.__float__() must return a float, not str"
    WRONG_INDEX = "test_reliability_properties.WrongReturn.__index__() must return an int, not str"


def expected_interval(value) -> tuple[type, str] | None:
    """None if `value` converts to a float; else the error and its exact message."""
    if isinstance(value, (float, FloatLike)):
        return None
    if isinstance(value, Raises):
        if value.kind is TypeError:  # exactly TypeError: attributed to the parameter
            return TypeError, f"argument 'interval': {value.message}"
        return value.kind, value.message
    if isinstance(value, WrongReturn):
        return TypeError, f"argument 'interval': {WRONG_FLOAT}"
    number = value.value if isinstance(value, IndexLike) else value
    if isinstance(number, int):
        return (OverflowError, "int too large to convert to float") if abs(number) >= 2**1024 else None
    return TypeError, f"argument 'interval': must be real number, not {type(value).__name__}"


def expected_task_id(value) -> tuple[type, str | None] | int:
    """The task id `value` converts to; else the error and its exact message (None: the
    interpreter's own wording, which only has to be an OverflowError)."""
    if isinstance(value, Raises):
        if value.kind is TypeError:
            return TypeError, f"argument 'task_id': {value.message}"
        return value.kind, value.message
    if isinstance(value, WrongReturn):
        return TypeError, f"argument 'task_id': {WRONG_INDEX}"
    number = value.value if isinstance(value, IndexLike) else value
    if not isinstance(number, int):
        return TypeError, f"argument 'task_id': '{type(value).__name__}' object cannot be interpreted as an integer"
    if not -(2**31) <= number < 2**31:
        return OverflowError, None
    if not -128 <= number <= 127:
        return OverflowError, "out of range integral type conversion attempted"
    return int(number)


# ---- Strategies ----

NAMES = st.one_of(
    st.sampled_from(["py_func", "interval", "task_id", "x", "self", "Interval", "py_func ", "\u03c0", "", "\ud800", "a\udfffb"]),
    st.text(max_size=6),
)
PLAIN_VALUES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.integers(min_value=2**1024, max_value=2**1030),
    st.booleans(),
    st.none(),
    st.text(max_size=3),
    st.binary(max_size=3),
    st.builds(FloatLike, st.floats(allow_nan=False)),
    st.builds(IndexLike, st.integers(min_value=-300, max_value=300)),
    st.builds(Raises, st.sampled_from([TypeError, ValueError, ArithmeticError]), st.text(max_size=5)),
    st.just(WrongReturn()),
    st.sampled_from([print, object(), [1]]),
)


def arguments(max_positional: int = 4):
    return st.tuples(st.lists(PLAIN_VALUES, max_size=max_positional), st.dictionaries(NAMES, PLAIN_VALUES, max_size=3))


def outcome(call) -> tuple[str, object]:
    try:
        return "value", call()
    except BaseException as error:  # every kind is compared below
        return "error", error


def check_error(result, kind: type, message: str | None) -> None:
    assert result[0] == "error", f"expected {kind.__name__}({message!r}), got the value {result[1]!r}"
    error = result[1]
    assert type(error) is kind, f"expected {kind.__name__}({message!r}), got {error!r}"
    if message is not None:
        assert str(error) == message and error.args == (message,)
    elif kind is OverflowError:
        assert str(error).startswith("Python int too large to convert to C ")


@SETTINGS
@given(arguments())
def test_construction_arguments_follow_the_model(args):
    """Scheduler() rejects any argument with the parser's first-failing-check message."""
    positional, keywords = args
    result = outcome(lambda: Scheduler(*positional, **keywords))
    expected = parse(NEW, positional, keywords)
    if isinstance(expected, list):
        assert result[0] == "value" and type(result[1]) is Scheduler
    else:
        check_error(result, *expected)


@SETTINGS
@given(arguments())
def test_schedule_arguments_follow_the_model(args):
    """schedule matches, then converts the interval, then hands out the next id, exactly as modelled."""
    positional, keywords = args
    s = Scheduler()
    for _ in range(3):
        s.schedule(print, 1.0)
    result = outcome(lambda: s.schedule(*positional, **keywords))
    slots = parse(SCHEDULE, positional, keywords)
    if not isinstance(slots, list):
        check_error(result, *slots)
    elif (error := expected_interval(slots[1])) is not None:
        check_error(result, *error)
        if type(result[1]) is TypeError:
            assert result[1].__cause__ is None
    else:
        assert result == ("value", 4)
    # A failed call changed nothing: the next id is the one after the last success.
    assert s.schedule(print, 1.0) == (5 if result[0] == "value" else 4)
    s.shutdown()


@SETTINGS
@given(arguments(max_positional=2), st.sets(st.integers(min_value=1, max_value=6), max_size=6))
def test_cancel_arguments_follow_the_model(args, cancelled_before):
    """cancel matches, converts the id into -128..127, then finds its flag or says which id it lacks."""
    positional, keywords = args
    s = Scheduler()
    known = {s.schedule(print, 1.0) for _ in range(6)}
    for task_id in cancelled_before:
        s.cancel(task_id)
    result = outcome(lambda: s.cancel(*positional, **keywords))
    slots = parse(CANCEL, positional, keywords)
    if not isinstance(slots, list):
        check_error(result, *slots)
    elif isinstance(task_id := expected_task_id(slots[0]), tuple):
        check_error(result, *task_id)
    elif task_id in known:
        assert result == ("value", None)
    else:
        check_error(result, ValueError, f"Task id:{task_id} not found")
    s.shutdown()


# ---- The model of ids, flags and running tasks ----


class Task:
    """A task's callable: counts its calls in a cell that the model keeps (the model keeps only a
    weak reference to the callable itself, so that its release can be seen)."""

    __slots__ = ("calls", "__weakref__")

    def __init__(self, calls: list[int]):
        self.calls = calls

    def __call__(self):
        self.calls[0] += 1


@dataclass
class Flag:
    running: bool = True


@dataclass
class Worker:
    task_id: int
    flag: Flag
    calls: list[int]
    callable: weakref.ref
    launched_stopped: bool
    final_calls: int | None = None


@dataclass
class Pending:
    task_id: int
    calls: list[int]
    callable: weakref.ref


INTERVALS = st.sampled_from([0.0005, 0.002, 0.005])


class SchedulerMachine(RuleBasedStateMachine):
    """The model: `last_id`, the pending tasks, the flags by id (what `run_flags` holds), and every
    worker started so far with the flag it holds. Nothing here ever orphans a worker: ids are only
    reused after a shutdown, so every worker can be stopped at the end."""

    out: FdCapture  # set by the test, around the whole run

    def __init__(self):
        super().__init__()
        self.s = Scheduler()
        self.mark = self.out.mark()
        self.last_id = 0
        self.pending: list[Pending] = []
        self.flags: dict[int, Flag] = {}
        self.workers: list[Worker] = []

    # -- operations --

    @initialize(intervals=st.lists(INTERVALS, min_size=1, max_size=6), cancelled=st.sets(st.integers(0, 5)))
    def some_tasks_running(self, intervals, cancelled):
        """Starts every example with workers, some of them launched with their flag stopped."""
        for interval in intervals:
            self.schedule(interval)
        for index in sorted(cancelled):
            if index < len(intervals):
                self.s.cancel(index + 1)
                self.flags[index + 1].running = False
        self.start()

    @rule(interval=INTERVALS)
    def schedule(self, interval):
        calls = [0]
        task = Task(calls)
        got = self.s.schedule(task, interval)
        self.last_id = wrap_id(self.last_id + 1)
        assert got == self.last_id
        self.pending.append(Pending(got, calls, weakref.ref(task)))
        self.flags[got] = Flag()  # replaces an older flag under the same id

    @rule(data=st.data())
    def cancel(self, data):
        ids = st.integers(min_value=-128, max_value=127)
        if self.flags:
            ids = st.one_of(st.sampled_from(sorted(self.flags)), ids)
        task_id = data.draw(ids, label="task_id")
        result = outcome(lambda: self.s.cancel(task_id))
        if task_id in self.flags:
            assert result == ("value", None)
            self.flags[task_id].running = False
        else:
            check_error(result, ValueError, f"Task id:{task_id} not found")

    @rule()
    def start(self):
        assert self.s.start() is None
        for task in self.pending:
            flag = self.flags[task.task_id]
            self.workers.append(Worker(task.task_id, flag, task.calls, task.callable, launched_stopped=not flag.running))
        self.pending = []

    @rule()
    def shutdown(self):
        assert self.s.shutdown() is None
        self._forget_everything()

    @rule()
    def list_schedules(self):
        assert self.s.list_schedules() is None

    @rule(count=st.integers(min_value=1, max_value=300))
    def advance_ids(self, count):
        """Moves the id counter on (through the wrap) without starting anything."""
        self.shutdown()
        for _ in range(count):
            self.s.schedule(None, 1.0)
        self.last_id = wrap_id(self.last_id + count)
        self.s.shutdown()

    @rule()
    def settle(self):
        self._settle()

    def teardown(self):
        self.s.shutdown()
        self._forget_everything()
        self._settle()
        # Every worker has ended: their callables are released at the next entry into the module.
        everything = [worker.callable for worker in self.workers]
        assert wait_until(lambda: enter_module() or all(ref() is None for ref in everything))

    # -- checks --

    def _forget_everything(self):
        for flag in self.flags.values():
            flag.running = False
        self.flags = {}
        # Pending callables are released at once: the lock is held.
        assert all(task.callable() is None for task in self.pending)
        self.pending = []

    def _settle(self):
        """Waits until every worker whose flag is stopped has written its stop line, and every
        worker whose flag still runs has been called again; then checks that a stopped worker
        makes no call after its stop line, and that one started with a stopped flag made none."""
        expected = collections.Counter(w.task_id for w in self.workers if not w.flag.running)
        settled = wait_until(lambda: stop_ids(self.out.since(self.mark)) == expected, timeout=5)
        assert settled, f"stop lines {dict(stop_ids(self.out.since(self.mark)))}, expected {dict(expected)}"
        for worker in self.workers:
            if worker.flag.running:
                continue
            if worker.final_calls is None:
                worker.final_calls = worker.calls[0]
            assert worker.calls[0] == worker.final_calls, f"task {worker.task_id} was called after its stop line"
            if worker.launched_stopped:
                assert worker.final_calls == 0, f"task {worker.task_id} was cancelled before start but called"
        running = [(w, w.calls[0]) for w in self.workers if w.flag.running]
        assert wait_until(lambda: all(w.calls[0] > seen for w, seen in running), timeout=5), "a running task is no longer called"


def test_operation_sequences_follow_the_model():
    """Random schedule/cancel/start/shutdown sequences: ids, errors, stop lines and calls match the model."""
    with FdCapture(1) as out:
        SchedulerMachine.out = out
        run_state_machine_as_test(
            SchedulerMachine,
            settings=settings(
                max_examples=scaled(40, 400),
                stateful_step_count=scaled(30, 60),
                deadline=None,
                database=None,
                suppress_health_check=list(HealthCheck),
            ),
        )
