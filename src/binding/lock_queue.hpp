// The queue in which worker threads wait for their turn to ask for the interpreter lock.
//
// Why: a thread that waits for the interpreter lock inside the interpreter wakes every few
// milliseconds to ask the holder to let go. With hundreds of workers due at once, those wake-ups
// alone use up the processors, every hand-over of the lock wakes threads that then find it taken,
// and the workers fall further behind the more of them there are. In this queue a worker sleeps
// until the worker ahead of it has the interpreter lock; so at most one worker at a time waits
// inside the interpreter, and the lock passes from worker to worker at the cost of one wake-up.
//
// The worker whose turn comes while the worker ahead is still in its call then waits for that
// call to give the lock back by spinning, for a few tens of microseconds at most, rather than by
// sleeping in the interpreter: most calls are shorter than a sleep and a wake-up, and with many
// workers due at once that second wake-up per call was what used up the processors. A longer call,
// or one that lets the lock go inside (a sleep, I/O), ends the spin at its bound, and the worker
// then waits for the lock as before; so no call can hold up the queue longer than that.
//
// Contract:
// - Used only by worker threads, without the interpreter lock. A worker holds its place only
//   while it asks for the lock, never while it runs Python code, so nothing that runs under the
//   interpreter lock ever waits for the queue (no lock-order cycle).
// - A turn must end (its destructor) only after the worker has given the interpreter lock back:
//   declare it before the guard that holds the lock. The queue takes that end as the end of the
//   call the turn was for.
// - Process-wide, created on first use and never destroyed.
#pragma once

#include "runtime/byte_lock.hpp"
#include "runtime/clock.hpp"

namespace metronyx::binding {

// In a child process right after fork: the parent's workers that held or awaited a turn do not
// exist there, so the queue starts empty.
void reset_lock_queue_after_fork();

// The longest a worker spins for the call ahead of it to give the lock back: about twice what a
// sleep and a wake-up cost on the machines measured, so that a spin never costs more than the
// sleep it saves by much.
inline constexpr runtime::Duration kCallAheadSpinLimit{0, 25'000};

class LockQueueTurn {
 public:
  // Waits for this worker's turn to ask for the interpreter lock, then (at most
  // `kCallAheadSpinLimit`) for the call of the worker ahead to give that lock back.
  LockQueueTurn();
  // Hands the turn on (if `pass_on` was not called), and ends this turn's call.
  ~LockQueueTurn();
  LockQueueTurn(const LockQueueTurn&) = delete;
  LockQueueTurn& operator=(const LockQueueTurn&) = delete;

  // Hands the turn on once this worker holds the interpreter lock: its call begins.
  void pass_on();

 private:
  runtime::ByteLock& queue_;
  bool held_ = true;
};

}  // namespace metronyx::binding
