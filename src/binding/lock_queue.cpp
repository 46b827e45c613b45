#include "binding/lock_queue.hpp"

#include <atomic>

#include "runtime/wait_wake.hpp"

namespace metronyx::binding {

namespace {

runtime::ByteLock& lock_queue() {
  static runtime::ByteLock* const queue = new runtime::ByteLock();  // never destroyed
  return *queue;
}

// The turn whose call holds the interpreter lock, or null. Set by the call's worker once it has
// the lock and cleared by it once it has given the lock back, unless a later turn has set it
// meanwhile (the spin ended at its bound). Acquire and release: a worker that sees it cleared
// finds the lock given back.
std::atomic<const LockQueueTurn*> turn_in_call{nullptr};

void spin_for_call_ahead() {
  (void)runtime::spin_until(
      [] { return turn_in_call.load(std::memory_order_acquire) == nullptr; }, kCallAheadSpinLimit);
}

}  // namespace

void reset_lock_queue_after_fork() {
  lock_queue().reset_after_fork();
  turn_in_call.store(nullptr, std::memory_order_relaxed);
}

LockQueueTurn::LockQueueTurn() : queue_(lock_queue()) {
  queue_.lock();
  spin_for_call_ahead();
}

LockQueueTurn::~LockQueueTurn() {
  if (held_) {
    queue_.unlock();  // the turn ends without a call (an internal failure on the way)
    return;
  }
  const LockQueueTurn* self = this;
  (void)turn_in_call.compare_exchange_strong(self, nullptr, std::memory_order_release,
                                             std::memory_order_relaxed);
}

void LockQueueTurn::pass_on() {
  if (!held_) return;
  held_ = false;
  turn_in_call.store(this, std::memory_order_release);
  queue_.unlock();
}

}  // namespace metronyx::binding
