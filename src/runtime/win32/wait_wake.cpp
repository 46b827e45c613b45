#include "runtime/wait_wake.hpp"

#include <windows.h>

namespace metronyx::runtime {

namespace {

// WaitOnAddress compares the byte itself, so the std::atomic must be a plain byte.
static_assert(sizeof(std::atomic<std::uint8_t>) == 1);
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

volatile VOID* address_of(const std::atomic<std::uint8_t>& byte) {
  return const_cast<std::atomic<std::uint8_t>*>(&byte);
}

}  // namespace

// Not std::atomic::wait: with MinGW's libstdc++ 12 a contended wait hung about once in a
// thousand rounds; the system's own byte wait had no hang in four thousand.
void wait_on_byte(const std::atomic<std::uint8_t>& byte, std::uint8_t while_equal) {
  (void)::WaitOnAddress(address_of(byte), &while_equal, sizeof while_equal, INFINITE);
}

void wake_one(std::atomic<std::uint8_t>& byte) {
  ::WakeByAddressSingle(const_cast<VOID*>(address_of(byte)));
}

void wake_all(std::atomic<std::uint8_t>& byte) {
  ::WakeByAddressAll(const_cast<VOID*>(address_of(byte)));
}

}  // namespace metronyx::runtime
