#include "runtime/word_wait.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace metronyx::runtime {

namespace {

// The kernel reads the word itself; std::atomic<std::uint32_t> is a plain 32-bit word on every
// target we build for.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* word_address(const std::atomic<std::uint32_t>& word) {
  return reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&word));
}

}  // namespace

WaitEnd wait_on_word_until(const std::atomic<std::uint32_t>& word, std::uint32_t while_equal,
                           const Instant& deadline) {
  // FUTEX_WAIT_BITSET takes an absolute timeout on CLOCK_MONOTONIC (plain FUTEX_WAIT would take a
  // relative one), so time spent getting here does not lengthen the wait.
  const timespec target{static_cast<time_t>(deadline.seconds),
                        static_cast<long>(deadline.nanoseconds)};
  const long rc = ::syscall(SYS_futex, word_address(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
                            while_equal, &target, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (rc == -1 && errno == ETIMEDOUT) return WaitEnd::deadline_passed;
  return WaitEnd::woken;
}

void wake_all_on_word(std::atomic<std::uint32_t>& word) {
  (void)::syscall(SYS_futex, word_address(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr,
                  nullptr, 0);
}

}  // namespace metronyx::runtime
