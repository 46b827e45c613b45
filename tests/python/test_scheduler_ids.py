"""Task ids: a signed 8-bit counter per Scheduler that wraps, and what reuse of an id reaches."""

import pytest

import metronyx

from conftest import STOP_LINE, lines, run_parallel, run_python


def noop():
    pass


def test_ids_count_up_from_one_and_wrap_through_negatives_and_zero(scheduler):
    """Ids run 1..127, -128..-1, 0, then 1 again."""
    ids = [scheduler.schedule(noop, 1.0) for _ in range(257)]
    assert ids == [*range(1, 128), *range(-128, 0), 0, 1]
    assert all(type(task_id) is int for task_id in ids)


def test_ids_continue_across_start_and_shutdown(scheduler):
    """Neither start() nor shutdown() resets the counter."""
    assert [scheduler.schedule(noop, 1.0) for _ in range(3)] == [1, 2, 3]
    scheduler.shutdown()
    assert scheduler.schedule(noop, 1.0) == 4
    scheduler.shutdown()
    scheduler.start()
    assert scheduler.schedule(noop, 1.0) == 5


def test_each_scheduler_has_its_own_counter(scheduler):
    """A new instance starts at 1 whatever other instances have handed out."""
    scheduler.schedule(noop, 1.0)
    scheduler.schedule(noop, 1.0)
    other = metronyx.Scheduler()
    assert other.schedule(noop, 1.0) == 1
    assert scheduler.schedule(noop, 1.0) == 3


def test_concurrent_schedules_get_distinct_ids(scheduler):
    """Plain calls from several threads on one instance all succeed with distinct ids."""

    def schedule_many():
        return [scheduler.schedule(noop, 1.0) for _ in range(15)]

    batches = run_parallel([schedule_many] * 8)
    ids = [task_id for batch in batches for task_id in batch]
    assert sorted(ids) == list(range(1, 121))


# A task id comes back after 256 schedules. The fillers in between are cancelled before start, so
# their workers end at once; the older task with the reused id is orphaned and runs until the
# process ends, hence the subprocess.
REUSE_PRELUDE = """
    import os, time, metronyx

    class Counter:
        def __init__(self): self.calls = 0
        def __call__(self): self.calls += 1

    def fill_to_wrap(s):
        for _ in range(255):
            s.cancel(s.schedule(lambda: None, 1.0))

    def growing(counter):
        before = counter.calls
        deadline = time.monotonic() + 5
        while counter.calls == before and time.monotonic() < deadline:
            time.sleep(0.01)
        return counter.calls > before

    def stopped(counter):
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            before = counter.calls
            time.sleep(0.1)
            if counter.calls == before:
                return True
        return False

    def wait_threads(count):
        # A worker's thread exits only after it has written its stop line.
        deadline = time.monotonic() + 10
        while len(os.listdir("/proc/self/task")) > count and time.monotonic() < deadline:
            time.sleep(0.01)
"""


@pytest.mark.posix("thread counts from /proc")
def test_reused_id_is_cancelled_for_the_newest_task_and_shut_down_for_all():
    """After reuse, cancel() stops the newest task only; shutdown() still stops the older one."""
    result = run_python(
        REUSE_PRELUDE
        + """
    s = metronyx.Scheduler()
    old, new = Counter(), Counter()
    assert s.schedule(old, 0.005) == 1
    s.start()
    fill_to_wrap(s)
    assert s.schedule(new, 0.005) == 1
    s.start()
    assert growing(new)
    s.cancel(1)
    assert stopped(new), "cancel(1) did not stop the newest task"
    assert growing(old), "cancel(1) stopped the older task with the same id"
    s.shutdown()
    assert stopped(old), "shutdown() left a task running whose id was reused"
    wait_threads(1)
    print("ok", flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    out = lines(result.stdout)
    assert out.count("ok") == 1
    assert out.count(STOP_LINE.format(1)) == 2
    assert result.stderr == ""


def test_pending_tasks_keep_their_own_flags_when_an_id_is_reused():
    """A task cancelled while pending stays cancelled when later tasks take its id before start()
    (it was once started under the newest task's flag and called); of two pending tasks with one
    id, cancel() stops the newest only, and shutdown() stops both."""
    result = run_python(
        REUSE_PRELUDE
        + """
    s = metronyx.Scheduler()
    cancelled, first, second = Counter(), Counter(), Counter()
    assert s.schedule(cancelled, 0.005) == 1
    s.cancel(1)
    fill_to_wrap(s)
    assert s.schedule(first, 0.005) == 1
    fill_to_wrap(s)
    assert s.schedule(second, 0.005) == 1
    s.start()
    assert growing(first) and growing(second)
    s.cancel(1)
    assert stopped(second), "cancel(1) did not stop the newest task"
    assert growing(first), "cancel(1) stopped an older task with the same id"
    s.shutdown()
    assert stopped(first), "shutdown() left an older task with the same id running"
    assert cancelled.calls == 0, f"the task cancelled while pending was called {cancelled.calls} times"
    wait_threads(1)
    print("ok", flush=True)
    """
    )
    assert result.returncode == 0, result.stderr
    out = lines(result.stdout)
    assert out.count("ok") == 1
    assert out.count(STOP_LINE.format(1)) == 3
    assert result.stderr == ""
