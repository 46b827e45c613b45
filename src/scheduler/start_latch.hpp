// Holds back the workers of one `start()` until it has launched them all.
//
// Why: `start()` holds the interpreter lock while it creates threads, so a new worker cannot make
// its first call before `start()` returns anyway. Waiting for the lock inside the interpreter
// costs a wake-up every few milliseconds per waiting thread; with hundreds of workers those
// wake-ups starve the very thread creation they wait for, and every worker begins far behind its
// grid. Waiting here instead costs nothing until the latch opens.
//
// Contract: `open` is called once, by the thread that launches the workers (also when a launch
// fails); `wait` may be called from any number of worker threads, before or after `open`.
// Memory ordering: release on open, acquire on wait.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/wait_wake.hpp"

namespace metronyx::scheduler {

class StartLatch {
 public:
  void open() {
    state_.store(1, std::memory_order_release);
    runtime::wake_all(state_);
  }
  void wait() const {
    while (state_.load(std::memory_order_acquire) == 0) runtime::wait_on_byte(state_, 0);
  }

 private:
  std::atomic<std::uint8_t> state_{0};
};

}  // namespace metronyx::scheduler
