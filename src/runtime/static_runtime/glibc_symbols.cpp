// The two C library symbols that GNU's static C++ runtime refers to and that glibc 2.28 lacks.
//
// Release wheels link libstdc++ into the module (METRONYX_STATIC_RUNTIME) and are built against
// glibc 2.28, the oldest C library they promise to run on. The static runtime was compiled
// against a newer glibc, so a few of its objects name symbols added since: left undefined, the
// module would fail to load on every older system. Defined here, hidden, they bind inside the
// module on every glibc, old or new; nothing outside the module sees them. Only wheel builds
// compile this file.

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" {

// glibc 2.32: tells the C++ runtime's reference counts that the process has one thread, so that
// they may skip atomic instructions. Zero says "maybe several", which is always correct: the
// module itself starts threads.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// glibc 2.36: the C++ runtime's random_device reads it for the "arc4random" token (the module
// never asks for it). The kernel's random source, as glibc's own implementation uses; like
// glibc's, it cannot fail, so an unreadable source ends the process.
__attribute__((visibility("hidden"))) std::uint32_t arc4random() {
  std::uint32_t value = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof value - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      std::abort();
    }
  }
  return value;
}

}  // extern "C"
