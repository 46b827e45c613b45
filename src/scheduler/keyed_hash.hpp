// The hash that the run-flag map uses, keyed per map so that the placement of ids in a map cannot
// be predicted from outside the process.
#pragma once

#include <cstdint>
#include <utility>

namespace metronyx::scheduler {

// SipHash-1-3 of one byte under the key (k0, k1).
[[nodiscard]] std::uint64_t siphash13_byte(std::uint64_t k0, std::uint64_t k1, std::uint8_t byte);

struct KeyedHash {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  [[nodiscard]] std::size_t operator()(std::int8_t task_id) const {
    return static_cast<std::size_t>(siphash13_byte(k0, k1, static_cast<std::uint8_t>(task_id)));
  }
};

// The keys for the next map created on this thread: the first call on a thread reads 16 bytes from
// the operating system's random source (two little-endian words); each call then advances k0 by
// one, wrapping, so maps made one after another get (k0, k1), (k0 + 1, k1), ...
[[nodiscard]] KeyedHash next_map_hash();

}  // namespace metronyx::scheduler
