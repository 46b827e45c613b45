#include "scheduler/duration.hpp"

#include <bit>
#include <cstdint>

#include "runtime/failure.hpp"

namespace metronyx::scheduler {

namespace {
constexpr double kTwoPow64 = 18446744073709551616.0;
constexpr double kTwoPowMinus31 = 1.0 / 2147483648.0;
constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
}  // namespace

runtime::Duration seconds_to_duration(double seconds) {
  if (!(seconds < kTwoPow64)) {  // also true for NaN
    runtime::fail_static(
        "cannot convert float seconds to Duration: value is either too big or NaN");
  }
  if (seconds < kTwoPowMinus31) return {};

  // Exact arithmetic on the float's own bits: multiplying by 1e9 in floating point would round
  // once before the tie-to-even rounding that is asked for.
  const auto bits = std::bit_cast<std::uint64_t>(seconds);
  const int biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int exponent = biased_exponent - 1075;  // seconds == mantissa * 2^exponent

  if (exponent >= 0) return {mantissa << exponent, 0};

  // Here seconds >= 2^-31, so the shift is at most 31 + 52 = 83 and the products fit 128 bits.
  const int shift = -exponent;
  using u128 = unsigned __int128;
  const u128 whole = shift < 64 ? (mantissa >> shift) : 0;
  const u128 fraction =
      shift < 64 ? (mantissa & ((std::uint64_t{1} << shift) - 1)) : u128{mantissa};
  const u128 scaled = fraction * kNanosPerSecond;
  u128 nanos = scaled >> shift;
  const u128 remainder = scaled & ((u128{1} << shift) - 1);
  const u128 half = u128{1} << (shift - 1);
  if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;

  std::uint64_t secs = static_cast<std::uint64_t>(whole);
  if (nanos == kNanosPerSecond) {  // rounding carried into the seconds
    nanos = 0;
    ++secs;
  }
  return {secs, static_cast<std::uint32_t>(nanos)};
}

}  // namespace metronyx::scheduler
