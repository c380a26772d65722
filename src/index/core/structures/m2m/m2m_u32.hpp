// M2MU32: the exact many-to-many relation between parent (left) and child (right) ids.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/core/structures/m2m/left_set.hpp"
#include "index/core/structures/shards/flat_table.hpp"
#include "index/core/structures/shards/hashmap.hpp"

namespace vostrel {

// Records exact (left, right) pairs and maps sets of rights back to their
// lefts. In a nested index the rights are the nested objects and the lefts the
// outer objects holding them; nearly every right has exactly one left, so the
// common case is a dense array indexed by right id holding that single left.
//
// Every recorded right lives in exactly one of three places:
//   - a page: a right with a single left, in a 1024-slot page of the dense
//     array (NO_LEFT marks a free slot);
//   - loose_: a right with a single left that has no page yet, lies beyond the
//     dense range, or whose left is the NO_LEFT value itself;
//   - multi_: a right with two or more lefts (also listed in multi_rights_), in a flat table: a lookup is a probe
//     along one array, not a bucket and a node apart, and a set's ids are one sorted block (see LeftSet).
// Pages are made only once PROMOTE_AT loose rights fall into their range, so
// ids scattered over the whole u32 range cost hash entries, not pages.
//
// No lock of its own: the owning index guards it with a reader-writer lock.
class M2MU32 {
 public:
  M2MU32() = default;
  M2MU32(M2MU32&&) noexcept = default;
  M2MU32& operator=(M2MU32&&) noexcept = default;

  // Records the pair (left, right); recording a pair twice changes nothing.
  void register_path(uint32_t left, uint32_t right);

  // Forgets the pair (left, right); true when it was recorded.
  bool remove_pair(uint32_t left, uint32_t right);

  // Exactly the lefts paired with right.
  Bitmap lefts_of(uint32_t right) const;

  // Number of lefts paired with right.
  size_t left_count(uint32_t right) const;

  // True when some pair (l, right) is recorded now.
  bool has_right(uint32_t right) const;

  // The union of lefts_of(r) over every r in rights.
  Bitmap get_parent_from_ids(const Bitmap& rights) const;

  // Every right paired with at least one id of lefts.
  Bitmap get_children_from_ids(const Bitmap& lefts) const;

  // Every right with at least one recorded pair.
  Bitmap rights() const;

  // Calls f(left, right) for every recorded pair (pages in right order, then the hash-held rights in no order).
  template <class F>
  void for_each_pair(F&& f) const {
    for (size_t index = 0; index < pages_.size(); ++index) {
      const Page* page = pages_[index].get();
      if (page == nullptr) continue;
      const uint32_t first = static_cast<uint32_t>(index) << PAGE_BITS;
      for (uint32_t k = 0; k < PAGE_SIZE; ++k) {
        if (page->left[k] != NO_LEFT) f(page->left[k], first + k);
      }
    }
    for (const auto& [right, left] : loose_) f(left, right);
    for (const auto& [right, lefts] : multi_) lefts.for_each([&](uint32_t left) { f(left, right); });
  }
  // Forgets every pair whose left is not in `keep`. One pass over the pairs; returns how many went.
  size_t keep_lefts(const Bitmap& keep);
  // Number of recorded pairs.
  size_t pair_count() const { return pair_count_; }

  bool is_empty() const { return pair_count_ == 0; }

 private:
  static constexpr unsigned PAGE_BITS = 10;
  static constexpr uint32_t PAGE_SIZE = 1u << PAGE_BITS;
  static constexpr uint32_t PAGE_MASK = PAGE_SIZE - 1;
  // Rights at or above this stay in the hash maps, which bounds the page
  // table at 64K entries whatever ids appear.
  static constexpr uint32_t DENSE_LIMIT = 1u << 26;
  static constexpr uint32_t NO_LEFT = 0xFFFFFFFFu;
  // Loose rights in one page range before the page is made: a page costs
  // 4 KiB, a loose entry some 40 bytes.
  static constexpr uint8_t PROMOTE_AT = 32;
  // Largest scratch bit array of lefts a lookup may allocate (16 MiB).
  static constexpr size_t MAX_MARK_WORDS = size_t{1} << 21;

  struct Page {
    std::array<uint32_t, PAGE_SIZE> left;
  };

  // The page slot of right, or nullptr when its page does not exist.
  uint32_t* slot_of(uint32_t right);
  const uint32_t* slot_of(uint32_t right) const;
  // Stores a right that has just come to hold exactly one left.
  void place_single(uint32_t right, uint32_t left);
  // Bookkeeping after a loose entry for right was erased.
  void note_loose_removed(uint32_t right);
  // Makes the page of page range index and moves its loose rights into it.
  void promote(size_t index);
  // Records right as having the two distinct lefts a and b.
  void make_multi(uint32_t right, uint32_t a, uint32_t b);
  // 64-bit words of a bit array covering every paged left.
  size_t mark_words() const { return (static_cast<size_t>(max_paged_left_) >> 6) + 1; }
  // Adds the page-held lefts of rights into out.
  void paged_lefts_into(const Bitmap& rights, Bitmap& out) const;
  // Adds the lefts of the rights of `rights` that have several into out.
  void multi_lefts_into(const Bitmap& rights, Bitmap& out) const;

  struct RightHash {
    uint64_t operator()(uint32_t right) const noexcept { return splitmix64(right); }
  };

  std::vector<std::unique_ptr<Page>> pages_;
  std::vector<uint8_t> loose_in_range_;  // loose rights per page range without a page
  std::unordered_map<uint32_t, uint32_t, FxU32Hash> loose_;
  FlatTable<uint32_t, LeftSet, RightHash, std::equal_to<uint32_t>> multi_;
  Bitmap multi_rights_;
  // Upper bound of every left ever put in multi_ (never lowered): sizes the scratch bit array of its lookups.
  uint32_t max_multi_left_ = 0;
  // Upper bound of every left ever stored in a page (never lowered): sizes
  // the scratch bit array of large lookups.
  uint32_t max_paged_left_ = 0;
  size_t pair_count_ = 0;
};

}  // namespace vostrel
