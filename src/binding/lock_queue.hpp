// The queue in which worker threads wait for their turn to ask for the interpreter lock.
//
// Why: a thread that waits for the interpreter lock inside the interpreter wakes every few
// milliseconds to ask the holder to let go. With hundreds of workers due at once, those wake-ups
// alone use up the processors, every hand-over of the lock wakes threads that then find it taken,
// and the workers fall further behind the more of them there are. In this queue a worker sleeps
// until the worker ahead of it has the interpreter lock; so at most one worker at a time waits
// inside the interpreter, and the lock passes from worker to worker at the cost of one wake-up.
//
// Contract:
// - Used only by worker threads, without the interpreter lock. A worker holds its place only
//   while it asks for the lock, never while it runs Python code, so nothing that runs under the
//   interpreter lock ever waits for the queue (no lock-order cycle).
// - Process-wide, created on first use and never destroyed.
#pragma once

#include "runtime/byte_lock.hpp"

namespace metronyx::binding {

// In a child process right after fork: the parent's workers that held or awaited a turn do not
// exist there, so the queue starts empty.
void reset_lock_queue_after_fork();

class LockQueueTurn {
 public:
  // Waits for this worker's turn to ask for the interpreter lock.
  LockQueueTurn();
  // Hands the turn on (if `pass_on` was not called).
  ~LockQueueTurn();
  LockQueueTurn(const LockQueueTurn&) = delete;
  LockQueueTurn& operator=(const LockQueueTurn&) = delete;

  // Hands the turn on once this worker holds the interpreter lock.
  void pass_on();

 private:
  runtime::ByteLock& queue_;
  bool held_ = true;
};

}  // namespace metronyx::binding
