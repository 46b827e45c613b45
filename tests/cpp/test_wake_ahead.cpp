// The two-stage sleep's plan: never past the due time, split only when long, and a lead that
// follows how late the machine wakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "scheduler/wake_ahead.hpp"

namespace metronyx::scheduler {
namespace {

runtime::Instant at_ns(std::int64_t ns) {
  return {ns / 1'000'000'000, ns % 1'000'000'000};
}

std::int64_t ns_of(const runtime::Instant& instant) {
  return instant.seconds * 1'000'000'000 + instant.nanoseconds;
}

// The long stage ends exactly one lead before the due time, across a second boundary too; a
// sleep too short to split, or already over, is one stage; a due time years away (the largest
// interval) neither overflows nor comes out before now.
TEST(WakeAhead, LongStageEndsOneLeadBeforeTheDueTimeAndOnlyForLongSleeps) {
  const WakeAhead plan;
  const std::int64_t now = 5'000'000'000 - 1'000'000;
  for (const std::int64_t span : {kShortestStagedSleepNs, std::int64_t{10'000'000},
                                  std::int64_t{1'000'050'000}, std::int64_t{3'000'000'000}}) {
    const auto end = plan.long_stage_end(at_ns(now), at_ns(now + span));
    ASSERT_TRUE(end.has_value()) << span;
    EXPECT_EQ(ns_of(*end), now + span - kInitialLeadNs) << span;
    EXPECT_LT(end->nanoseconds, 1'000'000'000) << span;
  }
  EXPECT_FALSE(plan.long_stage_end(at_ns(now), at_ns(now + kShortestStagedSleepNs - 1)));
  EXPECT_FALSE(plan.long_stage_end(at_ns(now), at_ns(now)));
  EXPECT_FALSE(plan.long_stage_end(at_ns(now), at_ns(now - 1'000'000)));

  const runtime::Instant far = at_ns(now).saturating_add({1'000'000'000'000ULL, 0});
  const auto end = plan.long_stage_end(at_ns(now), far);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(far.saturating_since(*end), (runtime::Duration{0, kInitialLeadNs}));
}

// Woken a steady 120 us late, the lead climbs to about that and stays there, so the long stage
// ends before the due time 19 times in 20; woken at once it falls to the shortest lead, and
// woken hugely late (a stall) it climbs no further than the longest.
TEST(WakeAhead, LeadSettlesAtTheLatenessOfTheLongStageWithinItsBounds) {
  const auto settle = [](std::int64_t late_ns, int rounds) {
    WakeAhead plan;
    std::int64_t lowest = kLongestLeadNs;
    std::int64_t highest = 0;
    for (int round = 0; round < rounds; ++round) {
      const runtime::Instant end = at_ns(1'000'000'000 + std::int64_t{round} * 10'000'000);
      plan.long_stage_woke(end, at_ns(ns_of(end) + late_ns));
      if (round >= rounds / 2) {
        lowest = std::min(lowest, plan.lead_ns());
        highest = std::max(highest, plan.lead_ns());
      }
    }
    return std::pair{lowest, highest};
  };
  const auto [low, high] = settle(120'000, 400);
  EXPECT_GE(low, 120'000 - kLeadStepUpNs);
  EXPECT_LE(high, 120'000 + kLeadStepUpNs);
  EXPECT_EQ(settle(0, 200).second, kShortestLeadNs);
  EXPECT_EQ(settle(5'000'000'000, 200).first, kLongestLeadNs);

  // Lateness spread evenly over 1..100 us: the lead ends in the top tenth of it.
  WakeAhead plan;
  for (int round = 0; round < 4000; ++round) {
    const runtime::Instant end = at_ns(1'000'000'000);
    plan.long_stage_woke(end, at_ns(ns_of(end) + (round * 37 % 100 + 1) * 1'000));
  }
  EXPECT_GE(plan.lead_ns(), 85'000);
  EXPECT_LE(plan.lead_ns(), 100'000 + kLeadStepUpNs);
}

}  // namespace
}  // namespace metronyx::scheduler
