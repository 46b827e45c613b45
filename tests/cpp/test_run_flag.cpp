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
// The call hand-shake that makes a stop a barrier without the interpreter lock. Each round a
// caller loops announce, begin, end on a fresh flag while another thread stops it and waits:
// once the stopper's wait returned, the caller must not begin another call. And the wait is
// bounded for a call that does not end, and skipped for the stopper's own call.
TEST(RunFlag, NoCallBeginsAfterTheStoppersWaitReturns) {
  constexpr int kRounds = 500;
  int late_calls = 0;
  for (int round = 0; round < kRounds; ++round) {
    RunFlag flag;
    std::atomic<int> begun{0};
    std::thread caller([&] {
      while (flag.announce_call()) {
        flag.call_begins();
        begun.fetch_add(1);
        flag.call_ends();
      }
    });
    while (begun.load() < round % 8) std::this_thread::yield();
    flag.stop();
    EXPECT_TRUE(flag.wait_for_calls(in(0).saturating_add(runtime::Duration{60, 0})));
    const int seen = begun.load();
    caller.join();
    if (begun.load() != seen) ++late_calls;
  }
  EXPECT_EQ(late_calls, 0);

  RunFlag flag;
  std::atomic<bool> in_call{false};
  std::atomic<bool> release{false};
  std::atomic<bool> own_wait_returned{false};
  std::thread caller([&] {
    ASSERT_TRUE(flag.announce_call());
    flag.call_begins();
    in_call.store(true);
    while (!release.load()) std::this_thread::yield();
    flag.stop();  // the callable stops its own task: no wait for its own call
    own_wait_returned.store(flag.wait_for_calls(in(0).saturating_add(runtime::Duration{60, 0})));
    flag.call_ends();
  });
  while (!in_call.load()) std::this_thread::yield();
  // A call that does not end: the wait gives up at its deadline and says so.
  EXPECT_FALSE(flag.wait_for_calls(in(2'000'000)));
  release.store(true);
  caller.join();
  EXPECT_TRUE(own_wait_returned.load());
  EXPECT_FALSE(flag.announce_call());  // stopped: no call may begin
  EXPECT_TRUE(flag.wait_for_calls(in(0)));

  // Forked while the parent's worker had announced a call: in the child that worker does not
  // exist, and a stop there (the child's shutdown) must not wait for it for ever.
  RunFlag forked;
  forked.mark_launched();
  ASSERT_TRUE(forked.announce_call());
  RunFlag::forget_stop_lines_after_fork();
  forked.stop();
  EXPECT_TRUE(forked.wait_for_calls(in(0)));
}

}  // namespace metronyx::scheduler
