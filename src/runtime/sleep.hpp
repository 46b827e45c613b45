// Sleeping without the interpreter lock.
//
// Threads: any. Sleeps last at least as long as asked; signals do not cut them short.
#pragma once

#include "runtime/clock.hpp"

namespace metronyx::runtime {

// Sleeps until the monotonic clock reads at least `deadline`. Sleeping to an absolute deadline
// keeps the time spent computing it from adding to the sleep.
void sleep_until(const Instant& deadline);

// Sleeps for at least `span`; a zero span only yields the processor.
void sleep_for(const Duration& span);

// Gives up the processor once.
void yield_now();

// Asks the kernel to wake this thread's timed sleeps as close to their deadline as it can (the
// default lets it add up to 50 us to batch wake-ups). Affects the calling thread only.
void request_precise_wakeups();

}  // namespace metronyx::runtime
