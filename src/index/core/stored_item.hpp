// StoredItem: an index's record of one stored object.
#pragma once

#include <array>
#include <cstdint>

#include "index/core/item_store.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/value.hpp"

namespace vostrel {

// The same record a captured Indexable value holds: one strong reference to the Python object that was added
// (released, deferred when the interpreter lock is not held, when the last holder drops it), through which the
// object's core is read in place.
using StoredItem = StoredIndexable;

// Calls emit(item) for the item stored under each of the `count` ids (null for an id the store does not hold, or one
// in `hidden` when given), in order. A large answer's objects lie scattered over the heap and each takes two
// dependent loads (the handle's shared record, then the object's reference count): started some items ahead, the
// loads of several objects overlap instead of each waiting for the last. The caller holds the store's lock;
// count <= STORED_BATCH.
constexpr uint32_t STORED_BATCH = 256;
template <class Emit>
void visit_stored_ahead(const ItemStore<StoredItem>& store, const uint32_t* ids, uint32_t count, Emit&& emit,
                        const Bitmap* hidden = nullptr) {
  constexpr uint32_t RECORD_AHEAD = 16;
  constexpr uint32_t OBJECT_AHEAD = 8;
  std::array<const StoredItem*, STORED_BATCH> items;
  for (uint32_t k = 0; k < count; ++k) {
    items[k] = hidden != nullptr && hidden->contains(ids[k]) ? nullptr : store.find(ids[k]);
  }
  for (uint32_t k = 0; k < count; ++k) {
    if (k + RECORD_AHEAD < count && items[k + RECORD_AHEAD] != nullptr) items[k + RECORD_AHEAD]->python_handle.prefetch();
    if (k + OBJECT_AHEAD < count && items[k + OBJECT_AHEAD] != nullptr) {
      __builtin_prefetch(items[k + OBJECT_AHEAD]->python_handle.get(), 1);
    }
    emit(items[k]);
  }
}

// The objects stored under the `count` ids, borrowed (valid while the caller holds the store's lock), into `out`;
// null for an id the store does not hold or one in `hidden`. Listing a large answer is all loads: each object takes
// three dependent ones, its slot in the store, the handle's shared record, then the object itself. Done in passes
// over the batch, each pass's loads are independent of one another and were started by the pass before, so a
// batch waits about three memory latencies in all rather than three per object, with no prefetch distance to tune
// (visit_stored_ahead stays for callers that do more per item). count <= STORED_BATCH.
inline void objects_of_stored(const ItemStore<StoredItem>& store, const uint32_t* ids, uint32_t count,
                              PyObject** out, const Bitmap* hidden = nullptr) {
  std::array<const StoredItem*, STORED_BATCH> items;
  for (uint32_t k = 0; k < count; ++k) {
    const StoredItem* item = hidden != nullptr && hidden->contains(ids[k]) ? nullptr : store.find(ids[k]);
    items[k] = item;
    if (item != nullptr) __builtin_prefetch(item);
  }
  for (uint32_t k = 0; k < count; ++k) {
    if (items[k] != nullptr) items[k]->python_handle.prefetch();
  }
  for (uint32_t k = 0; k < count; ++k) {
    PyObject* object = items[k] != nullptr ? items[k]->python_handle.get() : nullptr;
    out[k] = object;
    if (object != nullptr) __builtin_prefetch(object, 1);
  }
}


}  // namespace vostrel
