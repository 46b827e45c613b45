#include "runtime/os_error.hpp"

#include <cstring>
#include <string>

namespace metronyx::runtime {

std::string describe_os_error(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  std::string result = text != nullptr ? text : "unknown error";
  result += " (os error ";
  result += std::to_string(code);
  result += ')';
  return result;
}

}  // namespace metronyx::runtime
