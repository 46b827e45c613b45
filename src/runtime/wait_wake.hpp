// Waiting on one byte of memory until another thread changes it, and waking such waiters.
//
// Threads: any. A wait may return spuriously; callers re-check the byte in a loop.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/clock.hpp"

namespace metronyx::runtime {

// Blocks while `byte` holds `while_equal`, with no time limit.
void wait_on_byte(const std::atomic<std::uint8_t>& byte, std::uint8_t while_equal);
void wake_one(std::atomic<std::uint8_t>& byte);
void wake_all(std::atomic<std::uint8_t>& byte);

// One processor pause for spin loops.
void spin_pause();

// Spins until `done()` holds (true) or `limit` has passed (false), reading the clock only every
// few pauses: a reading costs a few pauses, and a few hundred nanoseconds past the bound do not
// matter. For waits that usually end within microseconds, where a sleep and a wake-up would cost
// more than the whole wait.
template <class Done>
bool spin_until(Done&& done, const Duration& limit) {
  if (done()) return true;
  constexpr int kSpinsPerReading = 16;
  const Instant deadline = monotonic_now().saturating_add(limit);
  for (;;) {
    for (int i = 0; i < kSpinsPerReading; ++i) {
      spin_pause();
      if (done()) return true;
    }
    if (deadline.saturating_since(monotonic_now()).is_zero()) return done();
  }
}

}  // namespace metronyx::runtime
