// The flag that keeps one task's worker running, and that a stopped worker's sleep ends on.
//
// Contract: one flag per scheduled task, shared by its pending record, the Scheduler's map and
// the task's worker (reference counted; the count is atomic, so workers drop their share without
// the interpreter lock). Created running; `stop` only ever moves it to stopped, and wakes every
// worker sleeping on it, so a stop ends a long sleep at once.
//
// Memory ordering: relaxed. A worker only needs to see the stop eventually at the top of its loop;
// the promise that no call starts after `cancel` returned rests on the interpreter lock instead
// (the worker reads the flag again once it holds the lock, and `stop` runs under it). All changes
// of the word are to one atomic, so their order is total: a worker that announced its sleep is
// either woken by the stop or sees the word stopped before it waits.
//
//     running --(a worker goes to sleep)--> running, sleepers --+
//        |                                                      |
//        +----------------- stop ------> stopped <---- stop, then wake all
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/clock.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::scheduler {

class RunFlag {
 public:
  [[nodiscard]] static std::shared_ptr<RunFlag> make_running() {
    return std::make_shared<RunFlag>();
  }

  [[nodiscard]] bool is_running() const {
    return word_.load(std::memory_order_relaxed) != kStopped;
  }

  void stop() {
    if (word_.exchange(kStopped, std::memory_order_relaxed) == kRunningWithSleepers) {
      runtime::wake_all_on_word(word_);
    }
  }

  // Sleeps until `deadline` on the monotonic clock, or until the flag is stopped, whichever comes
  // first. Returns whether the flag is still running.
  [[nodiscard]] bool sleep_until(const runtime::Instant& deadline) {
    std::uint32_t seen = word_.load(std::memory_order_relaxed);
    // A failed exchange leaves the word's new value in `seen`: stopped, or a worker sharing the
    // flag announced its own sleep first, which serves this one too.
    if (seen == kRunning) {
      (void)word_.compare_exchange_strong(seen, kRunningWithSleepers, std::memory_order_relaxed);
    }
    if (seen == kStopped) return false;
    for (;;) {
      const runtime::WaitEnd end =
          runtime::wait_on_word_until(word_, kRunningWithSleepers, deadline);
      if (!is_running()) return false;
      if (end == runtime::WaitEnd::deadline_passed) return true;
      // A signal or a spurious return: the deadline is absolute, so waiting again costs nothing.
    }
  }

 private:
  static constexpr std::uint32_t kStopped = 0;
  static constexpr std::uint32_t kRunning = 1;
  static constexpr std::uint32_t kRunningWithSleepers = 2;

  std::atomic<std::uint32_t> word_{kRunning};
};

using RunFlagRef = std::shared_ptr<RunFlag>;

}  // namespace metronyx::scheduler
