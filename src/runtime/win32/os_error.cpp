#include "runtime/os_error.hpp"

#include <windows.h>

#include <string>

namespace metronyx::runtime {

std::string describe_os_error(int code) {
  char buffer[256];
  // One line, without the trailing period and line break that the system's texts end with, so
  // that the rendering reads as it does on other platforms.
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == ' ' || buffer[length - 1] == '.' ||
                        buffer[length - 1] == '\r' || buffer[length - 1] == '\n')) {
    --length;
  }
  std::string result = length > 0 ? std::string(buffer, length) : std::string("unknown error");
  result += " (os error ";
  result += std::to_string(code);
  result += ')';
  return result;
}

}  // namespace metronyx::runtime
