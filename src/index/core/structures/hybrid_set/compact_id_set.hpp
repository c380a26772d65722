// CompactIdSet: the id set under one exact-map value, in one word.
//
// Most exact-map values (nested objects, values of unknown kinds) are held by a single object: a HybridSet beside
// each of them would cost 40 bytes where 4 do. This set keeps a lone id inline and boxes a HybridSet only once a
// second id arrives, so a table slot is 24 bytes (the value and this word) instead of 56. When removals leave a
// boxed set with one id, it goes back to the inline form.
//
// The word is 0 when empty, (id << 1) | 1 for a lone id, or the address of the boxed HybridSet (even: the box is
// aligned). No lock of its own: the exact-map shard holding it guards every access.
#pragma once

#include <cstdint>
#include <memory>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"

namespace vostrel {

class CompactIdSet {
 public:
  CompactIdSet() noexcept = default;
  CompactIdSet(const CompactIdSet& other);
  CompactIdSet& operator=(const CompactIdSet& other);
  CompactIdSet(CompactIdSet&& other) noexcept : word_(other.word_) { other.word_ = 0; }
  CompactIdSet& operator=(CompactIdSet&& other) noexcept;
  ~CompactIdSet() { reset(); }

  void add(uint32_t id);
  // Deletes id if held.
  void remove(uint32_t id);
  bool is_empty() const { return word_ == 0; }
  uint64_t cardinality() const;
  bool contains(uint32_t id) const;
  // Adds the ids into out.
  void or_into(Bitmap& out) const;
  // Drops every id that keep does not hold.
  void keep_only_from_bitmap(const Bitmap& keep);
  static CompactIdSet union_of(const CompactIdSet& a, const CompactIdSet& b);

  // Calls f(id) for every id, ascending.
  template <class F>
  void for_each(F&& f) const {
    if (is_lone()) {
      f(lone());
    } else if (const HybridSet* set = boxed()) {
      set->for_each(f);
    }
  }

 private:
  bool is_lone() const { return (word_ & 1) != 0; }
  uint32_t lone() const { return static_cast<uint32_t>(word_ >> 1); }
  const HybridSet* boxed() const { return is_lone() ? nullptr : reinterpret_cast<const HybridSet*>(word_); }
  HybridSet* boxed() { return is_lone() ? nullptr : reinterpret_cast<HybridSet*>(word_); }
  void set_lone(uint32_t id) { word_ = (static_cast<uintptr_t>(id) << 1) | 1; }
  // Takes ownership of a box; the word held before must already be released.
  void adopt(std::unique_ptr<HybridSet> set) { word_ = reinterpret_cast<uintptr_t>(set.release()); }
  // Frees a box, leaving the set empty.
  void reset() noexcept;
  // A boxed set left with at most one id goes back inline.
  void shrink_if_single();

  uintptr_t word_ = 0;
};

}  // namespace vostrel
