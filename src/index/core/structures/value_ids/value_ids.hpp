// ValueIds: the ids of one value held by several objects, sized to what it holds.
//
// A sorted vector while small (4 bytes an id, one allocation), a Roaring bitmap once large. Roaring pays a fixed
// cost per 64K-id chunk (a container record and its own allocation, about 50 bytes), so a value held by a handful of
// objects scattered over a million ids costs ten times more as a bitmap than as a vector; past LARGE_AT ids the
// bitmap's 2 bytes an id (less for runs and dense chunks) win. Once large, a set stays a bitmap while ids leave one at a
// time (no back-and-forth around the limit); a set narrowed as a whole (a prune) is stored as a set of its new size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/id_filter/id_filter.hpp"
#include "index/core/structures/value_ids/id_array.hpp"

namespace vostrel {

class ValueIds {
 public:
  static constexpr size_t LARGE_AT = 1024;

  void add(uint32_t id) {
    if (large_) {
      add_rising(*large_, id);
      return;
    }
    // Ids mostly arrive in ascending order (fresh objects, batches): one look at the end of a cold vector instead of
    // a binary search through it.
    if ((sorted_.empty() || sorted_.back() < id) && sorted_.size() < LARGE_AT) {
      sorted_.push_back(id);
      return;
    }
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), id);
    if (at != sorted_.end() && *at == id) return;
    if (sorted_.size() < LARGE_AT) {
      sorted_.insert(at, id);
      return;
    }
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->addMany(sorted_.size(), sorted_.data());
    bitmap->add(id);
    bitmap->runOptimize();
    large_ = std::move(bitmap);
    sorted_ = IdArray();
  }

  void remove(uint32_t id) {
    if (large_) {
      large_->remove(id);
      return;
    }
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), id);
    if (at != sorted_.end() && *at == id) sorted_.erase(at);
  }

  uint64_t cardinality() const { return large_ ? large_->cardinality() : sorted_.size(); }

  // Keeps only the ids `kept` holds; returns how many are left. Two or more left are stored as a set of that size is
  // built (a vector up to LARGE_AT ids), with no room to spare beyond twice its size.
  uint64_t keep_only(const IdFilter& kept) {
    if (large_) {
      roaring_bitmap_and_inplace(&large_->roaring, &kept.bitmap().roaring);
      const uint64_t left = large_->cardinality();
      if (left > LARGE_AT) {
        large_->shrinkToFit();
        return left;
      }
      try {
        sorted_.resize(left);
      } catch (const std::bad_alloc&) {
        return left;  // no room for the vector: the narrowed bitmap stays, holding the same ids
      }
      large_->toUint32Array(sorted_.data());
      large_.reset();
      return left;
    }
    sorted_.erase(std::remove_if(sorted_.begin(), sorted_.end(), [&kept](uint32_t id) { return !kept.contains(id); }),
                  sorted_.end());
    // A set left with one id or none is given up by its owner, so only a set that stays is resized.
    if (sorted_.size() > 1 && sorted_.capacity() > 2 * sorted_.size()) sorted_.shrink_to_fit();
    return sorted_.size();
  }

  // Adds the ids of `other` that `keep` holds (all of them without `keep`), whole sets at once: a bitmap union, or
  // one merge of two sorted vectors from the back, in the room grown at the end of this one.
  void add_kept(const ValueIds& other, const IdFilter* keep) {
    if (!large_ && !other.large_ && sorted_.size() + other.sorted_.size() <= LARGE_AT) {
      size_t incoming = other.sorted_.size();
      if (keep != nullptr) {
        incoming = 0;
        for (uint32_t id : other.sorted_) incoming += keep->contains(id) ? 1 : 0;
      }
      if (incoming == 0) return;
      size_t mine = sorted_.size();
      sorted_.resize(mine + incoming);
      size_t write = sorted_.size();
      for (size_t theirs = other.sorted_.size(); theirs-- > 0;) {
        const uint32_t id = other.sorted_[theirs];
        if (keep != nullptr && !keep->contains(id)) continue;
        while (mine > 0 && sorted_[mine - 1] > id) sorted_[--write] = sorted_[--mine];
        sorted_[--write] = id;
      }
      // The rest of this set is in place already; an id both held appears twice, side by side.
      sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
      return;
    }
    // Other's kept ids as a bitmap, then joined with this set; the result is stored as a set of its size is built.
    Bitmap part;
    if (other.large_) {
      part = keep == nullptr ? *other.large_ : *other.large_ & keep->bitmap();
    } else {
      for (uint32_t id : other.sorted_) {
        if (keep == nullptr || keep->contains(id)) part.add(id);
      }
    }
    if (large_) {
      *large_ |= part;
      return;
    }
    part.addMany(sorted_.size(), sorted_.data());
    const uint64_t count = part.cardinality();
    if (count <= LARGE_AT) {
      sorted_.resize(count);
      part.toUint32Array(sorted_.data());
      return;
    }
    part.runOptimize();
    large_ = std::make_unique<Bitmap>(std::move(part));
    sorted_ = IdArray();
  }

  // Asks the processor to fetch the ids ahead of a walk over many sets.
  void prefetch() const noexcept {
    if (large_) {
      __builtin_prefetch(large_.get());
    } else if (!sorted_.empty()) {
      __builtin_prefetch(sorted_.data());
    }
  }

  // The only id of a set of one.
  uint32_t first() const { return large_ ? large_->minimum() : sorted_.front(); }

  // The bitmap when large (for set algebra), else null.
  const Bitmap* bitmap() const { return large_.get(); }

  // Calls f(id) for every id, ascending.
  template <class F>
  void for_each(F&& f) const {
    if (large_) {
      for (uint32_t id : *large_) f(id);
    } else {
      for (uint32_t id : sorted_) f(id);
    }
  }

  // Many sorted ids go into their containers run by run (add_ids), not one container insert per id: a query's answer
  // is a new bitmap, whose containers are made at their final size at once. A few go in one by one: with cold caches
  // the run-by-run code's own instructions cost more than it saves on a few ids.
  static constexpr size_t ADD_IDS_FROM = 256;
  void or_into(Bitmap& out) const {
    if (large_) {
      out |= *large_;
    } else if (sorted_.size() >= ADD_IDS_FROM) {
      add_ids(&out.roaring, sorted_.data(), sorted_.size());
    } else if (!sorted_.empty()) {
      out.addMany(sorted_.size(), sorted_.data());
    }
  }

  // Adds the ids `within` holds into out (all of them without `within`).
  void or_into(Bitmap& out, const Bitmap* within) const {
    if (within == nullptr) {
      or_into(out);
    } else if (large_) {
      if (out.isEmpty()) {
        out = *large_ & *within;  // the intersection is the answer: no second copy of it into `out`
      } else {
        out |= *large_ & *within;
      }
    } else if (out.isEmpty()) {
      // One bulk add and one intersection: a membership test per id costs several times more.
      or_into(out);
      out &= *within;
    } else {
      Bitmap part;
      or_into(part);
      part &= *within;
      out |= part;
    }
  }

 private:
  IdArray sorted_;  // while small (see id_array.hpp for why not a std::vector)
  std::unique_ptr<Bitmap> large_;
};

// The side sets of a value -> ids map, by number (1-based, so that 0 can mean "the entry's lone id is its whole
// set"): a value takes one when a second id joins it and gives it back when it shrinks to one.
class ValueIdsPool {
 public:
  uint32_t take() {
    if (!free_.empty()) {
      const uint32_t number = free_.back();
      free_.pop_back();
      return number;
    }
    // Grown by a quarter, not doubled: a map of tens of thousands of values held by a few objects each would
    // otherwise keep room for thousands of sets it never fills.
    if (sets_.size() == sets_.capacity()) sets_.reserve(sets_.size() + sets_.size() / 4 + 16);
    sets_.emplace_back();
    return static_cast<uint32_t>(sets_.size());
  }

  // Never fails: the caller's entry still names the set, and is made lone right after. A number there is no room to
  // keep for reuse is left unused (an empty set) until the pool is next rebuilt.
  void give_back(uint32_t number) noexcept {
    sets_[number - 1] = ValueIds();
    if (number == sets_.size()) {
      sets_.pop_back();
      return;
    }
    try {
      free_.push_back(number);
    } catch (const std::bad_alloc&) {
    }
  }

  // Takes `ids` in as a set of its own (a pool rebuilt compactly after a prune) and returns its number.
  uint32_t adopt(ValueIds&& ids) {
    sets_.push_back(std::move(ids));
    return static_cast<uint32_t>(sets_.size());
  }
  // Places a narrowed set of at least one id into a pool being rebuilt: a single id goes back to its entry as the
  // lone id (the set is freed at once, while still in cache) and 0 is returned; more are adopted, and their number
  // is returned.
  uint32_t adopt_narrowed(ValueIds&& ids, uint32_t& lone_id) {
    if (ids.cardinality() == 1) {
      lone_id = ids.first();
      ids = ValueIds();
      return 0;
    }
    return adopt(std::move(ids));
  }
  // Room for `count` sets adopted without allocating.
  void reserve(size_t count) { sets_.reserve(count); }
  // How many sets the pool has places for, free ones included.
  size_t capacity_in_use() const { return sets_.size(); }
  // Number of sets in use (for memory accounting and tests).
  size_t size() const { return sets_.size() - free_.size(); }

  ValueIds& operator[](uint32_t number) { return sets_[number - 1]; }
  const ValueIds& operator[](uint32_t number) const { return sets_[number - 1]; }

 private:
  std::vector<ValueIds> sets_;
  std::vector<uint32_t> free_;
};

}  // namespace vostrel
