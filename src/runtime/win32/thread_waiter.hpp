// The calling thread's own means of a precise timed wait on Windows: a high-resolution waitable
// timer, and an event that other threads set to end the wait early.
//
// Why: the system's own timed waits (Sleep, WaitOnAddress, the timeouts of the wait functions)
// count whole milliseconds on the system tick, up to 15.6 ms late. A waitable timer made with
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION fires within a fraction of a millisecond; waited on
// together with the event, it gives a sleep that ends on time and still ends at once when asked.
//
// Contract: the objects belong to one thread, are made on its first timed wait and closed when it
// ends. `for_this_thread` returns null when the system refuses to make them (out of handles);
// callers then fall back on the tick-bound waits, which are late but never early.
#pragma once

#include <windows.h>

#include "runtime/clock.hpp"
#include "runtime/word_wait.hpp"

namespace metronyx::runtime::win32 {

class ThreadWaiter {
 public:
  [[nodiscard]] static ThreadWaiter* for_this_thread();

  // Waits until the monotonic clock reads at least `deadline` (`deadline_passed`), or, when
  // `wake_on_event`, until another thread sets `event()` (`woken`; the event resets itself).
  WaitEnd wait_until(const Instant& deadline, bool wake_on_event);

  // Set by a waker from another thread; stays valid while this thread lives.
  [[nodiscard]] HANDLE event() const { return event_; }

  ThreadWaiter(HANDLE timer, HANDLE event) : timer_(timer), event_(event) {}
  ~ThreadWaiter();
  ThreadWaiter(const ThreadWaiter&) = delete;
  ThreadWaiter& operator=(const ThreadWaiter&) = delete;

 private:
  const HANDLE timer_;
  const HANDLE event_;
};

// The time left until `deadline`, in whole milliseconds rounded up (for the tick-bound waits).
[[nodiscard]] DWORD milliseconds_until(const Instant& deadline);

}  // namespace metronyx::runtime::win32
