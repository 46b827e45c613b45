"""Hard conditions: memory running out while a worker starts, in a method or in a worker's call, a
finalizer that blocks, a full standard output, an interpreter finalized and initialized again by
its host.

Each runs in a subprocess (or a host program built here against the running interpreter), since
each leaves the process in a state no other test should share.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap

import pytest

import metronyx
from reliability_support import run_program, sanitizer_runtime, wrap_id
from test_reliability_faults import PRELUDE, results


def compile_c(source: str, directory: str, name: str, *, shared: bool) -> str:
    """Builds `source` with the running interpreter's compiler and headers: a shared library that
    the interpreter loads, or a program that embeds it (linked against its library)."""
    if sys.platform == "win32":
        pytest.skip("needs POSIX (a Unix C compiler's command line for its helper), which Windows does not have")
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if shutil.which(compiler[0]) is None:
        # The wheels are tested where no build tools are, as a user installs them.
        pytest.skip(f"needs a C compiler ({compiler[0]}) to build its helper")
    source_path = os.path.join(directory, name + ".c")
    with open(source_path, "w") as file:
        file.write(textwrap.dedent(source))
    output = os.path.join(directory, name + (".so" if shared else ""))
    command = [*compiler, "-O1", "-I", sysconfig.get_paths()["include"], source_path, "-o", output]
    if shared:
        command += ["-shared", "-fPIC"]
    else:
        libdirs = {sysconfig.get_config_var(v) for v in ("LIBDIR", "LIBPL")} - {None}
        command += [f"-L{d}" for d in sorted(libdirs)] + [f"-Wl,-rpath,{d}" for d in sorted(libdirs)]
        command += [f"-lpython{sysconfig.get_config_var('LDVERSION')}"]
        command += shlex.split(sysconfig.get_config_var("LIBS") or "")
        command += shlex.split(sysconfig.get_config_var("SYSLIBS") or "")
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, f"{shlex.join(command)}\n{built.stderr}"
    return output


# Wraps the interpreter's raw allocator, where thread states come from: while armed, every calloc
# fails, as it does when the address space runs out.
FAILING_CALLOC = """
#include <Python.h>
#include <stdatomic.h>

static PyMemAllocatorEx original;
static atomic_int armed;

static void* wrapped_malloc(void* ctx, size_t size) { return original.malloc(original.ctx, size); }
static void* wrapped_calloc(void* ctx, size_t count, size_t size) {
    if (atomic_load(&armed)) return NULL;
    return original.calloc(original.ctx, count, size);
}
static void* wrapped_realloc(void* ctx, void* block, size_t size) {
    return original.realloc(original.ctx, block, size);
}
static void wrapped_free(void* ctx, void* block) { original.free(original.ctx, block); }

void install(void) {
    PyMemAllocatorEx wrapper = {NULL, wrapped_malloc, wrapped_calloc, wrapped_realloc, wrapped_free};
    PyMem_GetAllocator(PYMEM_DOMAIN_RAW, &original);
    PyMem_SetAllocator(PYMEM_DOMAIN_RAW, &wrapper);
}

void arm(int on) { atomic_store(&armed, on); }
"""


def test_thread_state_that_cannot_be_made_fails_start_not_the_process(tmp_path):
    """No memory for a worker's thread state: start() raises MemoryError, the tasks stay pending, a later start() runs them."""
    shim = compile_c(FAILING_CALLOC, str(tmp_path), "failing_calloc", shared=True)
    result = run_program(
        PRELUDE
        + f"""
import ctypes, metronyx

shim = ctypes.PyDLL({shim!r})
shim.install()
calls = {{}}


def task(index):
    return lambda: calls.__setitem__(index, calls.get(index, 0) + 1)


s = metronyx.Scheduler()
ids = [s.schedule(task(i), 0.002) for i in range(3)]
threads_before = len(os.listdir("/proc/self/task"))
shim.arm(1)
try:
    s.start()
    error = None
except BaseException as raised:
    error = raised
# A worker that made its own thread state would try now, and find no memory.
time.sleep(0.3)
shim.arm(0)
called_while_failing = dict(calls)
s.start()
wait_for(lambda: all(calls.get(i, 0) >= 3 for i in range(3)), "every task is called")
s.shutdown()
# A worker writes its stop line before its thread ends; the exit would not wait for it.
wait_for(lambda: len(os.listdir("/proc/self/task")) == threads_before, "every worker has ended")
report(error=[type(error).__name__, isinstance(error, Exception)], before=called_while_failing, ids=ids)
"""
    )
    assert result.returncode == 0, result.stderr
    r = results(result.stdout)
    assert r["error"] == ["MemoryError", True]
    assert r["before"] == {}
    stop_lines = sorted(line for line in result.stdout.splitlines() if not line.startswith("RESULT "))
    assert stop_lines == sorted(f"Task id:{i} stopped." for i in r["ids"])
    assert result.stderr == ""


# Caps the address space a little above what is mapped and fills what is left with C allocations
# that are never freed, as a leak in some library would, from the calling thread (a thread takes
# memory from an arena of its own first); `release_memory` gives it all back. A cap that is not
# enforced (under emulation) shows as far more memory than the cap allows: the program then
# exits with status 77 and the test is skipped. While memory is out, the program itself makes no
# objects it could not reuse.
OUT_OF_MEMORY = PRELUDE + """
import ctypes, itertools, resource, metronyx

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
leak = (ctypes.c_void_p * (1 << 16))()
leaked = ctypes.c_long(0)
unlimited = resource.getrlimit(resource.RLIMIT_AS)
MARGIN = 64 << 20


def exhaust_memory():
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + MARGIN, unlimited[1]))
    for size in (1 << 20, 1 << 16, 1 << 12, 1 << 8, 16):
        while leaked.value < len(leak):
            block = libc.malloc(size)
            if not block:
                break
            leak[leaked.value] = block
            leaked.value += 1
            if size == 1 << 20 and leaked.value > 4 * (MARGIN >> 20):
                release_memory()
                os._exit(77)


def release_memory():
    for index in range(leaked.value):
        libc.free(leak[index])
    leaked.value = 0
    resource.setrlimit(resource.RLIMIT_AS, unlimited)


def wait_without_allocating(flag, value):
    for _ in itertools.repeat(None, 20000):
        if flag.value == value:
            return
        time.sleep(0.001)
    sys.exit("timed out waiting while memory was out")


def thread_count():
    return len(os.listdir("/proc/self/task"))
"""

# What a worker may write while memory is out: the error line of a call that failed for want of
# memory (when there was memory left for the line), and the report of a thread the system refused.
OUT_OF_MEMORY_LINES = ("Error calling Python function: PyErr { type: <class 'MemoryError'>", "metronyx: internal failure: failed to spawn thread: ")


def run_out_of_memory(program: str):
    if sanitizer_runtime() is not None:
        pytest.skip("a sanitizer's shadow memory defeats an address-space cap")
    result = run_program(OUT_OF_MEMORY + program)
    if result.returncode == 77:
        pytest.skip("the address-space cap is not enforced here (emulation)")
    assert result.returncode == 0, result.stderr
    assert all(line.startswith(OUT_OF_MEMORY_LINES) for line in result.stderr.splitlines()), result.stderr
    return result, results(result.stdout)


@pytest.mark.posix("resource limits and /proc")
def test_out_of_memory_in_a_method_is_a_memory_error_and_changes_nothing():
    """With memory exhausted, schedule() raises MemoryError and leaves the scheduler as it was
    (its id counter too); cancel(), start() and Scheduler() raise MemoryError or work. Once
    aborted the process ("a foreign exception reached an entry point")."""
    result, r = run_out_of_memory(
        """
calls = {}


def task(index):
    return lambda: calls.__setitem__(index, calls.get(index, 0) + 1)


def idle():
    pass


s = metronyx.Scheduler()
for index in range(3):
    s.schedule(task(index), 0.002)
schedule, cancel, start = s.schedule, s.cancel, s.start
outcomes = [None] * 4
threads_before = thread_count()
last = 3
exhaust_memory()
# Each call straight from this frame: a call through a function of its own would need memory for
# that function's frame in the traceback.
try:
    while True:
        last = schedule(idle, 1.0)
except MemoryError:
    outcomes[0] = "MemoryError"
try:
    cancel(99)
except BaseException as error:
    outcomes[1] = type(error).__name__
try:
    start()
    outcomes[2] = "returned"
except BaseException as error:
    outcomes[2] = type(error).__name__
try:
    metronyx.Scheduler()
    outcomes[3] = "returned"
except BaseException as error:
    outcomes[3] = type(error).__name__
release_memory()
next_id = s.schedule(task(3), 0.002)
s.start()
wait_for(lambda: all(calls.get(i, 0) >= 3 for i in range(4)), "every pending task is called")
s.shutdown()
wait_for(lambda: thread_count() == threads_before, "every worker has ended")
report(outcomes=outcomes, last=last, next_id=next_id)
"""
    )
    assert r["outcomes"][0] == "MemoryError"
    assert r["outcomes"][1] in ("ValueError", "MemoryError")
    assert r["outcomes"][2] in ("returned", "MemoryError", "PanicException")
    assert r["outcomes"][3] in ("returned", "MemoryError")
    assert r["next_id"] == wrap_id(r["last"] + 1)
    # Every task scheduled before and while memory was out was started, and stopped.
    stop_lines = sorted(line for line in result.stdout.splitlines() if not line.startswith("RESULT "))
    assert stop_lines == sorted(f"Task id:{wrap_id(i)} stopped." for i in range(1, r["next_id"] + 1))


@pytest.mark.posix("resource limits and /proc")
def test_out_of_memory_on_a_worker_drops_the_error_line_and_the_task_goes_on():
    """A task's calls fail with MemoryError while a leak holds all memory, and it starts another
    scheduler then: the process lives, and the task calls again once memory is back. Once the
    error line's first allocation aborted it ("cannot allocate memory for thread-local data", or
    std::terminate where the C++ runtime is linked in)."""
    result, r = run_out_of_memory(
        """
phase = ctypes.c_int(0)  # 1: the task's next call exhausts memory; 2: memory is back
failed_calls = ctypes.c_int(0)
calls_after = ctypes.c_int(0)
start_outcome = [None]
other = metronyx.Scheduler()
other.schedule(lambda: None, 0.002)


def task():
    if phase.value == 1:
        if failed_calls.value == 0:
            exhaust_memory()
            try:
                other.start()
                start_outcome[0] = "returned"
            except BaseException as error:
                start_outcome[0] = type(error).__name__
        failed_calls.value += 1
        if failed_calls.value <= 5:
            bytearray(1 << 20)
            raise AssertionError("memory was not exhausted")
        release_memory()
        phase.value = 2
    elif phase.value == 2:
        calls_after.value += 1


threads_before = thread_count()
s = metronyx.Scheduler()
s.schedule(task, 0.002)
s.start()
phase.value = 1
wait_without_allocating(phase, 2)
wait_for(lambda: calls_after.value >= 5, "the task is called again")
s.shutdown()
other.shutdown()
wait_for(lambda: thread_count() == threads_before, "every worker has ended")
report(start=start_outcome[0])
"""
    )
    assert r["start"] in ("returned", "MemoryError", "PanicException")
    stop_lines = [line for line in result.stdout.splitlines() if not line.startswith("RESULT ")]
    assert stop_lines == ["Task id:1 stopped."] * (2 if r["start"] == "returned" else 1)


def test_blocking_finalizer_holds_up_only_its_own_thread():
    """A released callable whose __del__ waits for another task's next call finishes: that task keeps running."""
    result = run_program(
        PRELUDE
        + """
import threading, metronyx

flushed = threading.Event()
ticks = {"b": 0}
outcome = {}


def b():
    ticks["b"] += 1
    flushed.set()


class Closing:
    # A stand-in for a close() that waits until another task has flushed.
    def __call__(self):
        pass

    def __del__(self):
        flushed.clear()
        outcome["flushed"] = flushed.wait(10)


first = metronyx.Scheduler()
closing_id = first.schedule(Closing(), 0.002)
other = metronyx.Scheduler()
other.schedule(b, 0.002)
first.start()
other.start()
wait_for(lambda: ticks["b"] >= 3, "the other task is called")
first.cancel(closing_id)
# No entry into the module from here on: the release happens on a worker thread.
wait_for(lambda: "flushed" in outcome, "the finalizer has run")
other.shutdown()
report(**outcome)
"""
    )
    assert result.returncode == 0, result.stderr
    r = results(result.stdout)
    assert r == {"flushed": True}


@pytest.mark.wine_limit("a write to a full non-blocking pipe fails with EINVAL, not BlockingIOError")
def test_full_standard_output_does_not_hold_up_error_lines():
    """A stop line stuck on a full stdout pipe does not stop other tasks from writing their error lines."""
    result = run_program(
        PRELUDE
        + """
import metronyx

saved_stdout = os.dup(1)
reader, writer = os.pipe()
os.dup2(writer, 1)
os.close(writer)
os.set_blocking(1, False)
try:
    while True:
        os.write(1, b"x")
except BlockingIOError:
    pass
os.set_blocking(1, True)

failures = {"calls": 0}


def failing():
    failures["calls"] += 1
    raise ValueError("x")


s = metronyx.Scheduler()
stopping_id = s.schedule(lambda: None, 0.002)
s.schedule(failing, 0.002)
s.start()
s.cancel(stopping_id)  # its stop line now waits for room in the full pipe
seen = failures["calls"]
wait_for(lambda: failures["calls"] >= seen + 20, "the failing task is called again")
calls_while_full = failures["calls"] - seen
s.shutdown()
drained = b""
while drained.count(b"stopped.") < 2:
    drained += os.read(reader, 1 << 16)
os.dup2(saved_stdout, 1)
report(calls_while_full=calls_while_full, stop_lines=sorted(drained.decode().lstrip("x").splitlines()))
"""
    )
    assert result.returncode == 0, result.stderr
    r = results(result.stdout)
    assert r["calls_while_full"] >= 20
    assert r["stop_lines"] == ["Task id:1 stopped.", "Task id:2 stopped."]
    assert all(line.startswith("Error calling Python function: ") for line in result.stderr.splitlines())


# Initializes the interpreter, runs one round of work, finalizes it, twice over. Each round also
# leaves a task running into the finalization: its worker wakes in the next round and must stay
# out of it.
EMBEDDING_HOST = r"""
#include <Python.h>
#include <stdio.h>

static const char* round_code =
    "import metronyx, os, time\n"
    "calls = []\n"
    "left_running = metronyx.Scheduler()\n"
    "left_running.schedule(lambda: None, 0.05)\n"
    "left_running.start()\n"
    "s = metronyx.Scheduler()\n"
    "task_id = s.schedule(lambda: calls.append(1), 0.001)\n"
    "s.start()\n"
    "deadline = time.monotonic() + 20\n"
    "while len(calls) < 3 and time.monotonic() < deadline:\n"
    "    time.sleep(0.001)\n"
    "s.cancel(task_id)\n"
    "time.sleep(0.2)\n"
    "os.write(1, ('called %d, Scheduler is a type: %s\\n' % (min(len(calls), 3), isinstance(metronyx.Scheduler, type))).encode())\n";

int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(round_code) != 0) return 10 + round;
        if (Py_FinalizeEx() != 0) return 20 + round;
    }
    return 0;
}
"""


def test_module_works_again_after_the_host_initializes_the_interpreter_again(tmp_path):
    """An embedding host that finalizes and initializes the interpreter again gets a working module, whose tasks run."""
    if sanitizer_runtime() is not None:
        pytest.skip("the host program is not built with the sanitizer that the extension needs")
    host = compile_c(EMBEDDING_HOST, str(tmp_path), "host", shared=False)
    environment = dict(os.environ)
    paths = [os.path.dirname(metronyx.__file__), *filter(None, environment.get("PYTHONPATH", "").split(os.pathsep))]
    environment.update(PYTHONPATH=os.pathsep.join(paths), PYTHONHOME=sys.base_prefix)
    result = subprocess.run([host], capture_output=True, text=True, env=environment, timeout=60)
    assert result.returncode == 0, result.stderr
    rounds = [line for line in result.stdout.splitlines() if line.startswith("called ")]
    assert rounds == ["called 3, Scheduler is a type: True"] * 2
    assert result.stderr == ""
