// NumberColumn: id -> number key of one value map, derived from its ordered value -> ids map and kept beside it for
// aggregates over sets of ids much smaller than the map's distinct numbers (a group of a group_by, a narrow view).
//
// Walking the ordered map costs its number of distinct values whatever the set; the column costs the set's size: a
// thousand ids out of a million distinct salaries are a thousand look-ups instead of a million entries. It is built
// on the first such aggregate (one walk, as the aggregate itself would have cost), kept while the map's stamp is
// unchanged, and built again after the numbers changed: an attribute never aggregated that way never pays for it
// (16 bytes per id of the span its numbers' ids cover).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/ordered_bitmap/ordered_key.hpp"
#include "index/core/structures/value_ids/ordered_id_map.hpp"

namespace vostrel {

class NumberColumn {
 public:
  static std::shared_ptr<const NumberColumn> build(const OrderedIdMap<OrderedKey>& numbers);

  uint64_t stamp() const { return stamp_; }
  // The ids holding a number.
  const Bitmap& held() const { return held_; }
  // The key of an id of held().
  OrderedKey key(uint32_t id) const { return keys_[id - first_]; }
  // Asks for the key of an id of held() ahead of a read (a sparse set's keys lie far apart).
  void prefetch(uint32_t id) const { __builtin_prefetch(keys_.data() + (id - first_)); }

 private:
  uint64_t stamp_ = 0;
  uint32_t first_ = 0;
  std::vector<OrderedKey> keys_;
  Bitmap held_;
};

// The kept column of a value map, if any, behind its own leaf lock (readers of the map share it; one of them keeps a
// newer column in its place).
class NumberColumnSlot {
 public:
  // The column for `numbers` (read-locked by the caller): the kept one when still valid, else a new one, kept.
  std::shared_ptr<const NumberColumn> for_map(const OrderedIdMap<OrderedKey>& numbers) const;
  // Whether the kept column is valid for `numbers`.
  bool valid_for(const OrderedIdMap<OrderedKey>& numbers) const;

 private:
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const NumberColumn> kept_;
};

}  // namespace vostrel
