// Windows only: a thread's timer and event are freed when the thread ends, without touching
// memory the runtime already gave back, whoever made the thread.
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <vector>

#include "runtime/clock.hpp"
#include "runtime/sleep.hpp"
#include "runtime/win32/thread_waiter.hpp"

namespace metronyx::runtime::win32 {
namespace {

struct Made {
  HANDLE go = nullptr;
  HANDLE event = nullptr;
};

// The thread a caller of the module may own (not one of ours): it sleeps, which makes its
// waiter, and ends. It starts once every thread of the round exists, so that no handle made for
// a thread can take the value of a waiter's handle already closed.
DWORD WINAPI sleep_and_end(LPVOID raw) {
  Made& made = *static_cast<Made*>(raw);
  (void)::WaitForSingleObject(made.go, INFINITE);
  sleep_until(monotonic_now().saturating_add(Duration{0, 100'000}));
  made.event = ThreadWaiter::for_this_thread()->event();
  return 0;
}

bool is_open(HANDLE handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(handle, &flags) != 0;
}

// A waiter destroyed through freed thread-local storage closes whatever the freed bytes now
// hold and frees a stale pointer: the heap breaks some rounds later, far from the cause.
// Several threads at once, so that one thread's freed block is another's next allocation.
TEST(Win32ThreadWaiter, EndingThreadsCloseTheirWaitersAndLeaveTheHeapWhole) {
  constexpr int kRounds = 400;
  constexpr int kThreadsAtOnce = 8;
  const HANDLE go = ::CreateEventW(nullptr, /*bManualReset=*/TRUE, FALSE, nullptr);
  ASSERT_NE(go, nullptr);
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(::ResetEvent(go));
    std::vector<Made> made(kThreadsAtOnce, Made{go, nullptr});
    std::vector<HANDLE> threads;
    for (Made& slot : made) {
      const HANDLE thread = ::CreateThread(nullptr, 0, &sleep_and_end, &slot, 0, nullptr);
      ASSERT_NE(thread, nullptr);
      threads.push_back(thread);
    }
    ASSERT_TRUE(::SetEvent(go));
    ASSERT_EQ(::WaitForMultipleObjects(kThreadsAtOnce, threads.data(), TRUE, 30'000),
              WAIT_OBJECT_0);
    // Checked before this thread makes a handle that could take a closed one's value.
    for (const Made& slot : made) {
      ASSERT_NE(slot.event, nullptr) << "round " << round;
      ASSERT_FALSE(is_open(slot.event)) << "round " << round << ": a waiter outlived its thread";
    }
    for (HANDLE thread : threads) ::CloseHandle(thread);
    ASSERT_EQ(_heapchk(), _HEAPOK) << "round " << round;
  }
  ::CloseHandle(go);
}

}  // namespace
}  // namespace metronyx::runtime::win32
