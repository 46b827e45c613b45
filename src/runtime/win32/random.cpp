#include "runtime/random.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstdio>
#include <string>

#include "runtime/failure.hpp"

namespace metronyx::runtime {

std::array<std::uint8_t, 16> os_random_16() {
  std::array<std::uint8_t, 16> bytes{};
  const NTSTATUS status = ::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    fail(std::string("failed to read random bytes from the operating system: status ") + code);
  }
  return bytes;
}

}  // namespace metronyx::runtime
