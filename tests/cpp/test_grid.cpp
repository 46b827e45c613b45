// The delay before a worker's next call, far into a long run.
#include <gtest/gtest.h>

#include <cstdint>

#include "scheduler/grid.hpp"

namespace metronyx::scheduler {
namespace {

// At 1 ms, 2^31 calls take 25 days and 2^32 calls 50: a count that wraps there turns every later
// delay hugely negative, and the worker spins without sleeping.
TEST(Grid, DelayStaysRightAndPositivePastTwoToThe31And32Calls) {
  constexpr double interval = 0.001;
  constexpr double ahead = interval / 4;  // the worker is a quarter interval ahead of its next slot
  for (const std::int64_t base : {std::int64_t{1} << 31, std::int64_t{1} << 32}) {
    for (const std::int64_t count : {base - 1, base, base + 1}) {
      const double elapsed = static_cast<double>(count) * interval - ahead;
      const double delay = next_delay(count, interval, elapsed);
      EXPECT_GT(delay, 0) << "after " << count << " calls";
      EXPECT_NEAR(delay, ahead, 1e-6) << "after " << count << " calls";
    }
  }
}

}  // namespace
}  // namespace metronyx::scheduler
