#include "runtime/stdio.hpp"

#include <windows.h>

#include <algorithm>
#include <string>

#include "runtime/os_error.hpp"

namespace metronyx::runtime {

std::expected<void, std::string> try_write_all(StdStream stream, std::string_view text) {
  // Read at every write: the process may replace its standard handles (SetStdHandle). A process
  // without the stream (a GUI program) fails as a closed descriptor does elsewhere.
  const HANDLE handle =
      ::GetStdHandle(stream == StdStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(describe_os_error(static_cast<int>(::GetLastError())));
  }
  if (handle == nullptr) return std::unexpected(describe_os_error(ERROR_INVALID_HANDLE));
  constexpr std::size_t kLargestWrite = std::size_t{1} << 30;  // a DWORD count, with room
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min(text.size(), kLargestWrite));
    DWORD written = 0;
    if (!::WriteFile(handle, text.data(), chunk, &written, nullptr)) {
      return std::unexpected(describe_os_error(static_cast<int>(::GetLastError())));
    }
    // A device that takes nothing would otherwise be asked again for ever.
    if (written == 0) return std::unexpected(describe_os_error(ERROR_WRITE_FAULT));
    text.remove_prefix(written);
  }
  return {};
}

}  // namespace metronyx::runtime
