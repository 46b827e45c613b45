#include "runtime/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <string>

#include "runtime/failure.hpp"
#include "runtime/os_error.hpp"

namespace metronyx::runtime {

std::array<std::uint8_t, 16> os_random_16() {
  std::array<std::uint8_t, 16> bytes{};
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("failed to read random bytes from the operating system: " + describe_os_error(errno));
    }
    filled += static_cast<size_t>(got);
  }
  return bytes;
}

}  // namespace metronyx::runtime
