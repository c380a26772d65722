// IndexAPI::reduce: prunes an index in place to the objects matching a keyword selection.
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {
namespace {

// Takes the dropped objects out one at a time, as remove_object does: id and store entry first (queries start from
// item_ids), then the membership record (later writes stop reaching the index), then the values and elements.
// Kept objects and their elements are never touched. Cheapest when few objects go.
void remove_each(IndexAPI& index, const Bitmap& removed) {
  for (uint32_t id : removed) {
    StoredItem item = index.unstore_object(id);
    if (!item.python_handle) continue;
    const IndexableCore& core = item.core();
    remove_membership(core, &index);
    NestedWork work;
    {
      std::lock_guard attributes(core.attributes->mutex);
      core.attributes->map.for_each(
          [&](const uint32_t& attribute, const PyValue& value) { index.remove_index(id, attribute, value, work); });
    }
    run_nested_work(work, id);
  }
}

// When most objects go, registering the kept ones into new maps is cheaper than unregistering the rest. The new
// maps are complete before anything changes (a failure drops them and leaves the index as it was); then the ids
// shrink, so queries (which never leave item_ids) stop meeting the dropped objects, and the maps are swapped in.
// The old maps free the element ids they own when they go; their nested indexes, and the membership records that
// point to them, go with them.
void rebuild_kept(IndexAPI& index, const Bitmap& kept, const Bitmap& removed) {
  std::vector<StoredItem> keep = index.with_stored([&](const Bitmap&, const ItemStore<StoredItem>& store) {
    std::vector<StoredItem> found;
    found.reserve(kept.cardinality());
    for (uint32_t id : kept) {
      if (const StoredItem* item = store.find(id)) found.push_back(*item);
    }
    return found;
  });
  std::vector<std::shared_ptr<QueryMap>> maps;
  NestedWork work;
  for (const StoredItem& item : keep) {
    const IndexableCore& core = item.core();
    {
      std::lock_guard attributes(core.attributes->mutex);
      core.attributes->map.for_each([&](const uint32_t& attribute, const PyValue& value) {
        if (maps.size() <= attribute) maps.resize(static_cast<size_t>(attribute) + 1);
        std::shared_ptr<QueryMap>& map = maps[attribute];
        if (!map) map = QueryMap::create(index.weak_from_this());
        map->registered.fetch_add(1);
        map->insert_value(core.id, value, work);
      });
    }
    run_nested_work(work, core.id);
  }
  std::vector<StoredItem> dropped;
  dropped.reserve(removed.cardinality());
  {
    std::unique_lock ids_lock(index.item_ids->mutex);
    std::unique_lock items_lock(index.items->mutex);
    index.item_ids->value -= removed;
    for (uint32_t id : removed) {
      dropped.push_back(index.items->value.take(id));
      if (index.level > 0) dropped.back().python_handle.remove_index_copy();
    }
  }
  {
    std::unique_lock maps_lock(index.query_maps->mutex);
    index.query_maps->value.swap(maps);
  }
  for (const StoredItem& item : dropped) {
    if (item.python_handle) remove_membership(item.core(), &index);
  }
  // `maps` (the old ones) and `dropped` go here, with no lock held.
}

}  // namespace

void IndexAPI::reduce(const std::vector<QueryExpr>& equalities) {
  std::lock_guard gate(WRITE_GATE());
  Bitmap kept;
  Bitmap removed;
  {
    // Under the gate the selection cannot change before the pruning below.
    std::shared_lock maps_lock(query_maps->mutex);
    std::shared_lock ids_lock(item_ids->mutex);
    kept = evaluate_and_queries_vec(query_maps->value, item_ids->value, equalities);
    removed = item_ids->value - kept;
  }
  if (removed.isEmpty()) return;
  if (removed.cardinality() > kept.cardinality()) {
    rebuild_kept(*this, kept, removed);
  } else {
    remove_each(*this, removed);
  }
}

}  // namespace vostrel
