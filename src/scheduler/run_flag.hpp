// The flag that keeps one task's worker running.
//
// Contract: shared by a Scheduler's map and at most the workers started under it (reference
// counted; the count is atomic, so workers drop their share without the interpreter lock).
// Created running; `stop` only ever moves it from running to stopped. Loads and stores are atomic
// and relaxed: a worker only needs to see the stop eventually, and no other memory is published
// through the flag.
#pragma once

#include <atomic>
#include <memory>

namespace metronyx::scheduler {

class RunFlag {
 public:
  [[nodiscard]] static std::shared_ptr<RunFlag> make_running() {
    return std::make_shared<RunFlag>();
  }

  [[nodiscard]] bool is_running() const { return running_.load(std::memory_order_relaxed); }
  void stop() { running_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<bool> running_{true};
};

using RunFlagRef = std::shared_ptr<RunFlag>;

}  // namespace metronyx::scheduler
