// Ids gathered from a value map in key order, added to a bitmap: sorted first, then added in one bulk add.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/value_ids/value_ids.hpp"

namespace vostrel {

// LSD radix sort, 11 bits a pass, as many passes as the largest id needs (two below 4M ids): a comparison sort of
// ten thousand scattered ids costs more than the rest of a narrow range query together.
inline void radix_sort_ids(std::vector<uint32_t>& ids) {
  if (ids.size() < 64) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  constexpr unsigned BITS = 11;
  constexpr uint32_t BUCKETS = 1u << BITS;
  const uint32_t largest = *std::max_element(ids.begin(), ids.end());
  std::vector<uint32_t> scratch(ids.size());
  std::vector<uint32_t> counts(BUCKETS);
  for (unsigned shift = 0; shift < 32 && (largest >> shift) != 0; shift += BITS) {
    std::fill(counts.begin(), counts.end(), 0);
    for (uint32_t id : ids) ++counts[(id >> shift) & (BUCKETS - 1)];
    uint32_t start = 0;
    for (uint32_t& count : counts) start += std::exchange(count, start);
    for (uint32_t id : ids) scratch[counts[(id >> shift) & (BUCKETS - 1)]++] = id;
    ids.swap(scratch);
  }
}

// Ids gathered in key order (a number range's lone ids and few-id sets, or ids from any value map) come in id
// disorder: sorted, they go into the bitmap in one bulk add, each chunk's run copied into a container made at its
// final size (add_ids, from as many ids as ValueIds uses it for). With `within`, only the ids it holds.
inline void add_gathered_ids(std::vector<uint32_t>& ids, Bitmap& out, const Bitmap* within) {
  if (ids.empty()) return;
  radix_sort_ids(ids);
  if (within != nullptr) {
    ids.erase(std::remove_if(ids.begin(), ids.end(), [&](uint32_t id) { return !within->contains(id); }),
              ids.end());
  }
  if (ids.size() >= ValueIds::ADD_IDS_FROM) {
    add_ids(&out.roaring, ids.data(), ids.size());
  } else {
    out.addMany(ids.size(), ids.data());
  }
}

}  // namespace vostrel
