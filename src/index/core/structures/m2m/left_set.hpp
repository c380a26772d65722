// LeftSet: the lefts of one right held by two or more, a sorted flat array until a bitmap is smaller.
//
// A shared nested object (a plane held by its flights) keeps its holders here. Holders are created apart from each
// other, so a few dozen of them fall into several 65536-id chunks: as a Roaring bitmap that is a container (a struct
// and a block) per chunk behind the bitmap's own arrays, a dozen dependent cache misses to read fifty ids. A sorted
// array of them is one block read front to back, and smaller until the ids crowd into few chunks: a bitmap costs about
// 2 bytes per id plus some 48 bytes per container and 64 of its own, the array 4 bytes per id. So the array becomes a
// bitmap once it would be the larger (or past ARRAY_LIMIT ids, where inserts would move too much), and a bitmap goes
// back to an array once removals leave it under half that size, so a set near the line does not switch to and fro.
//
// No lock of its own: the owning M2MU32's guard covers every access.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/value_ids/id_array.hpp"

namespace vostrel {

class LeftSet {
 public:
  // Largest array kept whatever the chunks: an insert moves up to this many ids.
  static constexpr uint64_t ARRAY_LIMIT = 4096;

  LeftSet() noexcept = default;
  LeftSet(LeftSet&&) noexcept = default;
  LeftSet& operator=(LeftSet&&) noexcept = default;

  // The set {a, b}, a != b.
  static LeftSet of_two(uint32_t a, uint32_t b);

  // Inserts id; true when it was not held. Throws std::bad_alloc and changes nothing when out of memory.
  bool add(uint32_t id);
  // Deletes id; true when it was held.
  bool remove(uint32_t id);
  bool contains(uint32_t id) const;
  uint64_t cardinality() const { return bitmap_ ? bitmap_->cardinality() : array_.size(); }
  // The smallest id held (the set must not be empty).
  uint32_t first() const { return bitmap_ ? bitmap_->minimum() : array_.front(); }

  // The sorted ids of an array set (empty for a bitmap set), and the bitmap of a bitmap set (nullptr otherwise).
  std::span<const uint32_t> array() const { return {array_.begin(), array_.end()}; }
  const Bitmap* bitmap() const { return bitmap_.get(); }

  // Reads one id per cache line of the first few lines and returns them folded together: a caller that folds the
  // touches of many sets into one value it keeps starts their cache misses together (plain loads, which the
  // processor overlaps, unlike prefetches it may drop on a TLB miss), so that a later pass finds the ids in cache.
  uint32_t touch() const {
    if (bitmap_) return 0;
    const uint32_t* ids = array_.data();
    const size_t count = std::min<size_t>(array_.size(), 64);
    uint32_t folded = 0;
    for (size_t at = 0; at < count; at += 16) folded ^= ids[at];
    return folded;
  }

  // Calls f(id) for every id, ascending.
  template <class F>
  void for_each(F&& f) const {
    if (bitmap_) {
      for (uint32_t id : *bitmap_) f(id);
    } else {
      for (uint32_t id : array_) f(id);
    }
  }

  // Adds the ids into out.
  void or_into(Bitmap& out) const;

 private:
  // True when `count` ids spread over `chunks` 65536-id chunks take less room as a bitmap than as an array.
  static bool bitmap_is_smaller(uint64_t count, uint64_t chunks) {
    return count > ARRAY_LIMIT || count > 24 * chunks + 32;
  }
  void to_bitmap(uint32_t id);
  void back_to_array();

  IdArray array_;
  std::unique_ptr<Bitmap> bitmap_;
};

}  // namespace vostrel
