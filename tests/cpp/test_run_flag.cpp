// Workers sleeping on a run flag: on time while it runs, woken together when it stops.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "runtime/clock.hpp"
#include "scheduler/run_flag.hpp"

namespace metronyx::scheduler {
namespace {

constexpr int kSleepers = 6;

runtime::Instant in(std::uint32_t nanoseconds) {
  return runtime::monotonic_now().saturating_add(runtime::Duration{0, nanoseconds});
}

// Several sleepers on one flag: a sleeper that announces itself just after another must not take
// the other's announcement for a stop. Each round starts the sleepers together on
// a fresh flag, where the announcements race.
TEST(RunFlag, SleepersSharingARunningFlagAllSleepToTheirDeadline) {
  constexpr int kRounds = 400;
  std::vector<RunFlag> flags(kRounds);
  std::atomic<int> arrived{0};
  std::atomic<int> stopped_wrongly{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < kSleepers; ++i) {
    sleepers.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        arrived.fetch_add(1);
        while (arrived.load() < (round + 1) * kSleepers) {
        }
        if (!flags[round].sleep_until(in(50'000))) stopped_wrongly.fetch_add(1);
      }
    });
  }
  for (std::thread& sleeper : sleepers) sleeper.join();
  EXPECT_EQ(stopped_wrongly.load(), 0);
}

TEST(RunFlag, StopWakesEverySleeperAtOnce) {
  RunFlag flag;
  std::atomic<int> asleep{0};
  std::vector<std::thread> sleepers;
  for (int i = 0; i < kSleepers; ++i) {
    sleepers.emplace_back([&] {
      asleep.fetch_add(1);
      EXPECT_FALSE(flag.sleep_until(in(0).saturating_add(runtime::Duration{60, 0})));
    });
  }
  while (asleep.load() < kSleepers) std::this_thread::yield();
  const runtime::Instant stopped_at = runtime::monotonic_now();
  flag.stop();
  for (std::thread& sleeper : sleepers) sleeper.join();
  EXPECT_LT(runtime::monotonic_now().saturating_since(stopped_at).as_seconds_f64(), 30.0);
  EXPECT_FALSE(flag.sleep_until(in(1'000'000)));  // a stopped flag does not sleep at all
}

// The exit waits for the stop lines owed: by a launched worker whose flag is stopped, whichever
// came first, counted once, and no more once the worker has ended; after a fork, not by the
// parent's workers.
TEST(RunFlag, AStopLineIsOwedByALaunchedStoppedFlagOnceUntilItsWorkerEnds) {
  const std::uint32_t base = RunFlag::stop_lines_owed_now();
  RunFlag stopped_first, launched_first, ended_first, parents;
  stopped_first.stop();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), base);  // pending: no worker owes anything yet
  stopped_first.mark_launched();
  launched_first.mark_launched();
  launched_first.stop();
  launched_first.stop();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), base + 2);
  stopped_first.settle_stop_line();
  launched_first.settle_stop_line();
  launched_first.settle_stop_line();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), base);
  ended_first.settle_stop_line();  // the worker ended before `start` marked it launched
  ended_first.mark_launched();
  ended_first.stop();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), base);

  parents.mark_launched();
  parents.stop();
  RunFlag::forget_stop_lines_after_fork();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), 0u);
  parents.settle_stop_line();
  RunFlag launched_before_fork;
  launched_before_fork.mark_launched();
  RunFlag::forget_stop_lines_after_fork();
  launched_before_fork.stop();
  EXPECT_EQ(RunFlag::stop_lines_owed_now(), 0u);
}

}  // namespace
}  // namespace metronyx::scheduler
