// The worker that calls one task's callable on a fixed-rate grid, on a native thread of its own.
//
// Contract:
// - `launch_worker` is called with the interpreter lock held (from `start`). It starts a detached
//   thread (2 MiB stack, no name) that owns the launch record. If the thread cannot be created the
//   record is released on the calling thread and the internal failure "failed to spawn thread: "
//   plus the operating system's error follows.
// - The worker shares only its RunFlag with the rest of the module, and touches Python objects
//   only inside a GilGuard, except for the final release of its callable (deferred).
// - Call k (from 0) is due at t0 + k * interval, t0 being the moment the worker began; a late call
//   is made at once, so an overrun is caught up back-to-back and the grid never drifts.
// - The worker ends normally when it reads its flag stopped at the top of its loop: it writes
//   "Task id:N stopped." to standard output. It ends abnormally, without that line, on an internal
//   failure (a delay too large to sleep, a failed write to a standard stream, a PanicException from
//   the callable), and silently when the interpreter is exiting (see ExitGate).
//
// Worker states:
//
//   start --> [flag running?] --yes--> call under the lock --> sleep until the next slot --+
//                  |  ^                                                                     |
//                  |  +---------------------------------------------------------------------+
//                  no --> stop line --> release flag, then callable (deferred) --> end
#pragma once

#include <cstdint>
#include <memory>

#include "binding/refs.hpp"
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
};

void launch_worker(LaunchRecord record);

// The thread body, exposed for tests that run a worker on a thread of their own.
void periodic_worker(LaunchRecord record);

}  // namespace metronyx::scheduler
