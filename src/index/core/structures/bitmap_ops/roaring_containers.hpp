// CRoaring's per-chunk containers and bit-word helpers, for kernels that walk bitmaps 65536 ids at a time.
//
// Reads the container layout of the CRoaring version we link (Debian's 0.2.66); revisit when upgrading it.
// Everything has internal linkage, so files built for different instruction sets never share a copy (popcount64 uses
// the instruction when the including file is built with it).
#pragma once

#include <roaring/roaring.h>

#include <cstdint>

namespace vostrel {
namespace {

// One chunk's container of a bitmap, shared wrappers unwrapped; type 0 when absent.
struct ContainerView {
  const void* ptr = nullptr;
  uint8_t type = 0;
  explicit operator bool() const { return type != 0; }
};

inline ContainerView view_of(const void* container, uint8_t type) {
  if (type == SHARED_CONTAINER_TYPE_CODE) {
    const auto* shared = static_cast<const shared_container_t*>(container);
    return {shared->container, shared->typecode};
  }
  return {container, type};
}

// The container of `key`, searching from `cursor` (keys are visited in rising order, so the cursor only advances).
inline ContainerView find_container(const roaring_bitmap_t* bitmap, uint16_t key, int32_t& cursor) {
  const roaring_array_t& ra = bitmap->high_low_container;
  int32_t lo = cursor;
  int32_t hi = ra.size;
  if (lo < hi && ra.keys[lo] < key) {
    ++lo;
    while (lo < hi) {
      const int32_t mid = lo + (hi - lo) / 2;
      if (ra.keys[mid] < key) lo = mid + 1; else hi = mid;
    }
  }
  cursor = lo;
  if (lo >= ra.size || ra.keys[lo] != key) return {};
  return view_of(ra.containers[lo], ra.typecodes[lo]);
}

inline const bitset_container_t* as_bitset(ContainerView c) { return static_cast<const bitset_container_t*>(c.ptr); }
inline const array_container_t* as_array(ContainerView c) { return static_cast<const array_container_t*>(c.ptr); }
inline const run_container_t* as_run(ContainerView c) { return static_cast<const run_container_t*>(c.ptr); }

inline uint32_t popcount64(uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
#endif
}

// Writes the positions of the set bits of words [lo, hi) in rising order and
// returns how many. Positions go out four at a time without a test per bit,
// so `values` needs room for 3 entries past the count.
inline uint32_t decode_positions(const uint64_t* words, uint32_t lo, uint32_t hi, uint16_t* values) {
  uint32_t n = 0;
  for (uint32_t w = lo; w < hi; ++w) {
    uint64_t bits = words[w];
    if (bits == 0) continue;
    const uint32_t count = popcount64(bits);
    const uint32_t base = w * 64;
    uint16_t* at = values + n;
    for (uint32_t k = 0; k < count; k += 4) {
      // Setting bit 63 keeps the count defined once `bits` is spent; those
      // writes land in the slack and are overwritten or ignored.
      for (uint32_t u = 0; u < 4; ++u) {
        at[k + u] = static_cast<uint16_t>(base + static_cast<uint32_t>(__builtin_ctzll(bits | (uint64_t{1} << 63))));
        bits &= bits - 1;
      }
    }
    n += count;
  }
  return n;
}

}  // namespace
}  // namespace vostrel
