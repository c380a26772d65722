// HybridSet: the id set under one exact value, an inline array until it outgrows it.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/centered_array/centered_array.hpp"

namespace vostrel {

// Four states, told apart by the variant's index:
//   Empty  - nothing (never kept in a map; an entry starts with its first add);
//   Small  - a CenteredArray inline, so the first three ids cost no allocation;
//   Medium - a boxed CenteredArray (only unions of a Medium with an array make one);
//   Large  - a Roaring bitmap.
// Only add changes the state by itself, and a Large set never goes back to an
// array: removals leave an emptied set in its state for the owner to delete.
// No lock of its own: the exact-map shard holding it guards every access.
class HybridSet {
 public:
  enum class State : uint8_t { Empty, Small, Medium, Large };

  // An Empty set.
  HybridSet() = default;
  // Deep copy in the same representation (a Medium gets a box of its own).
  HybridSet(const HybridSet& other);
  HybridSet& operator=(const HybridSet& other);
  // Steals the representation; the source is left Empty.
  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  ~HybridSet() = default;

  // A Medium set holding the ids of array (for owners that build boxed arrays).
  static HybridSet boxed(const CenteredArray& array);

  State state() const { return static_cast<State>(rep_.index()); }

  // Inserts id. Empty becomes Small; a Small set of three or more ids, or a
  // Medium set of four, becomes Large (even when id is already held).
  void add(uint32_t id);

  // Deletes id if held; never changes the state. Throws
  // InternalError("called remove on Empty") on an Empty set.
  void remove(uint32_t id);

  // True when no id is held. Throws InternalError("called is_empty on Empty").
  bool is_empty() const;

  // Number of ids held; 0 for Empty.
  uint64_t cardinality() const;

  bool contains(uint32_t id) const;

  // A new bitmap holding exactly this set's ids.
  Bitmap to_bitmap() const;

  // Adds this set's ids into out (one bulk add for the array forms).
  void or_into(Bitmap& out) const;

  // The union of a and b: a copy of the other side when one is Empty; Small
  // when both are Small and their lengths add up to at most 4; Medium when a
  // Medium is involved and the lengths add up to at most 4; otherwise Large.
  static HybridSet union_of(const HybridSet& a, const HybridSet& b);

  // Drops every id that keep does not hold. The state never changes: the
  // array forms are rebuilt from their kept ids, a bitmap is intersected.
  void keep_only_from_bitmap(const Bitmap& keep);

  // The array of a Small or Medium set, nullptr otherwise.
  const CenteredArray* array() const;
  // The bitmap of a Large set, nullptr otherwise.
  const Bitmap* bitmap() const {
    const BoxedBitmap* large = std::get_if<BoxedBitmap>(&rep_);
    return large != nullptr ? large->get() : nullptr;
  }

  // Calls f(id) for every id, ascending.
  template <class F>
  void for_each(F&& f) const {
    if (const CenteredArray* a = array()) {
      for (uint32_t id : a->slots()) f(id);
    } else if (const Bitmap* b = bitmap()) {
      for (uint32_t id : *b) f(id);
    }
  }

 private:
  using Boxed = std::unique_ptr<CenteredArray>;
  // A bitmap is boxed too: inline it would make every set 48 bytes for the few sets that grow past four ids.
  using BoxedBitmap = std::unique_ptr<Bitmap>;
  using Rep = std::variant<std::monostate, CenteredArray, Boxed, BoxedBitmap>;

  CenteredArray* mutable_array();
  void convert_to_large(uint32_t id);

  Rep rep_;
};

}  // namespace vostrel
