// The operating system's side of the runtime, on every platform: clocks and sleeps that never end
// early, timed waits that a change of the word ends at once, byte waits that lose no wake-up,
// threads with the stack they ask for, and the random source.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "runtime/byte_lock.hpp"
#include "runtime/clock.hpp"
#include "runtime/once.hpp"
#include "runtime/os_error.hpp"
#include "runtime/random.hpp"
#include "runtime/sleep.hpp"
#include "runtime/threads.hpp"
#include "runtime/wait_wake.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::runtime {
namespace {

Instant in(std::uint32_t nanoseconds) {
  return monotonic_now().saturating_add(Duration{0, nanoseconds});
}

bool reached(const Instant& deadline) {
  return deadline.saturating_since(monotonic_now()).is_zero();
}

// Sub-millisecond spans exercise the rounding to the timers' units, which must round up.
TEST(Runtime, SleepsAndTimedWaitsNeverEndBeforeTheirDeadline) {
  std::atomic<std::uint32_t> word{7};
  Instant previous = monotonic_now();
  for (std::uint32_t nanoseconds : {1u, 150u, 40'000u, 999'999u, 2'500'000u}) {
    const Instant sleep_deadline = in(nanoseconds);
    sleep_until(sleep_deadline);
    EXPECT_TRUE(reached(sleep_deadline)) << nanoseconds;

    const Instant wait_deadline = in(nanoseconds);
    WaitEnd end;
    do {
      end = wait_on_word_until(word, 7, wait_deadline);
    } while (end == WaitEnd::woken);  // spurious returns are allowed; a timeout must be real
    EXPECT_TRUE(reached(wait_deadline)) << nanoseconds;

    const Instant now = monotonic_now();
    EXPECT_EQ(previous.saturating_since(now), Duration{}) << "the clock went backwards";
    previous = now;
  }
}

// The stop of a worker's sleep: a change of the word and a wake end a long wait at once, and a
// word that already changed is not waited on at all.
TEST(Runtime, AChangedWordEndsATimedWaitAtOnce) {
  std::atomic<std::uint32_t> word{1};
  std::atomic<bool> waiting{false};
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      const Instant deadline = monotonic_now().saturating_add(Duration{60, 0});
      waiting.store(true);
      while (word.load() == 1) {
        if (wait_on_word_until(word, 1, deadline) == WaitEnd::deadline_passed) return;
      }
      woken.fetch_add(1);
    });
  }
  while (!waiting.load()) std::this_thread::yield();
  sleep_for(Duration{0, 20'000'000});  // lets the waiters go to sleep
  const Instant changed_at = monotonic_now();
  word.store(0);
  wake_all_on_word(word);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
  // Far below the 60 s deadline: the wake ended the waits, not the timer.
  EXPECT_LT(monotonic_now().saturating_since(changed_at).as_seconds_f64(), 30.0);
  EXPECT_EQ(wait_on_word_until(word, 1, monotonic_now().saturating_add(Duration{60, 0})),
            WaitEnd::woken);
}

// Contended byte locks and one-time cells sleep on their byte; a lost wake-up hangs a round.
TEST(Runtime, ASpinEndsAtTheChangeOrAtItsBound) {
  // Never true: ends false, not before its bound (an unbounded spin hangs here).
  const Instant begun = monotonic_now();
  EXPECT_FALSE(spin_until([] { return false; }, Duration{0, 200'000}));
  EXPECT_TRUE(monotonic_now().saturating_since(begun) >= (Duration{0, 200'000}));
  // Made true by another thread well inside a long bound: ends true, without waiting it out.
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    flag.store(true);
  });
  EXPECT_TRUE(spin_until([&] { return flag.load(); }, Duration{30, 0}));
  setter.join();
  // Already true: no clock is read, no pause made.
  EXPECT_TRUE(spin_until([] { return true; }, Duration{}));
}

TEST(Runtime, ByteWaitsLoseNoWakeUpUnderContention) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  constexpr int kIncrements = 200;
  for (int round = 0; round < kRounds; ++round) {
    ByteLock lock;
    Once once;
    long counter = 0;
    int runs = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        once.call_once([&] {
          ++runs;
          yield_now();
        });
        for (int n = 0; n < kIncrements; ++n) {
          lock.lock();
          ++counter;
          lock.unlock();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(counter, kThreads * kIncrements) << "round " << round;
    ASSERT_EQ(runs, 1) << "round " << round;
  }
}

struct StackProbe {
  std::atomic<std::uint64_t> thread_id{0};
  std::atomic<std::uint8_t> done{0};
};

// Touches three quarters of a 4 MiB stack: beyond the platforms' 1 MiB default on Windows.
void use_a_deep_stack(void* raw) {
  auto* probe = static_cast<StackProbe*>(raw);
  volatile unsigned char frame[3 << 20];
  for (std::size_t i = 0; i < sizeof frame; i += 4096) frame[i] = static_cast<unsigned char>(i);
  probe->thread_id.store(current_thread_id());
  probe->done.store(1);
  wake_all(probe->done);
}

TEST(Runtime, ADetachedThreadRunsWithTheStackItAskedFor) {
  static StackProbe probe;  // the thread may still be inside wake_all when the test ends
  ASSERT_TRUE(spawn_detached(&use_a_deep_stack, &probe, std::size_t{4} << 20).has_value());
  while (probe.done.load() == 0) wait_on_byte(probe.done, 0);
  EXPECT_NE(probe.thread_id.load(), current_thread_id());
}

#if defined(__linux__)
struct PlaceProbe {
  std::atomic<int> processor{-1};
  cpu_set_t affinity;
  std::atomic<std::uint8_t> done{0};
};

void note_place(void* raw) {
  auto* probe = static_cast<PlaceProbe*>(raw);
  (void)sched_getaffinity(0, sizeof probe->affinity, &probe->affinity);
  probe->processor.store(current_processor());
  probe->done.store(1);
  wake_all(probe->done);
}

// A worker must not begin on the processor of the thread that launched it (a busy main thread),
// and must keep the affinity the program gave that thread. The kernel may move a thread back
// before the test looks (it was preempted just then), so one miss in five is allowed; the
// affinity must hold every time.
TEST(Runtime, NewThreadsBeginAwayFromTheLauncherAndKeepItsAffinity) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "this thread may run on one processor only";

  int moved_itself = 0;
  int spawned_elsewhere = 0;
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int here = current_processor();
    begin_away_from(here);
    moved_itself += current_processor() != here ? 1 : 0;
    cpu_set_t now;
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_TRUE(CPU_EQUAL(&now, &allowed));

    static PlaceProbe
        probes[kAttempts];  // a thread may still be inside wake_all when the test ends
    PlaceProbe& probe = probes[attempt];
    const int launcher = current_processor();
    ASSERT_TRUE(spawn_detached(&note_place, &probe, 0).has_value());
    while (probe.done.load() == 0) wait_on_byte(probe.done, 0);
    spawned_elsewhere += probe.processor.load() != launcher ? 1 : 0;
    EXPECT_TRUE(CPU_EQUAL(&probe.affinity, &allowed));
  }
  EXPECT_GE(moved_itself, kAttempts - 1);
  EXPECT_GE(spawned_elsewhere, kAttempts - 1);
}
#endif

TEST(Runtime, RandomBytesAndErrorTextsComeFromTheSystem) {
  const auto first = os_random_16();
  const auto second = os_random_16();
  EXPECT_NE(first, second);
  EXPECT_NE(first, decltype(first){});

  // Code 2 is "file not found" on both platforms; the text is one line with the code after it.
  const std::string text = describe_os_error(2);
  const std::string suffix = " (os error 2)";
  ASSERT_GT(text.size(), suffix.size() + 1);
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  const char last = text[text.size() - suffix.size() - 1];
  EXPECT_TRUE(last != '.' && last != '\n' && last != '\r' && last != ' ') << text;
}

}  // namespace
}  // namespace metronyx::runtime
