#include "runtime/stdio.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/os_error.hpp"

namespace metronyx::runtime {

std::expected<void, std::string> try_write_all(StdStream stream, std::string_view text) {
  const int fd = static_cast<int>(stream);
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(describe_os_error(errno));
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return {};
}

bool standard_streams_share_file() {
  struct stat output, error;
  if (::fstat(static_cast<int>(StdStream::output), &output) != 0) return false;
  if (::fstat(static_cast<int>(StdStream::error), &error) != 0) return false;
  return output.st_dev == error.st_dev && output.st_ino == error.st_ino;
}

}  // namespace metronyx::runtime
