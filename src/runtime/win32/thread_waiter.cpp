#include "runtime/win32/thread_waiter.hpp"

#include <memory>

// Windows 10 1803 and later; older headers do not name it yet.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace metronyx::runtime::win32 {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;  // the timer counts 100 ns ticks
// Longer waits are made of several timer periods; the clock decides when the deadline is reached.
constexpr std::uint64_t kLongestTimerSeconds = 1'000'000;

// Relative due times are negative; rounded up, so that the timer never fires before the deadline.
LONGLONG relative_due_time(const Duration& left) {
  const std::uint64_t seconds =
      left.seconds < kLongestTimerSeconds ? left.seconds : kLongestTimerSeconds;
  const std::int64_t ticks = static_cast<std::int64_t>(seconds) * kTicksPerSecond +
                             (static_cast<std::int64_t>(left.nanoseconds) + 99) / 100;
  return -ticks;
}

HANDLE make_timer() {
  // Without the high-resolution flag (an older system, or an emulation that lacks it) the timer
  // still works, with the tick's precision.
  HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  return timer;
}

std::unique_ptr<ThreadWaiter> make_waiter() {
  const HANDLE timer = make_timer();
  if (timer == nullptr) return nullptr;
  const HANDLE event = ::CreateEventW(nullptr, /*bManualReset=*/FALSE, FALSE, nullptr);
  if (event == nullptr) {
    ::CloseHandle(timer);
    return nullptr;
  }
  return std::make_unique<ThreadWaiter>(timer, event);
}

void WINAPI free_waiter(void* waiter) {
  delete static_cast<ThreadWaiter*>(waiter);
}

// The waiter lives in a fiber-local slot whose callback frees it as its thread ends, whoever made
// the thread. Not a thread_local with a destructor: MinGW's runtime gives a thread's TLS block
// back before it runs such destructors, which then read and free what the heap has reused. The
// module is never unloaded (CPython keeps extension modules for the process's life), so the
// callback's code outlives every thread. FLS_OUT_OF_INDEXES when the process has no slot left.
DWORD waiter_slot() {
  static const DWORD slot = ::FlsAlloc(&free_waiter);
  return slot;
}

}  // namespace

ThreadWaiter* ThreadWaiter::for_this_thread() {
  const DWORD slot = waiter_slot();
  if (slot == FLS_OUT_OF_INDEXES) return nullptr;
  if (auto* waiter = static_cast<ThreadWaiter*>(::FlsGetValue(slot))) return waiter;
  // A thread whose first attempt failed tries again at its next wait.
  std::unique_ptr<ThreadWaiter> made = make_waiter();
  if (made == nullptr || !::FlsSetValue(slot, made.get())) return nullptr;
  return made.release();
}

ThreadWaiter::~ThreadWaiter() {
  ::CloseHandle(timer_);
  ::CloseHandle(event_);
}

WaitEnd ThreadWaiter::wait_until(const Instant& deadline, bool wake_on_event) {
  HANDLE handles[2] = {event_, timer_};
  HANDLE* const first = wake_on_event ? handles : handles + 1;
  const DWORD count = wake_on_event ? 2 : 1;
  for (;;) {
    // The timer and the performance counter are different clocks; only the counter says whether
    // the deadline has passed, so a timer that fires a hair early just means one more round.
    const Duration left = deadline.saturating_since(monotonic_now());
    if (left.is_zero()) return WaitEnd::deadline_passed;
    LARGE_INTEGER due;
    due.QuadPart = relative_due_time(left);
    if (!::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
      // Cannot happen with a valid handle; if it did, the tick-bound wait is still never early.
      if (::WaitForMultipleObjects(count, first, FALSE, milliseconds_until(deadline)) ==
              WAIT_OBJECT_0 &&
          wake_on_event) {
        return WaitEnd::woken;
      }
      continue;
    }
    const DWORD end = ::WaitForMultipleObjects(count, first, FALSE, INFINITE);
    if (wake_on_event && end == WAIT_OBJECT_0) return WaitEnd::woken;
  }
}

DWORD milliseconds_until(const Instant& deadline) {
  const Duration left = deadline.saturating_since(monotonic_now());
  constexpr std::uint64_t kLongestMilliseconds = 0x7fff'0000;  // below INFINITE, about 24 days
  if (left.seconds >= kLongestMilliseconds / 1000) return static_cast<DWORD>(kLongestMilliseconds);
  return static_cast<DWORD>(left.seconds * 1000 + (left.nanoseconds + 999'999) / 1'000'000);
}

}  // namespace metronyx::runtime::win32
