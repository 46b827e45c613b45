#include "runtime/sleep.hpp"

#include <windows.h>

#include "runtime/win32/thread_waiter.hpp"

namespace metronyx::runtime {

void sleep_until(const Instant& deadline) {
  if (win32::ThreadWaiter* waiter = win32::ThreadWaiter::for_this_thread()) {
    (void)waiter->wait_until(deadline, /*wake_on_event=*/false);
    return;
  }
  // No timer could be made: Sleep is late by up to a tick, never early once the clock says so.
  while (!deadline.saturating_since(monotonic_now()).is_zero()) {
    ::Sleep(win32::milliseconds_until(deadline));
  }
}

void yield_now() {
  ::SwitchToThread();
}

// The precision comes from the thread's high-resolution timer; making it now keeps the cost of
// making it out of the first sleep.
void request_precise_wakeups() {
  (void)win32::ThreadWaiter::for_this_thread();
}

}  // namespace metronyx::runtime
