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

}  // namespace
}  // namespace metronyx::scheduler
