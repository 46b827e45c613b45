#include "runtime/byte_lock.hpp"

#include <exception>

#include "runtime/wait_wake.hpp"

namespace metronyx::runtime {

namespace {

constexpr std::uint8_t kUnlocked = 0;
constexpr std::uint8_t kLocked = 1;
constexpr std::uint8_t kContended = 2;
constexpr int kSpinLimit = 100;

// Spins while another thread holds the lock uncontended, hoping it lets go soon.
std::uint8_t spin_while_locked(const std::atomic<std::uint8_t>& state) {
  std::uint8_t seen = state.load(std::memory_order_relaxed);
  for (int spins = 0; seen == kLocked && spins < kSpinLimit; ++spins) {
    spin_pause();
    seen = state.load(std::memory_order_relaxed);
  }
  return seen;
}

}  // namespace

void ByteLock::lock() {
  std::uint8_t expected = kUnlocked;
  if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    return;
  }
  lock_contended();
}

void ByteLock::lock_contended() {
  std::uint8_t seen = spin_while_locked(state_);
  if (seen == kUnlocked) {
    std::uint8_t expected = kUnlocked;
    if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return;
    }
  }
  for (;;) {
    // Taking it as contended is conservative: the unlock then wakes a sleeper that may not exist.
    if (state_.load(std::memory_order_relaxed) != kContended &&
        state_.exchange(kContended, std::memory_order_acquire) == kUnlocked) {
      return;
    }
    wait_on_byte(state_, kContended);
    spin_while_locked(state_);
  }
}

void ByteLock::unlock() {
  if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) wake_one(state_);
}

PoisonableGuard::PoisonableGuard(ByteLock& lock)
    : lock_(lock),
      unwinding_at_entry_(std::uncaught_exceptions()),
      was_poisoned_((lock.lock(), lock.is_poisoned())) {}

PoisonableGuard::~PoisonableGuard() {
  if (std::uncaught_exceptions() > unwinding_at_entry_) lock_.mark_poisoned();
  lock_.unlock();
}

}  // namespace metronyx::runtime
