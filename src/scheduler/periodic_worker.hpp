// The worker that calls one task's callable on a fixed-rate grid, on a native thread of its own.
//
// Contract:
// - `launch_worker` is called with the interpreter lock held (from `start`). It makes the worker's
//   thread state, then starts a detached thread (the stack a Python thread would get, no name)
//   that owns the launch record. When either cannot be made, nothing is started and the record,
//   callable included, stays with the caller, so that the task can be launched again later.
// - The worker shares only its RunFlag with the rest of the module, and touches Python objects
//   only inside a GilGuard. It runs deferred releases (other threads' finalizers) only after its
//   lock-queue turn is passed on, and releases its own callable at its end on its own thread with
//   the lock held (deferred only when the interpreter is exiting or in a forked child): a
//   finalizer that blocks holds up one thread, never the queue.
// - Call k (from 0) is due at t0 + k * interval, t0 being the moment the worker began; a late call
//   is made at once, so an overrun is caught up back-to-back and the grid never drifts.
// - The flag is read at the top of the loop and again once the lock is held, right before the
//   call: after `cancel` or `shutdown` returned no call starts. A stop ends a sleep at once.
// - Lines are written without the interpreter lock, whole, through the streams' line lock: a
//   slow or full pipe holds up only the writing worker. An error line that cannot be written, or
//   that there is no memory for, is dropped and the task goes on.
// - The worker ends normally when it reads its flag stopped: it writes "Task id:N stopped." to
//   standard output (the exit waits for that line, see RunFlag). It ends abnormally, without that
//   line, on an internal failure (a delay too large to sleep, a failed write of the stop line, a
//   PanicException from the callable, no memory for any of their reports), and silently when the
//   interpreter is exiting before it was told to stop (see ExitGate) or when its callable forked
//   and this is the child. A worker turned away by the exit gate keeps its callable and thread state
//   unreleased: the interpreter is going, and after a host's Py_FinalizeEx they no longer exist.
//
// Worker states:
//
//   start --> [flag running?] --yes--> lock --> [flag running?] --yes--> call --> write error line
//                  |  ^                                |                              |
//                  |  +----- sleep until the next slot or a stop <--------------------+
//                  no <--------------------------------no
//                  |
//                  +--> stop line --> release flag, then callable (lock held) --> end
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "binding/py_err.hpp"
#include "binding/refs.hpp"
#include "binding/worker_thread_state.hpp"
#include "scheduler/run_flag.hpp"
#include "scheduler/start_latch.hpp"

namespace metronyx::scheduler {

// What a worker thread is started with, and owns from then on.
struct LaunchRecord {
  RunFlagRef flag;
  binding::OwnedRef callable;
  double interval = 0.0;  // seconds; any value (zero, negative and NaN mean "never sleep")
  std::int8_t task_id = 0;
  // Opened when the launching `start()` has launched all its workers; none for a lone worker.
  std::shared_ptr<const StartLatch> start_latch;
  // Bytes of stack for the thread; 0 for the platform's default thread stack.
  std::size_t stack_size = 0;
  // Made by `launch_worker`, on the launching thread.
  binding::WorkerThreadState thread_state;
  // The initialisation of the runtime that the worker was launched in (see runtime_round.hpp).
  std::uint32_t runtime_round = 0;
};

// Why a launch did not happen.
struct LaunchFailure {
  // Set when the thread state could not be made (MemoryError); empty when the operating system
  // refused the thread, whose error text is then in `os_error`.
  std::optional<binding::PyErr> error;
  std::string os_error;
};

// On success the record has moved to the new thread; on failure it is left as it was.
[[nodiscard]] std::expected<void, LaunchFailure> launch_worker(LaunchRecord& record);

// The thread body, exposed for tests that run a worker on a thread of their own.
void periodic_worker(LaunchRecord record);

}  // namespace metronyx::scheduler
