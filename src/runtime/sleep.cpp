#include "runtime/sleep.hpp"

namespace metronyx::runtime {

// The same on every platform: the platform's own sleep_until and yield_now do the waiting.
void sleep_for(const Duration& span) {
  if (span.is_zero()) {
    yield_now();
    return;
  }
  sleep_until(monotonic_now().saturating_add(span));
}

}  // namespace metronyx::runtime
