#include "runtime/clock.hpp"

#include <limits>

namespace metronyx::runtime {

namespace {
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
}

Duration Instant::saturating_since(const Instant& earlier) const {
  std::int64_t secs = seconds - earlier.seconds;
  std::int64_t nanos = nanoseconds - earlier.nanoseconds;
  if (nanos < 0) {
    nanos += kNanosPerSecond;
    secs -= 1;
  }
  if (secs < 0) return {};
  return {static_cast<std::uint64_t>(secs), static_cast<std::uint32_t>(nanos)};
}

Instant Instant::saturating_add(const Duration& span) const {
  constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() - 1;
  if (span.seconds > static_cast<std::uint64_t>(kMaxSeconds - seconds)) {
    return {kMaxSeconds, kNanosPerSecond - 1};
  }
  Instant result{seconds + static_cast<std::int64_t>(span.seconds),
                 nanoseconds + static_cast<std::int64_t>(span.nanoseconds)};
  if (result.nanoseconds >= kNanosPerSecond) {
    result.nanoseconds -= kNanosPerSecond;
    result.seconds += 1;
  }
  return result;
}

}  // namespace metronyx::runtime
