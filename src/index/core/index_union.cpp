// IndexAPI::union_with and IndexAPI::merge: another index's objects merged in set-wise.
#include <algorithm>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/parallel_jobs/parallel_jobs.hpp"
#include "index/core/structures/test_points.hpp"
#include "index/core/query/query.hpp"
#include "index/core/writer_gate.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {
namespace {

// count_attributes over a merge's stored items.
std::vector<int64_t> counts_of(const std::vector<StoredItem>& objects, const QueryMaps& maps) {
  std::vector<const StoredItem*> pointers;
  pointers.reserve(objects.size());
  for (const StoredItem& item : objects) pointers.push_back(&item);
  return count_attributes(pointers, maps);
}

std::vector<StoredItem> stored_items(const IndexAPI& index, const Bitmap& ids) {
  return index.with_stored([&](const Bitmap&, const ItemStore<StoredItem>& store) {
    std::vector<StoredItem> found;
    found.reserve(ids.cardinality());
    for (uint32_t id : ids) {
      if (const StoredItem* item = store.find(id)) found.push_back(*item);
    }
    return found;
  });
}

// The membership records a merge adds for its incoming objects, taken back out unless the merge completes.
struct RecordedMemberships {
  const std::vector<StoredItem>& items;
  std::shared_ptr<IndexAPI> index;
  size_t count = 0;  // items[0, count) have their record
  bool kept = false;

  ~RecordedMemberships() {
    if (kept) return;
    for (size_t at = 0; at < count; ++at) remove_membership(items[at].core(), index);
  }
};

}  // namespace

void IndexAPI::merge(const GateHeld& gate, const IndexAPI& other, const Bitmap& incoming, std::vector<PruneLog::Dropped>& added,
                     std::vector<UnsettledChange>& unsettled) {
  // The values go into the maps before the ids are published; a merge that fails part way leaves them until the
  // caller's prune.
  unsettled.emplace_back(gate, *this);
  // `other` is only read. Every change to any index runs under the writer gate, which the caller holds, so other
  // stays as it is throughout (see query_merge.cpp on why its parts are read without their locks).
  PruneLog::Dropped group{shared_from_this(), stored_items(other, incoming)};
  QueryMaps theirs;
  {
    std::shared_lock maps_lock(other.query_maps->mutex);
    theirs = other.query_maps->value;
  }
  uint64_t other_count = 0;
  Bitmap overlap;
  {
    std::shared_lock ids_lock(other.item_ids->mutex);
    other_count = other.item_ids->value.cardinality();
    if (other_count != incoming.cardinality()) overlap = other.item_ids->value - incoming;
  }
  // Value counts of the incoming objects: other's own counts when it brings everything, else from the smaller side.
  const bool whole = overlap.isEmpty();
  std::vector<int64_t> counts(theirs.size(), 0);
  if (whole) {
    for (size_t at = 0; at < theirs.size(); ++at) counts[at] = theirs.maps()[at]->registered.load();
  } else if (overlap.cardinality() < group.items.size()) {
    std::vector<int64_t> shared = counts_of(stored_items(other, overlap), theirs);
    for (size_t at = 0; at < theirs.size(); ++at) counts[at] = theirs.maps()[at]->registered.load() - shared[at];
  } else {
    counts = counts_of(group.items, theirs);
  }

  // The value maps, one job each. A map whose values have members registers their nested objects (object locks), so
  // those maps are merged in job 0, on this thread; the others take only their own locks and may run on the helper,
  // the largest first.
  struct MapMerge {
    const QueryMap* from;
    std::shared_ptr<QueryMap> into;
    bool filter;
  };
  std::vector<MapMerge> merges(theirs.size());
  std::vector<size_t> with_members;
  std::vector<std::pair<int64_t, size_t>> by_cost;
  for (size_t at = 0; at < theirs.size(); ++at) {
    const QueryMap* from = theirs.maps()[at].get();
    if (counts[at] <= 0) continue;
    std::shared_ptr<QueryMap> into = map_for(gate, theirs.attributes()[at]);
    into->registered.fetch_add(counts[at]);
    // Unfiltered only when other's structures hold nothing but incoming objects: no members under element ids.
    bool has_members = false;
    {
      const auto lock = from->read_lock(QueryMap::Part::Mask);
      has_members = !from->mask.isEmpty();
    }
    merges[at] = MapMerge{from, std::move(into), !whole || has_members};
    if (has_members) {
      with_members.push_back(at);
    } else {
      by_cost.emplace_back(counts[at] * (from->text_ids.get() != nullptr ? 3 : 1), at);
    }
  }
  std::sort(by_cost.begin(), by_cost.end(), std::greater<>());
  const auto merge_one = [&](size_t at) {
    const MapMerge& task = merges[at];
    task.into->merge_from(gate, *task.from, incoming, task.filter, run_nested_work);
  };
  // Job 0 also records this index in the incoming objects' membership lists (one object's lock at a time, no index
  // lock held), beside the other maps' merges rather than after them. No write reaches those objects meanwhile: they
  // are held by `other`, so their writes wait for the gate.
  RecordedMemberships memberships{group.items, shared_from_this()};
  std::vector<std::function<void()>> jobs;
  jobs.emplace_back([&] {
    for (size_t at : with_members) merge_one(at);
    for (const StoredItem& item : group.items) {
      append_membership(item.core(), memberships.index);
      ++memberships.count;
    }
  });
  for (const auto& [cost, at] : by_cost) jobs.emplace_back([&merge_one, at] { merge_one(at); });
  // Recorded before any of their values reach a map: a view made earlier answers for an incoming object at one of its
  // reused ids as for no object of its own from the first value on.
  if (level == 0) {
    items->history.stored_batch(group.items.size(), [&](size_t pos) { return group.items[pos].core().id; });
  }
  run_jobs_over(incoming.cardinality(), jobs);
  // Links the other index cut as cycles under incoming objects stay cut here, and are tried again as they would be
  // there.
  for (const MapMerge& merged : merges) {
    if (merged.from == nullptr || merged.from->cut_holders.isEmpty()) continue;
    const Bitmap cut = merged.from->cut_holders & incoming;
    if (cut.isEmpty()) continue;
    merged.into->cut_holders |= cut;
    cut_links_recorded = true;
  }

  for (const MapMerge& merged : merges) {
    const QueryMap* from = merged.from;
    if (from == nullptr) continue;
    const std::shared_ptr<QueryMap>& into = merged.into;
    const IndexAPI* inner = nested_index_of(*from);
    if (inner == nullptr) continue;
    // Nested objects: the exact pairs whose holder is an incoming object (pairs held by members were made anew
    // with the members' new element ids); then the nested objects new here, merged the same way one level down.
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    {
      std::shared_lock links(inner->parent_links->mutex);
      inner->parent_links->value.for_each_pair([&](uint32_t left, uint32_t right) {
        if (incoming.contains(left)) pairs.emplace_back(left, right);
      });
    }
    if (pairs.empty()) continue;
    IndexAPI* nested_here = ensure_nested(gate, *into);
    if (nested_here == nullptr) continue;  // refused by this tree's budget: the paths find nothing here either
    IndexAPI& mine = *nested_here;
    Bitmap children;
    {
      std::unique_lock links(mine.parent_links->mutex);
      for (const auto& [left, right] : pairs) {
        mine.parent_links->value.register_path(left, right);
        children.add(right);
      }
    }
    {
      std::shared_lock ids_lock(mine.item_ids->mutex);
      children -= mine.item_ids->value;
    }
    if (!children.isEmpty()) mine.merge(gate, *inner, children, added, unsettled);
  }

  // Published last: queries start from item_ids, so they meet the new objects only once every map answers for them.
  if (level == 0) wait_while_held(TestPoint::ChangeMidway);
  std::vector<StoredItem> replaced;
  {
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    replaced.reserve(group.items.size());
    for (const StoredItem& item : group.items) {
      // A nested index keeps the handle of the value that links the object: an index copy (see SharedPyRef).
      if (level > 0) item.python_handle.add_index_copy();
      replaced.push_back(items->value.put(item.core().id, item));
    }
    item_ids->value |= incoming;
    compact_id_set(item_ids->value);
  }
  added.push_back(std::move(group));
  memberships.kept = true;
}

void IndexAPI::union_with(const IndexAPI& other) {
  // Merging an index into itself adds nothing; returning early also avoids re-taking its own locks.
  if (&other == this) return;
  // Let go after the gate (Python references among them).
  std::vector<PruneLog::Dropped> added;
  PruneLog undone;
  // One gate for every writer: two threads merging two indexes into each other run one after the other, so the
  // pair needs no order of its own, and neither index changes under the merge.
  WriterGate gate;
  Bitmap before;
  {
    std::shared_lock ids_lock(item_ids->mutex);
    before = item_ids->value;
  }
  Bitmap incoming;
  {
    std::shared_lock ids_lock(other.item_ids->mutex);
    incoming = other.item_ids->value - before;
  }
  // An object held by both is already current here: every write reaches both indexes.
  if (incoming.isEmpty()) return;
  // Released once every index merged into is whole again, or pruned back.
  std::vector<UnsettledChange> unsettled;
  try {
    merge(gate, other, incoming, added, unsettled);
  } catch (...) {
    // Back to the objects held before, set-wise as reduce does: the maps lose what was merged (members and nested
    // objects included), counts are recounted, and nested objects already linked leave again.
    Bitmap now;
    {
      std::shared_lock ids_lock(item_ids->mutex);
      now = item_ids->value;
    }
    prune(gate, before, now - before, undone, true);
    throw;
  }
}

}  // namespace vostrel
