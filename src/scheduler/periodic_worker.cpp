#include "scheduler/periodic_worker.hpp"

#include <cxxabi.h>

#include <memory>
#include <string>

#include "binding/exit_gate.hpp"
#include "binding/gil_guard.hpp"
#include "binding/lock_queue.hpp"
#include "binding/py_err.hpp"
#include "binding/worker_thread_state.hpp"
#include "runtime/clock.hpp"
#include "runtime/failure.hpp"
#include "runtime/sleep.hpp"
#include "runtime/stdio.hpp"
#include "runtime/threads.hpp"
#include "scheduler/duration.hpp"
#include "scheduler/grid.hpp"

namespace metronyx::scheduler {

namespace {

// One call of the callable, with the interpreter lock held only for the call and its error line.
void call_under_lock(const LaunchRecord& record, binding::WorkerThreadState& thread_state) {
  binding::LockQueueTurn turn;
  thread_state.start();
  binding::GilGuard guard = binding::GilGuard::acquire();
  turn.pass_on();
  try {
    if (PyObject* result = PyObject_CallNoArgs(record.callable.get())) {
      binding::release_reference(result);
      return;
    }
    binding::PyErr error = binding::PyErr::fetch();
    std::string line = "Error calling Python function: ";
    error.debug_form(line);
    line += '\n';
    runtime::write_all(runtime::StdStream::error, line);
  } catch (const abi::__forced_unwind&) {
    // The interpreter is ending this thread while the callable waited for the lock: the lock is
    // not ours, so the guard must not give it back.
    guard.abandon_on_forced_unwind();
    throw;
  }
}

enum class LoopEnd { stopped, interpreter_exiting };

LoopEnd run_loop(const LaunchRecord& record, binding::WorkerThreadState& thread_state) {
  const runtime::Instant t0 = runtime::monotonic_now();
  // 64 bits: a 32-bit count overflows after 2^31 calls (weeks at a short interval), and a
  // negative count would make every later delay negative, so the worker would spin forever.
  std::int64_t completed_calls = 0;
  if (record.start_latch) record.start_latch->wait();
  for (;;) {
    if (!record.flag->is_running()) return LoopEnd::stopped;
    {
      binding::ExitGate::Pass pass = binding::ExitGate::enter();
      if (!pass) return LoopEnd::interpreter_exiting;
      call_under_lock(record, thread_state);
    }
    const runtime::Instant now = runtime::monotonic_now();
    const double elapsed = now.saturating_since(t0).as_seconds_f64();
    completed_calls += 1;
    const double delay = next_delay(completed_calls, record.interval, elapsed);
    if (delay > 0) {
      const runtime::Duration span = seconds_to_duration(delay);
      if (span.is_zero()) {
        runtime::yield_now();
      } else {
        // The deadline is the due time of the next call (the reading above plus the delay), so
        // the time spent computing it does not make the worker late.
        runtime::sleep_until(now.saturating_add(span));
      }
    }
  }
}

void finish_thread_state(binding::WorkerThreadState& thread_state) {
  binding::ExitGate::Pass pass = binding::ExitGate::enter();
  if (pass) thread_state.finish();
}

void worker_entry(void* raw) {
  std::unique_ptr<LaunchRecord> owned(static_cast<LaunchRecord*>(raw));
  periodic_worker(std::move(*owned));
}

}  // namespace

void periodic_worker(LaunchRecord record) {
  runtime::request_precise_wakeups();
  binding::WorkerThreadState thread_state;
  // Only internal failures are caught here; they were reported where they started (or resumed
  // after a PanicException was printed) and end just this thread. A forced unwind passes on.
  try {
    if (run_loop(record, thread_state) == LoopEnd::interpreter_exiting) return;
    runtime::write_all(runtime::StdStream::output,
                       "Task id:" + std::to_string(record.task_id) + " stopped.\n");
  } catch (const runtime::InternalFailure&) {
  }
  record.flag.reset();
  record.callable = binding::OwnedRef();  // no guard held: the release waits for the next drain
  finish_thread_state(thread_state);
}

void launch_worker(LaunchRecord record) {
  auto owned = std::make_unique<LaunchRecord>(std::move(record));
  auto started = runtime::spawn_detached(&worker_entry, owned.get());
  if (!started) {
    owned.reset();  // the callable's release is immediate: the caller holds the lock
    runtime::fail("failed to spawn thread: " + started.error());
  }
  (void)owned.release();  // the new thread owns the record now
}

}  // namespace metronyx::scheduler
