#include "scheduler/grid.hpp"

namespace metronyx::scheduler {

double next_delay(std::int64_t completed_calls, double interval, double elapsed_seconds) {
  return static_cast<double>(completed_calls) * interval - elapsed_seconds;
}

}  // namespace metronyx::scheduler
