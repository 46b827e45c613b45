// A one-byte lock with a poison mark, for the module's small critical sections.
//
// Contract:
// - `lock` may be called from any thread, with or without the interpreter lock; the holder must
//   not request the interpreter lock, run Python code, or wait for anything while holding it
//   (one exception: the standard streams' line lock is held across a write, and is therefore
//   only ever taken by threads that hold nothing else).
// - The lock becomes poisoned when a thread that was not already unwinding when it took the lock
//   is unwinding (an internal failure in flight) when it gives it back. A poisoned lock can still
//   be taken; `PoisonableGuard::was_poisoned` tells the new holder, who decides what that means.
// - Memory ordering: acquire on taking the lock, release on giving it back.
//
// States of the byte:
//
//     0 unlocked  --CAS-->  1 locked  --(another thread gives up spinning)-->  2 locked, contended
//         ^                    |                                                   |
//         +---- unlock --------+---------------- unlock, then wake one sleeper ----+
#pragma once

#include <atomic>
#include <cstdint>

namespace metronyx::runtime {

class ByteLock {
 public:
  ByteLock() = default;
  ByteLock(const ByteLock&) = delete;
  ByteLock& operator=(const ByteLock&) = delete;

  void lock();
  void unlock();

  [[nodiscard]] bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }
  void mark_poisoned() { poisoned_.store(true, std::memory_order_relaxed); }

  // Only in a child process right after fork, while it has a single thread: a lock that a thread
  // of the parent held is left unlocked, since that thread does not exist here to give it back.
  void reset_after_fork() { state_.store(0, std::memory_order_relaxed); }

 private:
  void lock_contended();

  std::atomic<std::uint8_t> state_{0};  // 0, 1 or 2 as drawn above
  std::atomic<bool> poisoned_{false};   // relaxed: read only by lock holders
};

// Holds a ByteLock for a scope and poisons it if the scope is left by an internal failure.
class PoisonableGuard {
 public:
  explicit PoisonableGuard(ByteLock& lock);
  ~PoisonableGuard();
  PoisonableGuard(const PoisonableGuard&) = delete;
  PoisonableGuard& operator=(const PoisonableGuard&) = delete;

  // True when an earlier holder failed while holding the lock.
  [[nodiscard]] bool was_poisoned() const { return was_poisoned_; }

 private:
  ByteLock& lock_;
  const int unwinding_at_entry_;
  const bool was_poisoned_;
};

}  // namespace metronyx::runtime
