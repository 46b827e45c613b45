"""The module object: its contents, one module per process, and one interpreter per process."""

import pytest

import metronyx

from conftest import FREE_THREADED, STOP_LINE, lines, run_python


def test_module_contents():
    """The module has an empty docstring and exports exactly the Scheduler type."""
    assert metronyx.__name__ == "metronyx"
    assert metronyx.__doc__ == ""
    assert metronyx.__all__ == ["Scheduler"]
    assert isinstance(metronyx.Scheduler, type)
    assert type(metronyx.Scheduler()) is metronyx.Scheduler
    public = {name for name in vars(metronyx) if not name.startswith("_")}
    assert public == {"Scheduler"}


def test_import_after_removal_from_sys_modules_gives_the_same_module():
    """Importing again after deleting sys.modules["metronyx"] returns the identical module."""
    result = run_python(
        """
    import sys
    import metronyx as first
    scheduler_type = first.Scheduler
    del sys.modules["metronyx"]
    import metronyx as second
    assert second is first
    assert second.__all__ == ["Scheduler"]
    assert second.Scheduler is scheduler_type
    print("ok")
    """.replace("{refusal!r}", repr(SUB_INTERPRETER_REFUSAL))
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_entry_point_called_again_returns_the_cached_module():
    """PyInit_metronyx called directly, past the interpreter's cache, returns the same module."""
    result = run_python(
        """
    import ctypes, metronyx
    init = ctypes.PyDLL(metronyx.__file__).PyInit_metronyx
    init.restype = ctypes.py_object
    again = init()
    assert again is metronyx, (again, metronyx)
    assert init() is metronyx
    assert metronyx.__all__ == ["Scheduler"]  # populated once only
    print("ok")
    """.replace("{refusal!r}", repr(SUB_INTERPRETER_REFUSAL))
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


# The module's refusal of a sub-interpreter. A free-threaded build refuses every single-phase
# module in a sub-interpreter itself, before the module's own check runs, in its own words.
SUB_INTERPRETER_REFUSAL = (
    "module metronyx does not support loading in subinterpreters"
    if FREE_THREADED
    else "does not support sub-interpreters"
)

SUBINTERPRETER = """
    import os, time, types

    try:
        import _interpreters
    except ImportError:  # 3.12 names the module differently and raises where 3.13 returns
        import _xxsubinterpreters as _interpreters

    def import_in(config):
        if not hasattr(_interpreters, "RunFailedError"):
            interp = _interpreters.create(config)
            try:
                return _interpreters.run_string(interp, "import metronyx")
            finally:
                _interpreters.destroy(interp)
        interp = _interpreters.create(isolated=config == "isolated")
        try:
            _interpreters.run_string(interp, "import metronyx")
        except _interpreters.RunFailedError as error:
            name, _, msg = str(error).partition(": ")  # "<class 'ImportError'>: message"
            name = name.removeprefix("<class '").removesuffix("'>")
            return types.SimpleNamespace(type=types.SimpleNamespace(__name__=name), msg=msg)
        finally:
            _interpreters.destroy(interp)
        return None
"""


@pytest.mark.posix("thread counts from /proc")
def test_second_interpreter_is_refused_and_the_first_keeps_working():
    """A sub-interpreter's import raises ImportError; the first interpreter's module still works."""
    result = run_python(
        SUBINTERPRETER
        + """
    import metronyx
    # A legacy sub-interpreter reaches the module's own check (with the interpreter lock).
    legacy = import_in("legacy")
    assert legacy is not None, "the legacy sub-interpreter imported the module"
    assert legacy.type.__name__ == "ImportError", legacy
    print("legacy:", legacy.msg, flush=True)  # before the stop line that fd 1 gets directly
    # An isolated one is refused by the interpreter before the module runs at all.
    isolated = import_in("isolated")
    assert isolated is not None and isolated.type.__name__ == "ImportError", isolated
    # Refused again: the check does not depend on how often it was met.
    assert import_in("legacy").msg == legacy.msg

    s = metronyx.Scheduler()
    calls = []
    task_id = s.schedule(lambda: calls.append(1), 0.005)
    s.start()
    deadline = time.monotonic() + 10
    while len(calls) < 3 and time.monotonic() < deadline:
        time.sleep(0.005)
    s.cancel(task_id)
    while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < deadline:
        time.sleep(0.005)  # the worker's thread ends after its stop line
    print("calls:", len(calls) >= 3, flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    out = lines(result.stdout)
    legacy_message = out[0].removeprefix("legacy: ")
    assert SUB_INTERPRETER_REFUSAL in legacy_message
    assert "calls: True" in out
    assert STOP_LINE.format(1) in out
    assert result.stderr == ""


def test_sub_interpreter_importing_first_does_not_take_the_module():
    """A sub-interpreter that imports before the main one is refused; the main one imports after."""
    result = run_python(
        SUBINTERPRETER
        + """
    failure = import_in("legacy")
    assert failure is not None and failure.type.__name__ == "ImportError", failure
    assert {refusal!r} in failure.msg, failure.msg
    import metronyx
    assert metronyx.__all__ == ["Scheduler"]
    assert metronyx.Scheduler().schedule(print, 1.0) == 1
    print("ok")
    """.replace("{refusal!r}", repr(SUB_INTERPRETER_REFUSAL))
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
