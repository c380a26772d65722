// CharacterMap: one position of a PositionalBitmap, holding only the byte values that occur there.
//
// Layout: a sorted array of KeyIds entries, one per key that holds at least one id (keys 0..255 are byte values,
// BOUNDARY marks the ids whose string starts or ends at this position). An entry keeps up to three ids in place and
// moves them into a heap bitmap at the fourth, and a map with a single entry keeps it in place too, so a position
// that only a few long strings reach costs 24 bytes plus nothing on the heap. Dense positions hold one bitmap per
// occurring byte, the same bitmaps the matches intersect.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/id_filter/id_filter.hpp"

namespace vostrel {

// The ids of one key at one position. A plain record: the CharacterMap that holds it owns the heap bitmap.
struct KeyIds {
  static constexpr unsigned INLINE_CAPACITY = 3;
  static constexpr uint8_t LARGE = 0xff;

  uint16_t key = 0;
  uint8_t count = 0;  // ids in place (ascending), or LARGE when `more.large` holds them
  uint8_t unused = 0;
  uint32_t first = 0;
  union {
    uint32_t rest[2];
    Bitmap* large;
  } more{};

  bool is_large() const { return count == LARGE; }
  // The heap bitmap, or null while the ids are in place.
  const Bitmap* bitmap() const { return is_large() ? more.large : nullptr; }
  // In-place id i (i < count).
  uint32_t inline_id(unsigned i) const { return i == 0 ? first : more.rest[i - 1]; }
  uint64_t cardinality() const { return is_large() ? more.large->cardinality() : count; }
  bool contains(uint32_t id) const;
  // Calls f(id) for every id in ascending order.
  template <class F>
  void for_each(F&& f) const {
    if (is_large()) {
      for (uint32_t id : *more.large) f(id);
    } else {
      for (unsigned i = 0; i < count; ++i) f(inline_id(i));
    }
  }
  // ORs the ids into `out`.
  void or_into(Bitmap& out) const;
};
static_assert(sizeof(KeyIds) == 16);

class CharacterMap {
 public:
  static constexpr unsigned BOUNDARY = 256;

  CharacterMap() noexcept {}
  CharacterMap(const CharacterMap& other);
  CharacterMap(CharacterMap&& other) noexcept;
  CharacterMap& operator=(const CharacterMap& other);
  CharacterMap& operator=(CharacterMap&& other) noexcept;
  ~CharacterMap();

  // The ids of `key`, or null when none.
  const KeyIds* find(unsigned key) const;
  bool contains(unsigned key, uint32_t id) const {
    const KeyIds* ids = find(key);
    return ids != nullptr && ids->contains(id);
  }
  void add(unsigned key, uint32_t id);
  // Adds `count` ids (any order, duplicates allowed) to `key` at once.
  void add_many(unsigned key, const uint32_t* ids, size_t count);
  // Removes `id` from `key`; an emptied key is dropped. True when it was there.
  bool remove(unsigned key, uint32_t id);
  // Keeps only the ids in `keep`; emptied keys are dropped.
  void keep_only(const IdFilter& keep);
  void keep_only(const Bitmap& keep) { keep_only(IdFilter(keep)); }
  // ORs every key of `other` into this map; with `only`, just the ids `only` holds (no key is made empty).
  void union_with(const CharacterMap& other, const Bitmap* only = nullptr);

  // Number of keys holding ids.
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Calls f(const KeyIds&) per key, ascending.
  template <class F>
  void for_each(F&& f) const {
    const KeyIds* entries = data();
    for (uint32_t pos = 0; pos < size_; ++pos) f(entries[pos]);
  }
  // Checks the invariants (keys ascending and distinct, no empty key, in-place ids ascending, at most three in
  // place); false on the first violation.
  bool validate() const;

 private:
  bool in_place() const { return capacity_ == 0; }
  KeyIds* data() { return in_place() ? &one_ : many_; }
  const KeyIds* data() const { return in_place() ? &one_ : many_; }
  // Slot of `key` or of where it would go.
  uint32_t lower_bound(unsigned key) const;
  // The entry of `key`, inserted empty at its sorted place when absent.
  KeyIds& entry_for(unsigned key);
  void erase_at(uint32_t slot);
  // Runs change(KeyIds&) on the entry of `key` (created when absent); an entry left empty by a throw is dropped.
  template <class F>
  void update(unsigned key, F&& change);
  void release() noexcept;
  // Takes `other`'s entries over (this holds none), leaving `other` empty.
  void take_from(CharacterMap& other) noexcept;

  uint32_t size_ = 0;
  uint32_t capacity_ = 0;  // 0: at most one entry, kept in `one_`
  union {
    KeyIds one_{};
    KeyIds* many_;
  };
};
static_assert(sizeof(CharacterMap) == 24);

}  // namespace vostrel
