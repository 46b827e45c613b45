// Waiting on one byte of memory until another thread changes it, and waking such waiters.
//
// Threads: any. A wait may return spuriously; callers re-check the byte in a loop.
#pragma once

#include <atomic>
#include <cstdint>

namespace metronyx::runtime {

// Blocks while `byte` holds `while_equal`, with no time limit.
void wait_on_byte(const std::atomic<std::uint8_t>& byte, std::uint8_t while_equal);
void wake_one(std::atomic<std::uint8_t>& byte);
void wake_all(std::atomic<std::uint8_t>& byte);

// One processor pause for spin loops.
void spin_pause();

}  // namespace metronyx::runtime
