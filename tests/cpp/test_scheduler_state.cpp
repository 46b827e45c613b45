// A Scheduler's state when memory runs out in the middle of an operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "allocation_counter.hpp"
#include "error_test_support.hpp"
#include "scheduler/scheduler_state.hpp"

namespace metronyx::scheduler {
namespace {

using binding::OwnedRef;
using testing::Interpreter;

// Every allocation of schedule() fails in turn, from the first on: the call throws
// std::bad_alloc and leaves the state as it was (the next call gets the same id, no record keeps
// the callable, a new id gets no flag). Once from 4 pending tasks (a new id: the map grows) and
// once from 256 (the 257th reuses id 1, whose flag a pending task still holds, and the list
// grows).
TEST(SchedulerState, ScheduleThatRunsOutOfMemoryLeavesTheStateAsItWas) {
  Interpreter py;
  for (const int pending : {4, 256}) {
    SchedulerState state;
    OwnedRef callable = OwnedRef::steal(PyList_New(0));
    for (int i = 0; i < pending; ++i) (void)state.schedule(OwnedRef::new_ref(callable.get()), 1.0);
    const std::int8_t id = state.next_task_id();
    const Py_ssize_t held = Py_REFCNT(callable.get());
    int failures = 0;
    for (long allowed = 0;; ++allowed) {
      testing::fail_allocations_after(allowed);
      try {
        const std::int8_t scheduled = state.schedule(OwnedRef::new_ref(callable.get()), 1.0);
        testing::stop_failing_allocations();
        EXPECT_EQ(scheduled, id);
        break;
      } catch (const std::bad_alloc&) {
        testing::stop_failing_allocations();
        ++failures;
        EXPECT_EQ(state.next_task_id(), id) << pending << " pending, allocation " << allowed;
        EXPECT_EQ(Py_REFCNT(callable.get()), held) << pending << " pending, allocation " << allowed;
        if (pending < 256) {
          EXPECT_FALSE(state.cancel(id).has_value()) << "allocation " << allowed;
        }
      }
    }
    EXPECT_GE(failures, 3) << pending
                           << " pending";  // the flag, the list, the map or the kept flags
    EXPECT_EQ(Py_REFCNT(callable.get()), held + 1);
    state.shutdown();
  }
}

}  // namespace
}  // namespace metronyx::scheduler
