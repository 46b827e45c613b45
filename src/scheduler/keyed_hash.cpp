#include "scheduler/keyed_hash.hpp"

#include <bit>
#include <cstring>
#include <optional>

#include "runtime/random.hpp"

namespace metronyx::scheduler {

namespace {

constexpr std::uint64_t rotl(std::uint64_t value, int bits) {
  return std::rotl(value, bits);
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

std::uint64_t read_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

thread_local std::optional<KeyedHash> thread_hash_keys;

}  // namespace

std::uint64_t siphash13_byte(std::uint64_t k0, std::uint64_t k1, std::uint8_t byte) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  // A one-byte message is a single final block: the length (1) in the top byte, the byte below.
  const std::uint64_t block = (std::uint64_t{1} << 56) | byte;
  s.v3 ^= block;
  s.round();
  s.v0 ^= block;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

KeyedHash next_map_hash() {
  if (!thread_hash_keys) {
    const auto bytes = runtime::os_random_16();
    thread_hash_keys = KeyedHash{read_le64(bytes.data()), read_le64(bytes.data() + 8)};
  }
  const KeyedHash current = *thread_hash_keys;
  thread_hash_keys->k0 += 1;  // unsigned: wraps
  return current;
}

}  // namespace metronyx::scheduler
