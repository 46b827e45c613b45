#include "scheduler/wake_ahead.hpp"

#include <algorithm>

namespace metronyx::scheduler {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

// The span in nanoseconds, or `cap` when it is longer: the callers only compare it with bounds
// far below a second, so a span of years never has to fit.
std::int64_t nanoseconds_capped(const runtime::Duration& span, std::int64_t cap) {
  if (span.seconds >= static_cast<std::uint64_t>(cap / kNanosecondsPerSecond + 1)) return cap;
  const std::int64_t ns =
      static_cast<std::int64_t>(span.seconds) * kNanosecondsPerSecond + span.nanoseconds;
  return std::min(ns, cap);
}

}  // namespace

std::optional<runtime::Instant> WakeAhead::long_stage_end(const runtime::Instant& now,
                                                          const runtime::Instant& due) const {
  const runtime::Duration span = due.saturating_since(now);
  if (nanoseconds_capped(span, kShortestStagedSleepNs) < kShortestStagedSleepNs) {
    return std::nullopt;
  }
  // The span is at least kShortestStagedSleepNs, longer than any lead: the stage ends after now.
  runtime::Duration ahead = span;
  const auto lead = static_cast<std::uint32_t>(lead_ns_);
  if (ahead.nanoseconds >= lead) {
    ahead.nanoseconds -= lead;
  } else {
    ahead.seconds -= 1;
    ahead.nanoseconds += static_cast<std::uint32_t>(kNanosecondsPerSecond) - lead;
  }
  return now.saturating_add(ahead);
}

void WakeAhead::long_stage_woke(const runtime::Instant& stage_end, const runtime::Instant& woke) {
  const std::int64_t late =
      nanoseconds_capped(woke.saturating_since(stage_end), kNanosecondsPerSecond);
  lead_ns_ = late > lead_ns_ ? lead_ns_ + kLeadStepUpNs : lead_ns_ - kLeadStepDownNs;
  lead_ns_ = std::clamp(lead_ns_, kShortestLeadNs, kLongestLeadNs);
}

}  // namespace metronyx::scheduler
