// The monotonic clock and the duration type that workers sleep with.
//
// Threads: any; all functions are pure or read the monotonic clock (CLOCK_MONOTONIC; Windows: the
// performance counter), which never goes backwards.
#pragma once

#include <compare>
#include <cstdint>

namespace metronyx::runtime {

// A non-negative span of time: whole seconds plus nanoseconds below one second.
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // always < 1'000'000'000

  [[nodiscard]] bool is_zero() const { return seconds == 0 && nanoseconds == 0; }
  // Whole seconds plus nanoseconds / 1e9, in that order, as 64-bit float arithmetic.
  [[nodiscard]] double as_seconds_f64() const {
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
  }
  // Seconds first, then nanoseconds: the order of the spans themselves.
  friend auto operator<=>(const Duration&, const Duration&) = default;
};

// A reading of the monotonic clock.
struct Instant {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;  // 0 .. 999'999'999

  // How long after `earlier` this reading is; zero when it is not later.
  [[nodiscard]] Duration saturating_since(const Instant& earlier) const;
  // This reading moved forward by `span`, saturating at the largest representable instant.
  [[nodiscard]] Instant saturating_add(const Duration& span) const;
};

[[nodiscard]] Instant monotonic_now();

}  // namespace metronyx::runtime
