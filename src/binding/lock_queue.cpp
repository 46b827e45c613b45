#include "binding/lock_queue.hpp"

namespace metronyx::binding {

namespace {

runtime::ByteLock& lock_queue() {
  static runtime::ByteLock* const queue = new runtime::ByteLock();  // never destroyed
  return *queue;
}

}  // namespace

void reset_lock_queue_after_fork() {
  lock_queue().reset_after_fork();
}

LockQueueTurn::LockQueueTurn() : queue_(lock_queue()) {
  queue_.lock();
}

LockQueueTurn::~LockQueueTurn() {
  pass_on();
}

void LockQueueTurn::pass_on() {
  if (!held_) return;
  held_ = false;
  queue_.unlock();
}

}  // namespace metronyx::binding
