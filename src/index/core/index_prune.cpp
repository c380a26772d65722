// IndexAPI::prune: narrows a whole index (value maps, store, nested indexes) to a set of kept objects at once.
#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/parallel_jobs/parallel_jobs.hpp"
#include "index/core/query/query.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {

// The records of an object are three hops apart on the heap (the handle's holder, the object, its attribute block):
// each is fetched a few objects ahead of the next hop.
std::vector<int64_t> count_attributes(const std::vector<const StoredItem*>& objects, const QueryMaps& maps) {
  constexpr size_t AHEAD = 8;
  std::vector<int64_t> counts(maps.size(), 0);
  if (maps.size() == 0) return counts;
  // Positions by attribute id for the walk, which looks one up per value: a binary search each would cost more than
  // this table, which lives only for the walk.
  constexpr uint32_t NONE = UINT32_MAX;
  std::vector<uint32_t> position_of(static_cast<size_t>(maps.attributes().back()) + 1, NONE);
  for (size_t at = 0; at < maps.size(); ++at) position_of[maps.attributes()[at]] = static_cast<uint32_t>(at);
  for (size_t pos = 0; pos < objects.size(); ++pos) {
    if (pos + 3 * AHEAD < objects.size()) objects[pos + 3 * AHEAD]->python_handle.prefetch();
    if (pos + 2 * AHEAD < objects.size()) {
      const char* object = reinterpret_cast<const char*>(objects[pos + 2 * AHEAD]->python_handle.get());
      __builtin_prefetch(object);
      __builtin_prefetch(object + 64);
    }
    if (pos + AHEAD < objects.size()) __builtin_prefetch(objects[pos + AHEAD]->core().attributes->map.storage());
    const IndexableCore& core = objects[pos]->core();
    std::lock_guard attributes(core.attributes->mutex);
    core.attributes->map.for_each([&](const uint32_t& attribute, const PyValue&) {
      if (attribute < position_of.size() && position_of[attribute] != NONE) ++counts[position_of[attribute]];
    });
  }
  return counts;
}

namespace {

// Roughly how long narrowing `map` takes, to hand the largest maps out first: one unit per registered value, three
// for text (a table of values beside the character bitmaps).
uint64_t narrowing_cost(const QueryMap& map) {
  const int64_t registered = map.registered.load();
  const uint64_t values = registered > 0 ? static_cast<uint64_t>(registered) : 0;
  return map.text_ids.get() != nullptr ? 3 * values : values;
}

}  // namespace

std::vector<StoredItem> IndexAPI::take_stored(const Bitmap& removed) {
  std::vector<StoredItem> taken;
  taken.reserve(removed.cardinality());
  const auto keep_item = [&](StoredItem&& item) {
    if (!item.python_handle) return;
    if (level > 0) item.python_handle.remove_index_copy();
    taken.push_back(std::move(item));  // within the capacity reserved: cannot fail
  };
  // The ids a block at a time, so that the store looks each page up once per block.
  constexpr uint32_t BLOCK = 1024;
  std::array<uint32_t, BLOCK> block;
  roaring_uint32_iterator_t cursor;
  roaring_init_iterator(&removed.roaring, &cursor);
  std::unique_lock items_lock(items->mutex);
  while (const uint32_t count = roaring_read_uint32_iterator(&cursor, block.data(), BLOCK)) {
    items->value.take_ascending(std::span<const uint32_t>(block.data(), count), keep_item);
  }
  return taken;
}

void IndexAPI::prune(const GateHeld& gate, const Bitmap& keep, const Bitmap& removed, PruneLog& log, bool exact_counts,
                     std::vector<StoredItem>* taken) {
  // The removed ids may have left already (a reduce's), the maps narrow after.
  const UnsettledChange unsettled(gate, *this);
  if (taken == nullptr) {
    // The ids go first: queries start from item_ids, so they stop reporting the removed objects before the store
    // and the maps are narrowed part by part.
    std::unique_lock ids_lock(item_ids->mutex);
    item_ids->value -= removed;
    compact_id_set(item_ids->value);
  }
  QueryMaps maps;
  {
    // Only writers change the list, and this thread is the writer: the copy stays current.
    std::shared_lock maps_lock(query_maps->mutex);
    maps = query_maps->value;
  }

  // Job 0, on this thread (it takes object locks): the removed objects leave the store, the value counts are taken
  // from whichever side is smaller, and the removed objects let go of this index. The other jobs narrow one value map
  // each and take only that map's locks, so they may run beside it on the helper; the largest go first.
  const bool from_kept = exact_counts || keep.cardinality() < removed.cardinality();
  std::vector<int64_t> counts;
  const IdFilter kept_filter(keep);
  std::vector<std::function<void()>> jobs;
  jobs.emplace_back([&] {
    PruneLog::Dropped gone{shared_from_this(), taken != nullptr ? std::move(*taken) : take_stored(removed)};
    std::vector<const StoredItem*> counted;
    if (from_kept) {
      // Under the gate the stored records cannot change, so pointers into the store stay valid.
      counted = with_stored([&](const Bitmap&, const ItemStore<StoredItem>& store) {
        std::vector<const StoredItem*> found;
        found.reserve(keep.cardinality());
        for (uint32_t id : keep) {
          if (const StoredItem* item = store.find(id)) found.push_back(item);
        }
        return found;
      });
    } else {
      counted.reserve(gone.items.size());
      for (const StoredItem& item : gone.items) counted.push_back(&item);
    }
    counts = count_attributes(counted, maps);
    let_go(gate, gone);
  });
  std::vector<std::pair<uint64_t, QueryMap*>> by_cost;
  for (const std::shared_ptr<QueryMap>& map : maps.maps()) by_cost.emplace_back(narrowing_cost(*map), map.get());
  std::sort(by_cost.begin(), by_cost.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::vector<PyValue>> released(by_cost.size());
  for (size_t job = 0; job < by_cost.size(); ++job) {
    jobs.emplace_back([&, job] { by_cost[job].second->keep_only(gate, kept_filter, released[job]); });
  }
  run_jobs_over(removed.cardinality() + keep.cardinality(), jobs);
  for (std::vector<PyValue>& values : released) {
    log.released.insert(log.released.end(), std::make_move_iterator(values.begin()),
                        std::make_move_iterator(values.end()));
  }

  for (size_t at = 0; at < maps.size(); ++at) {
    QueryMap* map = maps.maps()[at].get();
    if (from_kept) {
      map->registered.store(counts[at]);
    } else {
      map->registered.fetch_sub(counts[at]);
    }
    IndexAPI* inner = nested_index_of(*map);
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
    inner->prune(gate, nested_keep, nested_removed, log, exact_counts);
    // Objects that lost one holder but stay may have links cut on the path through it.
    retry_cut_links(gate, *inner);
  }

  // Attributes no kept object holds any more are reset, as remove_index does for its last value. The maps are
  // destroyed with the log, after every lock is released.
  std::unique_lock maps_lock(query_maps->mutex);
  query_maps->value.take_where([](const QueryMap& map) { return map.registered.load() <= 0; }, log.reset);
}

void let_go(const GateHeld& /*gate*/, IndexAPI::PruneLog::Dropped& group) {
  // One pass per object, so the membership list and the item's records are touched while in cache together.
  std::vector<PyObject*> references;
  {
    references.reserve(group.items.size());
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
  group.items = std::vector<StoredItem>();
  release_python_references(references);
}

}  // namespace vostrel
