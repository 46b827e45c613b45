"""Argument matching and conversion for schedule(), cancel() and Scheduler(): the exact messages,
which error wins when several apply, and what each parameter accepts."""

import math
import sys

import pytest

import metronyx


def f():
    pass


def g():
    pass


@pytest.fixture
def s():
    instance = metronyx.Scheduler()
    yield instance
    instance.shutdown()


def message_of(call, kind=TypeError):
    with pytest.raises(kind) as caught:
        call()
    assert type(caught.value) is kind
    return str(caught.value)


# --- matching arguments to parameters -----------------------------------------------------------

PARSER_CASES = [
    # too many positional arguments
    (lambda s: s.schedule(f, 1.0, 2), "Scheduler.schedule() takes 2 positional arguments but 3 were given"),
    (lambda s: s.schedule(f, 1.0, 2, 3), "Scheduler.schedule() takes 2 positional arguments but 4 were given"),
    (lambda s: s.cancel(1, 2), "Scheduler.cancel() takes 1 positional arguments but 2 were given"),
    (lambda s: metronyx.Scheduler(1), "Scheduler.__new__() takes 0 positional arguments but 1 was given"),
    (lambda s: metronyx.Scheduler(1, 2), "Scheduler.__new__() takes 0 positional arguments but 2 were given"),
    # missing arguments
    (lambda s: s.schedule(), "Scheduler.schedule() missing 2 required positional arguments: 'py_func' and 'interval'"),
    (lambda s: s.schedule(f), "Scheduler.schedule() missing 1 required positional argument: 'interval'"),
    (lambda s: s.schedule(py_func=f), "Scheduler.schedule() missing 1 required positional argument: 'interval'"),
    (lambda s: s.schedule(interval=1.0), "Scheduler.schedule() missing 1 required positional argument: 'py_func'"),
    (lambda s: s.cancel(), "Scheduler.cancel() missing 1 required positional argument: 'task_id'"),
    # one parameter given twice
    (lambda s: s.schedule(f, py_func=g), "Scheduler.schedule() got multiple values for argument 'py_func'"),
    (lambda s: s.schedule(f, 1.0, interval=2.0), "Scheduler.schedule() got multiple values for argument 'interval'"),
    (lambda s: s.cancel(1, task_id=2), "Scheduler.cancel() got multiple values for argument 'task_id'"),
    # unknown keywords
    (lambda s: s.schedule(f, 1.0, x=1), "Scheduler.schedule() got an unexpected keyword argument 'x'"),
    (lambda s: s.cancel(1, x=1), "Scheduler.cancel() got an unexpected keyword argument 'x'"),
    (lambda s: metronyx.Scheduler(a=1), "Scheduler.__new__() got an unexpected keyword argument 'a'"),
    (lambda s: s.schedule(f, 1.0, **{"py-func": 1}), "Scheduler.schedule() got an unexpected keyword argument 'py-func'"),
    (lambda s: s.schedule(f, 1.0, Interval=1), "Scheduler.schedule() got an unexpected keyword argument 'Interval'"),
]


@pytest.mark.parametrize("call, message", PARSER_CASES)
def test_parser_messages(s, call, message):
    """Wrong counts and names are TypeErrors worded exactly as the parser words them."""
    assert message_of(lambda: call(s)) == message


PRECEDENCE_CASES = [
    # the positional count is checked before any keyword
    (lambda s: s.schedule(1, 2, 3, x=1), "Scheduler.schedule() takes 2 positional arguments but 3 were given"),
    (lambda s: metronyx.Scheduler(1, a=1), "Scheduler.__new__() takes 0 positional arguments but 1 was given"),
    # a bad keyword is reported before missing arguments
    (lambda s: s.schedule(x=1), "Scheduler.schedule() got an unexpected keyword argument 'x'"),
    (lambda s: s.cancel(x=1), "Scheduler.cancel() got an unexpected keyword argument 'x'"),
    (lambda s: s.schedule(1, py_func=2), "Scheduler.schedule() got multiple values for argument 'py_func'"),
    # keywords are checked one at a time, in call order
    (lambda s: s.schedule(f, x=1, py_func=g), "Scheduler.schedule() got an unexpected keyword argument 'x'"),
    (lambda s: s.schedule(f, py_func=g, x=1), "Scheduler.schedule() got multiple values for argument 'py_func'"),
    (lambda s: s.schedule(f, 1.0, y=1, x=2), "Scheduler.schedule() got an unexpected keyword argument 'y'"),
    (lambda s: metronyx.Scheduler(b=1, a=2), "Scheduler.__new__() got an unexpected keyword argument 'b'"),
    # matching comes before conversion
    (lambda s: s.schedule(f, "not a number", x=1), "Scheduler.schedule() got an unexpected keyword argument 'x'"),
    (lambda s: s.cancel("not a number", 2), "Scheduler.cancel() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", PRECEDENCE_CASES)
def test_first_failing_check_decides_the_error(s, call, message):
    """When several things are wrong, the first check in matching order decides the message."""
    assert message_of(lambda: call(s)) == message


def test_keywords_in_any_order(s):
    """Parameters may be passed by keyword, in any order, or mixed with positionals."""
    assert s.schedule(interval=2.0, py_func=f) == 1
    assert s.schedule(py_func=f, interval=2.0) == 2
    assert s.schedule(f, interval=2.0) == 3
    assert s.cancel(task_id=2) is None


def test_keyword_that_is_not_valid_utf8_is_unexpected(s):
    """A keyword name holding a lone surrogate is reported as unexpected, its text made printable."""
    bad = "\udc80"
    assert message_of(lambda: s.schedule(f, 1.0, **{bad: 1})) == (
        "Scheduler.schedule() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
    )
    assert message_of(lambda: s.cancel(**{bad: 1})) == (
        "Scheduler.cancel() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
    )
    assert message_of(lambda: metronyx.Scheduler(**{"a" + bad: 1})) == (
        "Scheduler.__new__() got an unexpected keyword argument 'a\ufffd\ufffd\ufffd'"
    )


def test_failed_calls_change_nothing(s):
    """A call refused for its arguments takes no id and keeps no reference to what it was given."""
    before = sys.getrefcount(g)
    for call in (lambda: s.schedule(g, "x"), lambda: s.schedule(g, 1.0, 2), lambda: s.schedule(g, 10**400)):
        with pytest.raises((TypeError, OverflowError)):
            call()
    assert sys.getrefcount(g) == before
    assert s.schedule(f, 1.0) == 1


# --- interval ----------------------------------------------------------------------------------


class FloatLike:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.value


class FloatSubclass(float):
    pass


@pytest.mark.parametrize("interval", [5, True, 0, -7, 2**60, FloatSubclass(0.25), -1.0, math.nan, math.inf])
def test_interval_accepts_what_converts_to_float(s, interval):
    """Ints, bools, float subclasses and any float value, NaN and infinities included, are accepted."""
    assert s.schedule(f, interval) == 1


def test_interval_converts_objects_with_float_or_index(s):
    """Objects with __float__ or __index__ are converted through them, once."""
    with_float, with_index = FloatLike(2.5), IndexLike(3)
    assert s.schedule(f, with_float) == 1
    assert s.schedule(f, with_index) == 2
    assert (with_float.calls, with_index.calls) == (1, 1)


# The interpreter's own text, passed through as it stands; 3.15 words it differently.
FLOAT_RETURNED_INT = (
    "FloatLike.__float__ returned non-float (type int)"
    if sys.version_info < (3, 15)
    else "test_arguments.FloatLike.__float__() must return a float, not int"
)


@pytest.mark.parametrize(
    "interval, message",
    [
        ("1", "argument 'interval': must be real number, not str"),
        (None, "argument 'interval': must be real number, not NoneType"),
        ([], "argument 'interval': must be real number, not list"),
        (FloatLike(1), "argument 'interval': " + FLOAT_RETURNED_INT),
    ],
)
def test_interval_type_errors_name_the_argument(s, interval, message):
    """A TypeError from the float conversion is reworded "argument 'interval': ..." with no cause."""
    with pytest.raises(TypeError) as caught:
        s.schedule(f, interval)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


def test_interval_type_error_keeps_its_cause_but_not_itself(s):
    """The reworded TypeError carries the original's cause, not the original."""
    cause = KeyError("why")

    class Failing:
        def __float__(self):
            raise TypeError("inner text") from cause

    with pytest.raises(TypeError) as caught:
        s.schedule(f, Failing())
    assert str(caught.value) == "argument 'interval': inner text"
    assert caught.value.__cause__ is cause


def test_interval_other_errors_pass_unchanged(s):
    """Errors other than a plain TypeError reach the caller as raised, with no argument prefix."""

    class SubTypeError(TypeError):
        pass

    class Raising:
        def __init__(self, error):
            self.error = error

        def __float__(self):
            raise self.error

    for error in (ValueError("bad value"), SubTypeError("sub"), ZeroDivisionError("zero")):
        with pytest.raises(type(error)) as caught:
            s.schedule(f, Raising(error))
        assert caught.value is error

    assert message_of(lambda: s.schedule(f, 10**400), OverflowError) == "int too large to convert to float"
    assert s.schedule(f, 1.0) == 1


# --- task_id -----------------------------------------------------------------------------------


@pytest.mark.parametrize("task_id", [127, -128, -1, 0, True])
def test_task_id_converts_across_the_signed_byte_range(s, task_id):
    """Ids from -128 to 127 convert (-1 included) and are then looked up."""
    assert message_of(lambda: s.cancel(task_id), ValueError) == f"Task id:{int(task_id)} not found"


@pytest.mark.parametrize("task_id", [128, -129, 1000, 2**31 - 1, -(2**31), IndexLike(300)])
def test_task_id_outside_a_signed_byte_overflows(s, task_id):
    """An int outside -128..127 but within 32 bits is an OverflowError of the module's own wording."""
    assert message_of(lambda: s.cancel(task_id), OverflowError) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("task_id", [2**31, -(2**31) - 1, 2**40, 2**63, -(2**80)])
def test_task_id_beyond_32_bits_gets_the_interpreters_overflow(s, task_id):
    """An int beyond 32 bits is refused by the interpreter's own conversion, its message unchanged."""
    message = message_of(lambda: s.cancel(task_id), OverflowError)
    assert message.startswith("Python int too large to convert to C ")


def test_task_id_converts_objects_with_index(s):
    """An object with __index__ is converted through it to the id it names."""
    for _ in range(5):
        s.schedule(f, 1.0)
    five = IndexLike(5)
    assert s.cancel(five) is None
    assert five.calls == 1
    assert message_of(lambda: s.cancel(IndexLike(6)), ValueError) == "Task id:6 not found"


@pytest.mark.parametrize(
    "task_id, message",
    [
        (1.0, "argument 'task_id': 'float' object cannot be interpreted as an integer"),
        ("1", "argument 'task_id': 'str' object cannot be interpreted as an integer"),
        (None, "argument 'task_id': 'NoneType' object cannot be interpreted as an integer"),
        (FloatLike(1.0), "argument 'task_id': 'FloatLike' object cannot be interpreted as an integer"),
    ],
)
def test_task_id_type_errors_name_the_argument(s, task_id, message):
    """A task_id that is not an integer gives a TypeError "argument 'task_id': ..." with no cause."""
    with pytest.raises(TypeError) as caught:
        s.cancel(task_id)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__cause__ is None


def test_task_id_errors_from_index_pass_through(s):
    """__index__ failures keep their own type; a plain TypeError is reworded and keeps its cause."""
    cause = LookupError("why")

    class Failing:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error

    type_error = TypeError("no index today")
    type_error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        s.cancel(Failing(type_error))
    assert str(caught.value) == "argument 'task_id': no index today"
    assert caught.value.__cause__ is cause

    value_error = ValueError("plain")
    with pytest.raises(ValueError) as passed:
        s.cancel(Failing(value_error))
    assert passed.value is value_error
