// Counts the C++ heap allocations made on the calling thread, so that a test can show that a path
// makes none. The test binary replaces the global allocation operators (allocation_counter.cpp);
// they only count and forward to malloc and free.
#pragma once

namespace metronyx::testing {

[[nodiscard]] long cpp_allocations_on_this_thread();

}  // namespace metronyx::testing
