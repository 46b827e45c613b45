#include "runtime/word_wait.hpp"

#include <windows.h>

#include <cstdint>

#include "runtime/win32/thread_waiter.hpp"

namespace metronyx::runtime {

namespace {

// The threads in a timed wait on some word, each with the event that ends its wait. A waiter
// links itself in (and checks the word) under its bucket's lock, and a waker sets the events
// under the same lock after changing the word: either the waiter sees the new value, or the
// waker sees the waiter. Constant-initialised and trivially destructible: never torn down while
// a worker may still wait.
struct Sleeper {
  const void* word;
  HANDLE event;
  Sleeper* previous;
  Sleeper* next;
};

struct Bucket {
  SRWLOCK lock = SRWLOCK_INIT;
  Sleeper* first = nullptr;  // guarded by lock
};

constexpr std::size_t kBuckets = 16;  // spreads the flags of many tasks over several locks
Bucket buckets[kBuckets];

Bucket& bucket_of(const void* word) {
  return buckets[(reinterpret_cast<std::uintptr_t>(word) >> 4) % kBuckets];
}

void unlink(Bucket& bucket, Sleeper& sleeper) {
  if (sleeper.previous != nullptr) {
    sleeper.previous->next = sleeper.next;
  } else {
    bucket.first = sleeper.next;
  }
  if (sleeper.next != nullptr) sleeper.next->previous = sleeper.previous;
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// For a thread that has no timer of its own: the tick-bound wait on the word itself.
WaitEnd wait_on_address_until(const std::atomic<std::uint32_t>& word, std::uint32_t while_equal,
                              const Instant& deadline) {
  if (deadline.saturating_since(monotonic_now()).is_zero()) return WaitEnd::deadline_passed;
  volatile VOID* address = const_cast<std::atomic<std::uint32_t>*>(&word);
  (void)::WaitOnAddress(address, &while_equal, sizeof while_equal,
                        win32::milliseconds_until(deadline));
  return deadline.saturating_since(monotonic_now()).is_zero() ? WaitEnd::deadline_passed
                                                              : WaitEnd::woken;
}

}  // namespace

WaitEnd wait_on_word_until(const std::atomic<std::uint32_t>& word, std::uint32_t while_equal,
                           const Instant& deadline) {
  win32::ThreadWaiter* const waiter = win32::ThreadWaiter::for_this_thread();
  if (waiter == nullptr) return wait_on_address_until(word, while_equal, deadline);

  Bucket& bucket = bucket_of(&word);
  Sleeper self{&word, waiter->event(), nullptr, nullptr};
  ::AcquireSRWLockExclusive(&bucket.lock);
  const bool changed = word.load(std::memory_order_relaxed) != while_equal;
  if (!changed) {
    self.next = bucket.first;
    if (bucket.first != nullptr) bucket.first->previous = &self;
    bucket.first = &self;
  }
  ::ReleaseSRWLockExclusive(&bucket.lock);
  if (changed) return WaitEnd::woken;

  const WaitEnd end = waiter->wait_until(deadline, /*wake_on_event=*/true);
  ::AcquireSRWLockExclusive(&bucket.lock);
  unlink(bucket, self);
  ::ReleaseSRWLockExclusive(&bucket.lock);
  return end;
}

void wake_all_on_word(std::atomic<std::uint32_t>& word) {
  Bucket& bucket = bucket_of(&word);
  ::AcquireSRWLockExclusive(&bucket.lock);
  for (Sleeper* sleeper = bucket.first; sleeper != nullptr; sleeper = sleeper->next) {
    if (sleeper->word == &word) ::SetEvent(sleeper->event);
  }
  ::ReleaseSRWLockExclusive(&bucket.lock);
  // Threads without a timer of their own wait on the word itself.
  ::WakeByAddressAll(&word);
}

}  // namespace metronyx::runtime
