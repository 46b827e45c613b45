// One-time initialisation that other threads can wait for.
//
// Contract:
// - `call_once` runs its function at most once to completion across all threads. A caller that
//   arrives while another thread runs it blocks (no time limit) until that run ends.
// - If the function leaves by an exception, the cell is left poisoned and the exception goes on.
//   A later `call_once` then fails with "Once instance has previously been poisoned";
//   `call_once_force` treats a poisoned cell as not run and tries again.
// - Memory ordering: everything the successful run wrote happens-before any caller that sees the
//   cell complete.
//
//     not run --(a caller starts it)--> running --(returns)--> complete
//        ^                                  |
//        +--- call_once_force --- poisoned <+--(throws)
//
// The waiting caller must not hold anything the running function needs (for the interpreter lock,
// see GilSuspension).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "runtime/failure.hpp"
#include "runtime/wait_wake.hpp"

namespace metronyx::runtime {

class Once {
 public:
  enum State : std::uint8_t { kNotRun = 0, kRunning = 1, kComplete = 2, kPoisoned = 3 };

  Once() = default;
  explicit Once(State initial) : state_(initial) {}
  Once(const Once&) = delete;
  Once& operator=(const Once&) = delete;

  [[nodiscard]] bool is_complete() const {
    return state_.load(std::memory_order_acquire) == kComplete;
  }
  [[nodiscard]] State state() const { return State(state_.load(std::memory_order_acquire)); }
  // Only for moving the value that owns the cell, when no other thread can see it.
  void assign_unshared(State state) { state_.store(state, std::memory_order_relaxed); }

  template <class F>
  void call_once(F&& function) {
    run(function, /*retry_poisoned=*/false);
  }
  template <class F>
  void call_once_force(F&& function) {
    run(function, /*retry_poisoned=*/true);
  }
  // As `call_once`, but never waits: returns false at once if another thread is running the
  // function now, true once the cell is complete (whoever ran it).
  template <class F>
  [[nodiscard]] bool call_once_unless_running(F&& function) {
    return run(function, /*retry_poisoned=*/false, /*wait=*/false);
  }

 private:
  template <class F>
  bool run(F& function, bool retry_poisoned, bool wait = true);
  void finish(State final_state) {
    state_.store(final_state, std::memory_order_release);
    wake_all(state_);
  }

  std::atomic<std::uint8_t> state_{kNotRun};
};

// ---- End of public interface ----

template <class F>
bool Once::run(F& function, bool retry_poisoned, bool wait) {
  for (;;) {
    std::uint8_t seen = state_.load(std::memory_order_acquire);
    if (seen == kComplete) return true;
    if (seen == kPoisoned && !retry_poisoned)
      fail_static("Once instance has previously been poisoned");
    if (seen == kRunning) {
      if (!wait) return false;
      wait_on_byte(state_, kRunning);
      continue;
    }
    if (!state_.compare_exchange_strong(seen, kRunning, std::memory_order_acquire)) continue;
    try {
      function();
    } catch (...) {
      // Not swallowed: waiters are released and the exception (also a forced unwind) goes on.
      finish(kPoisoned);
      throw;
    }
    finish(kComplete);
    return true;
  }
}

}  // namespace metronyx::runtime
