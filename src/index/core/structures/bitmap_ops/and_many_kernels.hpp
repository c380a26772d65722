// The word kernels of and_many, written once and compiled by every instruction-set build.
//
// Each build file includes this header and hands out its copies of the kernels;
// its compile flags choose the vector width and the popcount. Everything here has
// internal linkage and calls no standard-library templates, so no AVX copy can be
// shared with (and picked by the linker for) the baseline build.
#pragma once

#include <cstdint>
#include <cstring>

#include "index/core/structures/bitmap_ops/roaring_containers.hpp"

namespace vostrel {
namespace and_many_detail {

constexpr uint32_t CHUNK_WORDS = 1024;  // one container covers 65536 ids

struct WordKernels {
  // out = AND of the n >= 1 chunk bitsets in sources; returns the bits set in out.
  uint32_t (*and_count)(const uint64_t* const* sources, uint32_t n, uint64_t* out);
  // Bits set in one chunk bitset.
  uint32_t (*count)(const uint64_t* words);
  // Writes the positions of the bits set in the chunk bitset in rising order
  // and returns how many; `values` needs room for 3 entries past the count.
  uint32_t (*decode)(const uint64_t* words, uint16_t* values);
};

WordKernels word_kernels_sse2();
WordKernels word_kernels_avx2();
WordKernels word_kernels_avx512();

}  // namespace and_many_detail

namespace {

#if defined(__AVX512F__)
constexpr uint32_t AND_VEC_BYTES = 64;
#elif defined(__AVX2__)
constexpr uint32_t AND_VEC_BYTES = 32;
#else
constexpr uint32_t AND_VEC_BYTES = 16;
#endif
typedef uint64_t AndVec __attribute__((vector_size(AND_VEC_BYTES)));
constexpr uint32_t AND_VEC_WORDS = AND_VEC_BYTES / 8;

// Adds the bits set in v to the running count: per lane with popcnt, else as
// per-lane partial sums in `lanes` (summed by finish_count).
inline __attribute__((always_inline)) void add_bits(const AndVec& v, AndVec& lanes, uint64_t& total) {
#if defined(__POPCNT__)
  (void)lanes;
  for (uint32_t lane = 0; lane < AND_VEC_WORDS; ++lane) total += static_cast<uint64_t>(__builtin_popcountll(v[lane]));
#else
  (void)total;
  const AndVec m1 = AndVec{} + 0x5555555555555555ULL;
  const AndVec m2 = AndVec{} + 0x3333333333333333ULL;
  const AndVec m4 = AndVec{} + 0x0F0F0F0F0F0F0F0FULL;
  AndVec x = v - ((v >> 1) & m1);
  x = (x & m2) + ((x >> 2) & m2);
  x = (x + (x >> 4)) & m4;
  x += x >> 8;
  x += x >> 16;
  x += x >> 32;
  lanes += x & 0x7F;
#endif
}

inline uint32_t finish_count(const AndVec& lanes, uint64_t total) {
  for (uint32_t lane = 0; lane < AND_VEC_WORDS; ++lane) total += lanes[lane];
  return static_cast<uint32_t>(total);
}

uint32_t and_count_words(const uint64_t* const* sources, uint32_t n, uint64_t* out) {
  AndVec lanes = {};
  uint64_t total = 0;
  const uint64_t* first = sources[0];
  for (uint32_t w = 0; w < and_many_detail::CHUNK_WORDS; w += 2 * AND_VEC_WORDS) {
    // Two vectors per step: independent AND chains keep the loads overlapped.
    AndVec a, b;
    std::memcpy(&a, first + w, sizeof a);
    std::memcpy(&b, first + w + AND_VEC_WORDS, sizeof b);
    for (uint32_t k = 1; k < n; ++k) {
      AndVec x, y;
      std::memcpy(&x, sources[k] + w, sizeof x);
      std::memcpy(&y, sources[k] + w + AND_VEC_WORDS, sizeof y);
      a &= x;
      b &= y;
    }
    std::memcpy(out + w, &a, sizeof a);
    std::memcpy(out + w + AND_VEC_WORDS, &b, sizeof b);
    add_bits(a, lanes, total);
    add_bits(b, lanes, total);
  }
  return finish_count(lanes, total);
}

uint32_t count_words(const uint64_t* words) {
  AndVec lanes = {};
  uint64_t total = 0;
  for (uint32_t w = 0; w < and_many_detail::CHUNK_WORDS; w += AND_VEC_WORDS) {
    AndVec v;
    std::memcpy(&v, words + w, sizeof v);
    add_bits(v, lanes, total);
  }
  return finish_count(lanes, total);
}

uint32_t decode_words(const uint64_t* words, uint16_t* values) {
  return decode_positions(words, 0, and_many_detail::CHUNK_WORDS, values);
}

}  // namespace
}  // namespace vostrel
