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

// The hint tells the core that this is a spin loop (saving power and, on x86-64, the pipeline
// flush when the loop ends); a processor without such a hint just loops.
void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace metronyx::runtime
