#include "runtime/sleep.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace metronyx::runtime {

void sleep_until(const Instant& deadline) {
  const timespec target{static_cast<time_t>(deadline.seconds),
                        static_cast<long>(deadline.nanoseconds)};
  // With an absolute deadline an interrupted sleep is simply resumed with the same target.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
  }
}

void yield_now() {
  ::sched_yield();
}

void request_precise_wakeups() {
  // Best effort: an older kernel that refuses only costs precision, never correctness.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace metronyx::runtime
