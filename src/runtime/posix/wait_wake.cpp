#include "runtime/wait_wake.hpp"

namespace metronyx::runtime {

void wait_on_byte(const std::atomic<std::uint8_t>& byte, std::uint8_t while_equal) {
  byte.wait(while_equal, std::memory_order_acquire);
}

void wake_one(std::atomic<std::uint8_t>& byte) {
  byte.notify_one();
}

void wake_all(std::atomic<std::uint8_t>& byte) {
  byte.notify_all();
}

}  // namespace metronyx::runtime
