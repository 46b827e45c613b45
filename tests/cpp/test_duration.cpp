// Promises of the conversion from a worker's delay in seconds to a sleepable duration.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "runtime/failure.hpp"
#include "scheduler/duration.hpp"

namespace metronyx::scheduler {
namespace {

using runtime::Duration;

TEST(Duration, RoundsToTheNearestNanosecondWithTiesToEven) {
  EXPECT_EQ(seconds_to_duration(1.0), (Duration{1, 0}));
  EXPECT_EQ(seconds_to_duration(0.5), (Duration{0, 500'000'000}));
  EXPECT_EQ(seconds_to_duration(0.001), (Duration{0, 1'000'000}));
  EXPECT_EQ(seconds_to_duration(2.75), (Duration{2, 750'000'000}));
  // 2^-30 s is 0.93 ns and 3 * 2^-31 s is 1.40 ns: both round to 1 ns.
  EXPECT_EQ(seconds_to_duration(std::ldexp(1.0, -30)), (Duration{0, 1}));
  EXPECT_EQ(seconds_to_duration(3 * std::ldexp(1.0, -31)), (Duration{0, 1}));
  // 1 s + 2^-29 s is 1 s and 1.86 ns.
  EXPECT_EQ(seconds_to_duration(1.0 + std::ldexp(1.0, -29)), (Duration{1, 2}));
}

TEST(Duration, ExactHalfNanosecondTiesGoToTheEvenNeighbour) {
  // 2^-10 s is exactly 976562.5 ns: a tie, which goes to 976562.
  EXPECT_EQ(seconds_to_duration(std::ldexp(1.0, -10)), (Duration{0, 976'562}));
  // 3 * 2^-10 s is exactly 2929687.5 ns: a tie, which goes to 2929688.
  EXPECT_EQ(seconds_to_duration(3 * std::ldexp(1.0, -10)), (Duration{0, 2'929'688}));
}

TEST(Duration, NanosecondPartRoundingUpToOneSecondCarries) {
  const double just_below_two = std::nextafter(2.0, 0.0);  // 1.9999999999999998 s
  EXPECT_EQ(seconds_to_duration(just_below_two), (Duration{2, 0}));
}

TEST(Duration, TinyDelaysBecomeZeroAndHugeOrNanOnesFail) {
  EXPECT_TRUE(seconds_to_duration(std::ldexp(1.0, -32)).is_zero());
  EXPECT_TRUE(seconds_to_duration(std::nextafter(std::ldexp(1.0, -31), 0.0)).is_zero());
  EXPECT_EQ(seconds_to_duration(std::nextafter(std::ldexp(1.0, 64), 0.0)),
            (Duration{std::numeric_limits<std::uint64_t>::max() - 2047, 0}));
  for (double bad : {std::ldexp(1.0, 64), 1e20, std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
    try {
      (void)seconds_to_duration(bad);
      ADD_FAILURE() << "converted " << bad;
    } catch (const runtime::InternalFailure& failure) {
      EXPECT_EQ(failure.message(),
                "cannot convert float seconds to Duration: value is either too big or NaN");
    }
  }
}

}  // namespace
}  // namespace metronyx::scheduler
