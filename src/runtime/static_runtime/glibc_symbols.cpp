// The C library symbols that GNU's static C++ runtime refers to and that glibc 2.28 lacks.
//
// Release wheels link libstdc++ into the module (METRONYX_STATIC_RUNTIME) and are built against
// glibc 2.28, the oldest C library they promise to run on. The static runtime was compiled
// against a newer glibc, so a few of its objects name symbols added since: left undefined, the
// module would fail to load on every older system. Defined here, hidden, they bind inside the
// module on every glibc, old or new; nothing outside the module sees them. Every build that links
// the C++ runtime in compiles this file (also a source build, where glibc has them all and these
// stand in for its own inside the module).

#include <sys/random.h>

#include <cctype>
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

// glibc 2.38: strtoul as C23 words it, which a C++ runtime built against 2.38 or newer calls in
// place of strtoul. C23 adds one thing: with base 0 or 2, a "0b" or "0B" prefix reads binary.
__attribute__((visibility("hidden"))) unsigned long __isoc23_strtoul(const char* text, char** end,
                                                                     int base) {
  const char* digits = text;
  while (std::isspace(static_cast<unsigned char>(*digits))) ++digits;
  const bool negative = *digits == '-';
  if (*digits == '+' || *digits == '-') ++digits;
  if ((base == 0 || base == 2) && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B') &&
      (digits[2] == '0' || digits[2] == '1')) {
    const int saved = errno;
    errno = 0;
    const unsigned long value = std::strtoul(digits + 2, end, 2);
    if (errno == ERANGE) return value;  // ULONG_MAX, whatever the sign, as strtoul returns it
    errno = saved;
    return negative ? -value : value;
  }
  return std::strtoul(text, end, base);
}

}  // extern "C"
