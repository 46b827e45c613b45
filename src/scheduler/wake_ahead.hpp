// Waking on time after a long sleep: the sleep to a call's due time is made in two stages, a long
// one that ends a little ahead of it and a short one to the due time itself.
//
// Why: where processors idle deeply (virtual machines above all), a thread that slept for
// milliseconds wakes tens to hundreds of microseconds late, one that slept for a few tens of
// microseconds within a few. Ending the long stage early by about as much as it is late, and
// sleeping the rest, brings the call close to its due time. It is never early: the last stage
// sleeps to the due time, and a long stage that wakes past it simply ends the sleep.
//
// The lead adapts to the machine: it follows the 95th percentile of how late the long stage
// wakes (up by kLeadStepUp when a stage woke later than the lead, down by kLeadStepDown when it
// did not), between kShortestLead and kLongestLead. Sleeps shorter than kShortestStagedSleep are
// made in one stage: they wake promptly anyway, and the second wake-up would cost more than it
// saves. So a task pays one extra wake-up per call at most, and only at intervals of a few
// milliseconds or more.
//
// Threads: one WakeAhead per worker, used by that worker only; no shared state.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/clock.hpp"

namespace metronyx::scheduler {

inline constexpr std::int64_t kShortestStagedSleepNs = 2'000'000;
inline constexpr std::int64_t kInitialLeadNs = 50'000;
inline constexpr std::int64_t kShortestLeadNs = 20'000;
inline constexpr std::int64_t kLongestLeadNs = 1'000'000;
inline constexpr std::int64_t kLeadStepDownNs = 1'000;
// 19 steps down for each step up: the lead settles where 1 long stage in 20 wakes later than it.
inline constexpr std::int64_t kLeadStepUpNs = 19 * kLeadStepDownNs;

class WakeAhead {
 public:
  // Where the long stage of a sleep from `now` to `due` ends, or nothing when the sleep is too
  // short to split and is made in one stage.
  [[nodiscard]] std::optional<runtime::Instant> long_stage_end(const runtime::Instant& now,
                                                               const runtime::Instant& due) const;

  // After a long stage that was to end at `stage_end`: the worker woke at `woke`.
  void long_stage_woke(const runtime::Instant& stage_end, const runtime::Instant& woke);

  [[nodiscard]] std::int64_t lead_ns() const { return lead_ns_; }

 private:
  std::int64_t lead_ns_ = kInitialLeadNs;  // kShortestLeadNs .. kLongestLeadNs
};

}  // namespace metronyx::scheduler
