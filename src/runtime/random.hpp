// Random bytes from the operating system's cryptographic source.
#pragma once

#include <array>
#include <cstdint>

namespace metronyx::runtime {

// Sixteen bytes from getrandom(2) (Windows: BCryptGenRandom with the system RNG). A source that
// cannot be read is an internal failure.
[[nodiscard]] std::array<std::uint8_t, 16> os_random_16();

}  // namespace metronyx::runtime
