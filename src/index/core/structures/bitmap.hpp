// Bitmap: the owning Roaring bitmap of 32-bit ids used for every id set and result.
#pragma once

#include <roaring/roaring.hh>

#include <cstdint>

namespace vostrel {

// CRoaring's C++ class owns its containers (RAII, copy = deep copy, move = steal).
// The raw `roaring_bitmap_t` is reachable as `bitmap.roaring` for the C calls
// (`roaring_bitmap_and_inplace(&a.roaring, &b.roaring)` and friends).
using Bitmap = ::Roaring;

// Adds for the structures an index keeps. An id beyond the bitmap's last chunk (2^16 ids) closes that chunk first:
// an index filled one object at a time gets its ids in rising order, so the chunk's container is final and gives
// back the room CRoaring grew it by (up to half again of an array). Shrinking visits every container, but only once
// per chunk an index grows by.
inline void close_chunks_before(Bitmap& bitmap, uint32_t id) {
  const roaring_array_t& chunks = bitmap.roaring.high_low_container;
  if (chunks.size > 0 && chunks.keys[chunks.size - 1] < (id >> 16)) [[unlikely]] {
    roaring_bitmap_shrink_to_fit(&bitmap.roaring);
  }
}
inline void add_rising(Bitmap& bitmap, uint32_t id) {
  close_chunks_before(bitmap, id);
  bitmap.add(id);
}
inline bool add_rising_checked(Bitmap& bitmap, uint32_t id) {
  close_chunks_before(bitmap, id);
  return bitmap.addChecked(id);
}

// An index's own id set: nearly every chunk of it is full or holds long runs, which a run container keeps in a few
// bytes where a bitmap container takes 8 KB. Every whole-index query ends by cutting its answer to this set, and
// against a full run that cut reads nothing but the run (against a bitmap it read one line per answer id, cold).
inline void compact_id_set(Bitmap& ids) {
  roaring_bitmap_run_optimize(&ids.roaring);
  roaring_bitmap_shrink_to_fit(&ids.roaring);
}
// Adds an id to an index's id set, compacting the set as each chunk closes.
inline void add_rising_id(Bitmap& ids, uint32_t id) {
  const roaring_array_t& chunks = ids.roaring.high_low_container;
  if (chunks.size > 0 && chunks.keys[chunks.size - 1] < (id >> 16)) [[unlikely]] compact_id_set(ids);
  ids.add(id);
}
// Removals split runs; after this many since the last compaction the set is compacted again (run_optimize also
// turns a run container back into a bitmap or array once that is smaller), so its size stays bounded by the ids held.
inline constexpr uint32_t ID_SET_REMOVALS_PER_COMPACTION = 4096;

}  // namespace vostrel
