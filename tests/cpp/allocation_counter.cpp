// In a translation unit of its own: were the replacements inlined into their callers, the compiler
// would see `new` paired with `free` and warn about a mismatch that is not one.
#include "allocation_counter.hpp"

#include <cstdlib>
#include <new>

namespace {
thread_local long allocations = 0;
thread_local long allowed_before_failing = -1;  // -1: none fails
}  // namespace

namespace metronyx::testing {
long cpp_allocations_on_this_thread() {
  return allocations;
}
void fail_allocations_after(long allowed) {
  allowed_before_failing = allowed;
}
void stop_failing_allocations() {
  allowed_before_failing = -1;
}
}  // namespace metronyx::testing

void* operator new(std::size_t size) {
  ++allocations;
  if (allowed_before_failing == 0) throw std::bad_alloc();
  if (allowed_before_failing > 0) --allowed_before_failing;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
