#include "scheduler/periodic_worker.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "binding/exit_gate.hpp"
#include "binding/fork_safety.hpp"
#include "binding/gil_guard.hpp"
#include "binding/handoff_trace.hpp"
#if !defined(Py_GIL_DISABLED)
#include "binding/lock_queue.hpp"
#include "binding/main_thread_handoff.hpp"
#endif
#include "binding/py_err.hpp"
#include "binding/runtime_round.hpp"
#include "binding/worker_thread_state.hpp"
#include "runtime/clock.hpp"
#include "runtime/failure.hpp"
#include "runtime/forced_unwind.hpp"
#include "runtime/sleep.hpp"
#include "runtime/stdio.hpp"
#include "runtime/threads.hpp"
#include "scheduler/duration.hpp"
#include "scheduler/grid.hpp"

namespace metronyx::scheduler {

namespace {

enum class CallEnd { made, stopped, in_forked_child };

// Lock held, right after a call failed: its error line into `error_line`. With no memory for the
// line (std::bad_alloc), the line is dropped and the task goes on, as when the stream refuses it;
// nothing of the failed call's error stays pending.
void format_error_line(std::string& error_line) {
  try {
    binding::PyErr error = binding::PyErr::fetch();
    error_line = "Error calling Python function: ";
    error.debug_form(error_line);
    error_line += '\n';
  } catch (const std::bad_alloc&) {
    error_line.clear();
    PyErr_Clear();
  }
}

// One turn: the interpreter lock is held only for the call and the formatting of its error line,
// which is left in `error_line` (empty after a successful call) to be written after the lock is
// given up. The caller keeps one buffer for all turns, so a call that succeeds costs no string.
CallEnd call_under_lock(LaunchRecord& record, std::uint64_t fork_generation,
                        std::string& error_line, std::int64_t due_ns,
                        const runtime::Instant& woke) {
  binding::WorkerThreadState& thread_state = record.thread_state;
  error_line.clear();
#if !defined(Py_GIL_DISABLED)
  // Before the guard, so that the turn ends after the lock is given back: the worker next in the
  // queue waits for that, briefly, before it asks for the lock.
  binding::LockQueueTurn turn;
  binding::handoff_trace::begin(due_ns, woke);
  // A task that sleeps between calls asks the main thread to hand the lock over, so that a busy
  // main thread does not make it wait out the switch interval. Never for a task that does not
  // sleep (false for zero, negative and NaN): it would take the lock from the main thread on
  // every call. Before the guard, as the turn is: the request ends once the lock is given back.
  std::optional<binding::MainThreadHandoff::Request> request;
  if (record.interval > 0) request.emplace();
#else
  (void)due_ns;  // the trace follows the hand-over, which this build has not
  (void)woke;
#endif
  thread_state.attach();
  binding::GilGuard guard = binding::GilGuard::acquire_without_draining();
#if !defined(Py_GIL_DISABLED)
  if (request) request->granted();
  binding::handoff_trace::stamp(binding::handoff_trace::Stamp::granted);
  binding::handoff_trace::Record trace = binding::handoff_trace::finish();
  turn.pass_on();
#else
  binding::handoff_trace::Record trace;
#endif
  // Only now: a finalizer run by a deferred release may block, or wait for another task's call,
  // and must hold up this thread alone, not every worker queued behind this turn.
  binding::drain_deferred_releases();
  CallEnd end = CallEnd::made;
  try {
    // Before the flag is read: adopting the hooks runs Python code, which may let the lock go.
    thread_state.adopt_threading_hooks();
    // Read again with the lock held, and nothing between the read and the call that could let it
    // go: `cancel` and `shutdown` stop flags under this lock, so once either has returned, no call
    // of the stopped task starts (the common `cancel(); close()`).
    if (!record.flag->is_running()) return CallEnd::stopped;
    // Without the lock, the read above does not exclude a stop made at the same moment: the
    // call is announced and the flag read again, which a stop waits out (see run_flag.hpp).
    if constexpr (binding::compat::kFreeThreaded) {
      if (!record.flag->announce_call()) return CallEnd::stopped;
      record.flag->call_begins();
    }
    struct CallEnds {
      RunFlag& flag;
      ~CallEnds() {
        if constexpr (binding::compat::kFreeThreaded) flag.call_ends();
      }
    } call_ends{*record.flag};
    binding::handoff_trace::keep(trace);
    if (PyObject* result = PyObject_CallNoArgs(record.callable.get())) {
      binding::release_reference(result);
    } else {
      format_error_line(error_line);
    }
    // The callable forked and this is the child: the task belongs to the parent.
    if (binding::fork_generation() != fork_generation) end = CallEnd::in_forked_child;
  } catch (const runtime::ForcedUnwind&) {
    // The interpreter is ending this thread while the callable waited for the lock: the lock is
    // not ours, so the guard must not give it back.
    guard.abandon_on_forced_unwind();
    throw;
  }
  return end;
}

enum class LoopEnd { stopped, interpreter_exiting, in_forked_child };

LoopEnd run_loop(LaunchRecord& record) {
  const runtime::Instant t0 = runtime::monotonic_now();
  const std::uint64_t fork_generation = binding::fork_generation();
  std::int64_t completed_calls = 0;  // 64 bits wide: see next_delay
  std::string error_line;
  namespace trace = binding::handoff_trace;
  // Only trace builds read the clock for these.
  std::int64_t due_ns = trace::kEnabled ? trace::nanoseconds(t0) : 0;
  runtime::Instant woke = t0;
  if (record.start_latch) record.start_latch->wait();
  for (;;) {
    if (!record.flag->is_running()) return LoopEnd::stopped;
    CallEnd end;
    {
      binding::ExitGate::Pass pass = binding::ExitGate::enter(record.runtime_round);
      // Told to stop just as the exit began: the exit waits for its stop line.
      if (!pass) return record.flag->is_running() ? LoopEnd::interpreter_exiting : LoopEnd::stopped;
      end = call_under_lock(record, fork_generation, error_line, due_ns, woke);
    }
    if (!error_line.empty()) {
      // A stream that cannot take the line (closed, full, a broken pipe) loses the line, not the
      // task: it keeps running on its grid, as a failing task does. So does a failure without
      // the memory to describe it.
      try {
        (void)runtime::try_write_line(runtime::StdStream::error, error_line);
      } catch (const std::bad_alloc&) {
      }
    }
    if (end == CallEnd::stopped) return LoopEnd::stopped;
    if (end == CallEnd::in_forked_child) return LoopEnd::in_forked_child;
    const runtime::Instant now = runtime::monotonic_now();
    const double elapsed = now.saturating_since(t0).as_seconds_f64();
    completed_calls += 1;
    const double delay = next_delay(completed_calls, record.interval, elapsed);
    if constexpr (trace::kEnabled) {
      // A delay beyond any grid (a huge interval) is not traced.
      due_ns = trace::nanoseconds(now) +
               (std::abs(delay) < 1e6 ? static_cast<std::int64_t>(delay * 1e9) : 0);
    }
    if (delay > 0) {
      const runtime::Duration span = seconds_to_duration(delay);
      if (span.is_zero()) {
        runtime::yield_now();
      } else if (!record.flag->sleep_until(now.saturating_add(span))) {
        // The deadline is the due time of the next call (the reading above plus the delay), so
        // the time spent computing it does not make the worker late; a stop ends the sleep at
        // once, so the stop line and the callable's release follow the stop, not the interval.
        return LoopEnd::stopped;
      }
    }
    if constexpr (trace::kEnabled) woke = runtime::monotonic_now();
  }
}

// The interpreter is exiting, or has been finalized and perhaps initialized again: the callable and
// the thread state are its objects, freed by it or with the process, never by this thread.
void abandon_to_exiting_runtime(LaunchRecord& record) {
  (void)record.callable.into_raw();
  record.thread_state.forget();
}

// The callable is released here, on the worker's own thread with the lock held, as a Python
// thread drops its target: its finalizer may block or wait for other tasks, and holds up only this
// thread. Without a pass (the interpreter is exiting) the release is deferred.
void release_and_finish(LaunchRecord& record) {
  binding::ExitGate::Pass pass = binding::ExitGate::enter(record.runtime_round);
  if (!pass) {
    abandon_to_exiting_runtime(record);
    return;
  }
  record.thread_state.attach();
  {
    binding::GilGuard guard = binding::GilGuard::acquire();
    record.callable = binding::OwnedRef();
  }
  record.thread_state.finish();
}

// Needs no memory: "Task id:N stopped.\n" in place.
void write_stop_line(std::int8_t task_id) {
  char line[32] = "Task id:";
  constexpr std::size_t kPrefix = std::char_traits<char>::length("Task id:");
  char* end = std::to_chars(line + kPrefix, line + sizeof line, task_id).ptr;
  constexpr std::string_view kSuffix = " stopped.\n";
  end = std::copy(kSuffix.begin(), kSuffix.end(), end);
  runtime::write_line(runtime::StdStream::output,
                      std::string_view(line, static_cast<std::size_t>(end - line)));
}

void worker_entry(void* raw) {
  std::unique_ptr<LaunchRecord> owned(static_cast<LaunchRecord*>(raw));
  periodic_worker(std::move(*owned));
}

}  // namespace

void periodic_worker(LaunchRecord record) {
  runtime::request_precise_wakeups();
  LoopEnd end = LoopEnd::stopped;
  // Only internal failures are caught here; they were reported where they started (or resumed
  // after a PanicException was printed) and end just this thread. A forced unwind passes on.
  try {
    end = run_loop(record);
    if (end == LoopEnd::interpreter_exiting) {
      record.flag->settle_stop_line();
      abandon_to_exiting_runtime(record);
      return;
    }
    if (end == LoopEnd::stopped) write_stop_line(record.task_id);
  } catch (const runtime::InternalFailure&) {
  } catch (const std::bad_alloc&) {
    // No memory even to report what failed (a delay too long to sleep, a stop line that could
    // not be written): the worker ends as it would after the report, never the process.
  }
  // The flag of a forked child's copy of this worker is the parent's, and so is its line.
  if (end != LoopEnd::in_forked_child) record.flag->settle_stop_line();
  record.flag.reset();
  // In a forked child this thread is the only one, and the interpreter has made its thread state
  // the main thread's: it is left as it is, and the process ends with this thread, as it does
  // when a Python thread's target returns after a fork.
  if (end == LoopEnd::in_forked_child) {
    record.callable = binding::OwnedRef();  // no guard held: the release waits for the next drain
    return;
  }
  release_and_finish(record);
}

std::expected<void, LaunchFailure> launch_worker(LaunchRecord& record) {
  // The thread state first: without it no thread is worth creating.
  binding::PyResult<binding::WorkerThreadState> thread_state = binding::WorkerThreadState::create();
  if (!thread_state) return std::unexpected(LaunchFailure{std::move(thread_state.error()), {}});
  record.thread_state = std::move(*thread_state);
  record.runtime_round = binding::current_runtime_round();
  std::unique_ptr<LaunchRecord> owned;
  std::expected<void, std::string> started;
  try {
    owned = std::make_unique<LaunchRecord>(std::move(record));
    started = runtime::spawn_detached(&worker_entry, owned.get(), owned->stack_size);
  } catch (const std::bad_alloc&) {
    // No memory for the worker's record, its start or the words of the system's refusal: as
    // when the thread state cannot be made, nothing started and the task stays with the caller.
    if (owned) record = std::move(*owned);
    record.thread_state.discard();
    return std::unexpected(LaunchFailure{binding::PyErr::no_memory(), {}});
  }
  if (!started) {
    owned->thread_state.discard();
    record = std::move(*owned);  // the caller keeps the task, to launch it again later
    return std::unexpected(LaunchFailure{std::nullopt, std::move(started.error())});
  }
  (void)owned.release();  // the new thread owns the record now
  return {};
}

}  // namespace metronyx::scheduler
