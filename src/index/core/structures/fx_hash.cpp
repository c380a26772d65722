// Byte hash of text, as used by string values and attribute names.
#include "index/core/structures/fx_hash.hpp"

#include <cstring>

namespace vostrel {
namespace {

uint64_t read_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // x86-64 is little-endian, as the hash requires
  return v;
}

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint64_t mix(uint64_t x, uint64_t y) {
  const unsigned __int128 product = static_cast<unsigned __int128>(x) * y;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

}  // namespace

uint64_t byte_hash(const uint8_t* data, size_t len) {
  uint64_t s0 = 0x243f6a8885a308d3ULL;
  uint64_t s1 = 0x13198a2e03707344ULL;
  if (len <= 16) {
    if (len >= 8) {
      s0 ^= read_u64(data);
      s1 ^= read_u64(data + len - 8);
    } else if (len >= 4) {
      s0 ^= read_u32(data);
      s1 ^= read_u32(data + len - 4);
    } else if (len > 0) {
      s0 ^= data[0];
      s1 ^= (static_cast<uint64_t>(data[len - 1]) << 8) | data[len / 2];
    }
  } else {
    for (size_t off = 0; off < len - 16; off += 16) {
      const uint64_t t = mix(s0 ^ read_u64(data + off), 0xa4093822299f31d0ULL ^ read_u64(data + off + 8));
      s0 = s1;
      s1 = t;
    }
    s0 ^= read_u64(data + len - 16);
    s1 ^= read_u64(data + len - 8);
  }
  return mix(s0, s1) ^ static_cast<uint64_t>(len);
}

}  // namespace vostrel
