#include "runtime/clock.hpp"

#include <windows.h>

namespace metronyx::runtime {

namespace {

// The counter's frequency is fixed at boot (10 MHz on current systems). Anything below 9.2 GHz
// keeps `rest * 1e9` below 2^63 in `monotonic_now`.
std::int64_t counter_frequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return static_cast<std::int64_t>(value.QuadPart);
  }();
  return frequency;
}

}  // namespace

// The performance counter never goes backwards and, since Windows XP, never fails.
Instant monotonic_now() {
  const std::int64_t frequency = counter_frequency();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  const std::int64_t rest = counter.QuadPart % frequency;
  return {counter.QuadPart / frequency, rest * 1'000'000'000 / frequency};
}

}  // namespace metronyx::runtime
