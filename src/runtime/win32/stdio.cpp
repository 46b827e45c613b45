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

bool standard_streams_share_file() {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr || error == INVALID_HANDLE_VALUE ||
      error == nullptr) {
    return false;
  }
  if (output == error) return true;
  // Duplicated handles (a console, or `2>&1` into a file) differ in value: the file they lead to
  // is compared instead. Pipes that the system cannot describe count as separate.
  BY_HANDLE_FILE_INFORMATION output_file, error_file;
  if (!::GetFileInformationByHandle(output, &output_file) ||
      !::GetFileInformationByHandle(error, &error_file)) {
    return false;
  }
  return output_file.dwVolumeSerialNumber == error_file.dwVolumeSerialNumber &&
         output_file.nFileIndexHigh == error_file.nFileIndexHigh &&
         output_file.nFileIndexLow == error_file.nFileIndexLow;
}

}  // namespace metronyx::runtime
