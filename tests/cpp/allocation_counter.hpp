// Counts the C++ heap allocations made on the calling thread, so that a test can show that a path
// makes none, and makes them fail on request, as they do when memory runs out. The test binary
// replaces the global allocation operators (allocation_counter.cpp); they count, fail if asked,
// and forward to malloc and free.
#pragma once

namespace metronyx::testing {

[[nodiscard]] long cpp_allocations_on_this_thread();

// On this thread, the next `allowed` C++ allocations succeed and every one after them throws
// std::bad_alloc, until `stop_failing_allocations`.
void fail_allocations_after(long allowed);
void stop_failing_allocations();

}  // namespace metronyx::testing
