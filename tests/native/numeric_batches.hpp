// Test and benchmark helper: (id, key) pairs handed to a NumericalBitmap as one batch, as the bulk writer does.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"

namespace vostrel {

// Stores `pairs` (ids not stored yet, each once) with one add_batch: their keys' AND and OR, and the ids split per
// differing bit. With `fail_at_split` > 0, that split throws std::bad_alloc instead, as a full memory would.
inline void add_pairs(NumericalBitmap& nb, const std::vector<std::pair<uint32_t, OrderedKey>>& pairs,
                      unsigned fail_at_split = 0) {
  Bitmap ids;
  OrderedKey every{~uint64_t{0}, 0xffff};
  OrderedKey some{0, 0};
  for (const auto& [id, key] : pairs) {
    ids.add(id);
    every = {every.m & key.m, static_cast<uint16_t>(every.e & key.e)};
    some = {some.m | key.m, static_cast<uint16_t>(some.e | key.e)};
  }
  std::vector<uint32_t> zeros;
  std::vector<uint32_t> ones;
  unsigned splits = 0;
  nb.add_batch(ids, every, some, [&](unsigned bit) {
    if (++splits == fail_at_split) throw std::bad_alloc();
    zeros.clear();
    ones.clear();
    for (const auto& [id, key] : pairs) (key.bit(bit) ? ones : zeros).push_back(id);
    return std::pair(std::span<const uint32_t>(zeros), std::span<const uint32_t>(ones));
  });
}

}  // namespace vostrel
