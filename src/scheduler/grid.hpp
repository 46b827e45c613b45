// The fixed-rate grid a worker calls on: call k is due k intervals after the worker started.
#pragma once

#include <cstdint>

namespace metronyx::scheduler {

// How long to wait before the next call, after `completed_calls` calls and `elapsed_seconds`
// since the start: the next call's due time minus the time now. Zero or negative means the
// worker is behind and calls again at once. The due time comes from the start and the count,
// never from the previous call, so lateness does not add up over calls.
[[nodiscard]] double next_delay(std::int64_t completed_calls, double interval,
                                double elapsed_seconds);

// The count must be 64 bits wide: a 32-bit count turns negative after 2^31 calls (weeks at a
// short interval), every later delay with it, and the worker would spin forever. A narrower
// count would convert silently; this makes it a compile error instead.
template <typename Count>
double next_delay(Count, double, double) = delete;

}  // namespace metronyx::scheduler
