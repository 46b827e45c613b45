// Rendering operating-system error codes for failure messages.
#pragma once

#include <string>

namespace metronyx::runtime {

// "Resource temporarily unavailable (os error 11)": the system's text, then the raw code.
[[nodiscard]] std::string describe_os_error(int code);

}  // namespace metronyx::runtime
