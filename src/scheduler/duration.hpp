// Turning a worker's delay in seconds into a sleepable duration.
#pragma once

#include "runtime/clock.hpp"

namespace metronyx::scheduler {

// Rounds `seconds` to the nearest nanosecond, ties to even. Below 2^-31 s (including zero and
// negative values) the result is zero; NaN or 2^64 s and above is the internal failure "cannot
// convert float seconds to Duration: value is either too big or NaN".
[[nodiscard]] runtime::Duration seconds_to_duration(double seconds);

}  // namespace metronyx::scheduler
