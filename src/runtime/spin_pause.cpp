#include "runtime/wait_wake.hpp"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

namespace metronyx::runtime {

// The hint tells the core that this is a spin loop (saving power and, on x86-64, the pipeline
// flush when the loop ends); a processor without such a hint just loops. The instruction is the
// same everywhere; only the compilers spell it differently.
void spin_pause() {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace metronyx::runtime
