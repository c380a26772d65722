// The chunk scan's native vector and its word helpers: plain bit work over a chunk's 1024 words, apart from any
// CRoaring layout. Part of the kernel builds (see ordered_bitmap_kernels.hpp): internal linkage and no
// standard-library templates, for the reason given there.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace vostrel {
namespace {

constexpr uint32_t CHUNK_WORDS = 1024;  // one container covers 65536 ids

// The build's native vector: wider generic vectors would be split through memory.
#if defined(__AVX512F__)
constexpr uint32_t VEC_BYTES = 64;
#elif defined(__AVX2__)
constexpr uint32_t VEC_BYTES = 32;
#else
constexpr uint32_t VEC_BYTES = 16;
#endif
typedef uint64_t Vec __attribute__((vector_size(VEC_BYTES)));
constexpr uint32_t VEC_WORDS = VEC_BYTES / 8;

// True when every bit of v is 0.
bool vec_is_zero(const Vec& v) {
#if defined(__AVX512F__)
  __m512i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm512_test_epi64_mask(x, x) == 0;
#elif defined(__AVX2__)
  __m256i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm256_testz_si256(x, x) != 0;
#else
  __m128i x;
  std::memcpy(&x, &v, sizeof x);
  return _mm_movemask_epi8(_mm_cmpeq_epi32(x, _mm_setzero_si128())) == 0xFFFF;
#endif
}

void set_bit(uint64_t* words, uint32_t position) { words[position >> 6] |= uint64_t{1} << (position & 63); }

// Sets the bits first..last (inclusive) of the chunk.
void set_bits(uint64_t* words, uint32_t first, uint32_t last) {
  const uint32_t first_word = first >> 6;
  const uint32_t last_word = last >> 6;
  const uint64_t head = ~uint64_t{0} << (first & 63);
  const uint64_t tail = ~uint64_t{0} >> (63 - (last & 63));
  if (first_word == last_word) {
    words[first_word] |= head & tail;
    return;
  }
  words[first_word] |= head;
  for (uint32_t w = first_word + 1; w < last_word; ++w) words[w] = ~uint64_t{0};
  words[last_word] |= tail;
}

// Keeps the bits of q in words [lo, hi) that are set in mask (clear when Invert),
// ORing the bits it drops into out when Emit. Returns the nonzero words left.
template <bool Invert, bool Emit>
uint32_t dense_step(uint64_t* q, const uint64_t* mask, uint64_t* out, uint32_t lo, uint32_t hi) {
  Vec nonzero = {};
  for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
    Vec qv, mv;
    std::memcpy(&qv, q + w, sizeof qv);
    std::memcpy(&mv, mask + w, sizeof mv);
    const Vec kept = Invert ? (qv & ~mv) : (qv & mv);
    if constexpr (Emit) {
      Vec ov;
      std::memcpy(&ov, out + w, sizeof ov);
      ov |= qv ^ kept;
      std::memcpy(out + w, &ov, sizeof ov);
    }
    std::memcpy(q + w, &kept, sizeof kept);
    nonzero -= (Vec)(kept != 0);
  }
  uint64_t count = 0;
  for (uint32_t lane = 0; lane < VEC_WORDS; ++lane) count += nonzero[lane];
  return static_cast<uint32_t>(count);
}

// Number of set bits in words [lo, hi).
uint32_t popcount_words(const uint64_t* words, uint32_t lo, uint32_t hi) {
  const Vec m1 = Vec{} + 0x5555555555555555ULL;
  const Vec m2 = Vec{} + 0x3333333333333333ULL;
  const Vec m4 = Vec{} + 0x0F0F0F0F0F0F0F0FULL;
  Vec total = {};
  for (uint32_t w = lo; w < hi; w += VEC_WORDS) {
    Vec x;
    std::memcpy(&x, words + w, sizeof x);
    x = x - ((x >> 1) & m1);
    x = (x & m2) + ((x >> 2) & m2);
    x = (x + (x >> 4)) & m4;
    x += x >> 8;
    x += x >> 16;
    x += x >> 32;
    total += x & 0x7F;
  }
  uint64_t count = 0;
  for (uint32_t lane = 0; lane < VEC_WORDS; ++lane) count += total[lane];
  return static_cast<uint32_t>(count);
}

bool block_is_zero(const uint64_t* words) {
  uint64_t any = 0;
  for (uint32_t j = 0; j < VEC_WORDS; ++j) any |= words[j];
  return any == 0;
}

uint32_t block_floor(uint32_t word) { return word & ~(VEC_WORDS - 1); }
uint32_t block_ceil(uint32_t word) { return (word + VEC_WORDS - 1) & ~(VEC_WORDS - 1); }

}  // namespace
}  // namespace vostrel
