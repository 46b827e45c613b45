// Waiting on a 32-bit word until another thread changes it or a deadline on the monotonic clock
// passes, and waking such waiters. The timed form of wait_wake.hpp, for waits that must end on
// time (a worker's sleep to its next call) and still end early when asked (a stop).
//
// Threads: any. A wait may return early for no reason (a signal, a wake meant for another value);
// callers re-check the word and the clock in a loop. The timeout is armed with the calling
// thread's timer slack, exactly like an absolute clock_nanosleep on CLOCK_MONOTONIC, so a wait
// that times out wakes as precisely as a sleep. On Windows, whose own timed waits count whole
// ticks, the waiter sleeps on its thread's high-resolution timer and an event that the wake sets
// (src/runtime/win32/thread_waiter.hpp), with the same precision and the same promptness.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/clock.hpp"

namespace metronyx::runtime {

enum class WaitEnd { deadline_passed, woken };

// Blocks while `word` holds `while_equal`, until `deadline` at the latest. `woken` also covers a
// word that already differed and a spurious return; only `deadline_passed` says the time is up.
WaitEnd wait_on_word_until(const std::atomic<std::uint32_t>& word, std::uint32_t while_equal,
                           const Instant& deadline);

// Wakes every thread waiting on `word`.
void wake_all_on_word(std::atomic<std::uint32_t>& word);

}  // namespace metronyx::runtime
