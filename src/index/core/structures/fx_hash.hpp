// Fx hash: the multiply-rotate hash used for value hashes, name hashes, shard
// selection and id-keyed hash maps, plus the 128-bit-multiply byte hash for text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vostrel {

inline constexpr uint64_t FX_K = 0xf1357aea2e62a9c5ULL;

// Incremental Fx state: add words, then finish.
struct FxHasher {
  uint64_t state = 0;
  constexpr void add(uint64_t word) { state = (state + word) * FX_K; }
  constexpr uint64_t finish() const { return std::rotl(state, 26); }
};

// Fx hash of one 64-bit word.
constexpr uint64_t fx_hash_u64(uint64_t word) { return std::rotl(word * FX_K, 26); }

// The byte hash of text (seeded 128-bit multiply-fold); total over any length.
uint64_t byte_hash(const uint8_t* data, size_t len);
inline uint64_t byte_hash(std::string_view text) {
  return byte_hash(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Hasher for unordered containers keyed by 32-bit ids.
struct FxU32Hash {
  size_t operator()(uint32_t key) const noexcept { return fx_hash_u64(key); }
};

}  // namespace vostrel
