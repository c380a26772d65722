// IndexAPI::prune: narrows a whole index (value maps, store, nested indexes) to a set of kept objects at once.
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {
namespace {

// Per attribute position below `positions`, how many of the objects hold a value for it. Each object's attribute
// map is locked on its own, with no index lock held.
template <class Cores>
std::vector<int64_t> count_attributes(const Cores& cores, size_t positions) {
  std::vector<int64_t> counts(positions, 0);
  for (const IndexableCore* core : cores) {
    std::lock_guard attributes(core->attributes->mutex);
    core->attributes->map.for_each([&](const uint32_t& attribute, const PyValue&) {
      if (attribute < positions) ++counts[attribute];
    });
  }
  return counts;
}

}  // namespace

void IndexAPI::prune(const Bitmap& keep, const Bitmap& removed, PruneLog& log, bool exact_counts) {
  PruneLog::Dropped gone{shared_from_this(), {}};
  gone.items.reserve(removed.cardinality());
  {
    // The ids go first: queries start from item_ids, so they stop reporting the removed objects before the maps
    // are narrowed part by part.
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    item_ids->value -= removed;
    for (uint32_t id : removed) {
      StoredItem item = items->value.take(id);
      if (!item.python_handle) continue;
      if (level > 0) item.python_handle.remove_index_copy();
      gone.items.push_back(std::move(item));
    }
  }
  std::vector<std::shared_ptr<QueryMap>> maps;
  {
    // Only writers change the list, and this thread is the writer: the copy stays current.
    std::shared_lock maps_lock(query_maps->mutex);
    maps = query_maps->value;
  }

  // Value counts, from whichever side is smaller. Under the gate the stored records cannot change, so pointers
  // into the store stay valid.
  const bool from_kept = exact_counts || keep.cardinality() < gone.items.size();
  std::vector<int64_t> counts;
  if (from_kept) {
    std::vector<const IndexableCore*> kept = with_stored([&](const Bitmap&, const ItemStore<StoredItem>& store) {
      std::vector<const IndexableCore*> found;
      found.reserve(keep.cardinality());
      for (uint32_t id : keep) {
        if (const StoredItem* item = store.find(id)) found.push_back(&item->core());
      }
      return found;
    });
    counts = count_attributes(kept, maps.size());
  } else {
    std::vector<const IndexableCore*> cores;
    cores.reserve(gone.items.size());
    for (const StoredItem& item : gone.items) cores.push_back(&item.core());
    counts = count_attributes(cores, maps.size());
  }
  log.dropped.push_back(std::move(gone));

  for (size_t attribute = 0; attribute < maps.size(); ++attribute) {
    QueryMap* map = maps[attribute].get();
    if (map == nullptr) continue;
    map->keep_only(keep, log.released);
    if (from_kept) {
      map->registered.store(counts[attribute]);
    } else {
      map->registered.fetch_sub(counts[attribute]);
    }
    IndexAPI* inner = map->nested.get();
    if (inner == nullptr) continue;
    // The nested objects still linked from a kept holder (keep_only dropped the pairs of the others), exactly.
    Bitmap nested_keep;
    {
      std::shared_lock links(inner->parent_links->mutex);
      nested_keep = inner->parent_links->value.rights();
    }
    Bitmap nested_removed;
    {
      std::shared_lock ids_lock(inner->item_ids->mutex);
      nested_removed = inner->item_ids->value - nested_keep;
    }
    inner->prune(nested_keep, nested_removed, log, exact_counts);
  }

  // Attributes no kept object holds any more are reset, as remove_index does for its last value. The maps are
  // destroyed with the log, after every lock is released.
  std::unique_lock maps_lock(query_maps->mutex);
  for (std::shared_ptr<QueryMap>& slot : query_maps->value) {
    if (slot && slot->registered.load() <= 0) log.reset.push_back(std::move(slot));
  }
}

void let_go(std::vector<IndexAPI::PruneLog::Dropped>& groups) {
  // One pass per object, so the membership list and the item's records are touched while in cache together.
  std::vector<PyObject*> references;
  for (IndexAPI::PruneLog::Dropped& group : groups) {
    references.reserve(references.size() + group.items.size());
    std::vector<StoredItem>& items = group.items;
    for (size_t pos = 0; pos < items.size(); ++pos) {
      // An object's records sit in two blocks scattered over the heap (the handle's holder, then the object with its
      // reference count and membership records on two cache lines): fetch them a few objects ahead, one hop per
      // stage, so the walk does not wait on each.
      if (pos + 16 < items.size()) items[pos + 16].python_handle.prefetch();
      if (pos + 8 < items.size()) {
        const char* object = reinterpret_cast<const char*>(items[pos + 8].python_handle.get());
        __builtin_prefetch(object, 1);
        __builtin_prefetch(object + 64, 1);
      }
      StoredItem& item = items[pos];
      remove_membership(item.core(), group.index);
      item.python_handle.reset_into(references);
    }
  }
  groups.clear();
  release_python_references(references);
}

}  // namespace vostrel
