#include "runtime/clock.hpp"

#include <time.h>

namespace metronyx::runtime {

Instant monotonic_now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

}  // namespace metronyx::runtime
