// QueryMap::merge_from: ORs another index's value map into this one, restricted to the objects new here.
//
// The caller holds the writer gate, and every change to any index runs under it, so `other` cannot change during the
// merge: its parts are read without their locks. Taking them would mean holding two locks of the same rank (this
// map's write lock and other's read lock), which the hierarchy forbids, and copying other's parts out first would
// double the work of the merge.
//
// Members of iterables are not shared: an element id belongs to the map that allocated it, which frees it when the
// member goes (the owner's value is replaced, the owner leaves, the map is dropped). Two maps sharing one id would
// both free it, and the allocator could hand it to a new object while the other map still used it. So each member of
// an incoming object is registered here anew, under an element id of this map, from the value the other map recorded
// for it: per member, the one place where the merge is not set algebra.
#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/query/query.hpp"
#include "index/core/structures/test_points.hpp"

namespace vostrel {
namespace {


// `from` restricted to `only` (or whole without it), ORed into `into`.
void or_restricted(Bitmap& into, const Bitmap& from, const Bitmap* only) {
  if (from.isEmpty()) return;
  if (only == nullptr) {
    roaring_bitmap_or_inplace(&into.roaring, &from.roaring);
    return;
  }
  Bitmap part = from & *only;
  roaring_bitmap_or_inplace(&into.roaring, &part.roaring);
}

}  // namespace

void QueryMap::merge_from(const GateHeld& gate, const QueryMap& other, const Bitmap& incoming, bool filter,
                          NestedWorkRunner run_nested_work) {
  if (test_point_fails(TestPoint::MapMerge)) {
    throw std::bad_alloc();
  }
  const Bitmap* only = filter ? &incoming : nullptr;

  if (const ObjectIds* ids = other.object_ids.get()) {
    std::unique_lock lock(objects_mutex);
    object_ids.ensure().merge_from(*ids, only);
  }
  // Exact map: every kind of key alike. Other's entries restricted first, then entered shard by shard here.
  if (const ExactMap* values = other.exact.get()) {
    std::vector<std::pair<PyValue, CompactIdSet>> entries;
    for (size_t index = 0; index < values->shard_count(); ++index) {
      // Shard locks are leaves and none of this map's is held here, so other's shard is read-locked as it is walked.
      auto shard = values->read_shard_at(index);
      for (const auto& [key, ids] : shard.map) {
        CompactIdSet part = ids;
        if (only != nullptr) {
          part.keep_only_from_bitmap(*only);
          if (part.is_empty()) continue;
        }
        entries.emplace_back(key, std::move(part));
      }
    }
    if (!entries.empty()) {
      if (other.holds_unkeyed.load(std::memory_order_acquire)) holds_unkeyed.store(true, std::memory_order_release);
      ExactMap& mine = exact.ensure(16);
      for (auto& [key, ids] : entries) {
        auto shard = mine.get_shard(key.hash());
        auto found = shard.map.find(key);
        if (found != shard.map.end()) {
          found->second = CompactIdSet::union_of(found->second, ids);
          continue;
        }
        shard.map.emplace(key, std::move(ids));
        count_index_copy(key, true);
      }
    }
  }
  // Where this map keeps positions or slices, other's are merged in when it keeps them too, and built here from its
  // value table otherwise. Other's flag is read once: positions or slices it keeps are never built again, and its
  // writers wait for the writer gate, but a reader of the other index may be building them while the flag is unset.
  {
    std::unique_lock lock(positional_mutex);
    if (const TextIds* texts = other.text_ids.get()) {
      if (positions_kept.load(std::memory_order_relaxed)) {
        if (other.positions_kept.load(std::memory_order_acquire)) {
          positional.union_with(other.positional, only);
        } else {
          add_positions(*texts, only);
        }
      }
      text_ids.ensure().merge_from(*texts, only);
    }
  }
  if (const NumberIds* values = other.number_ids.get()) {
    std::unique_lock lock(numeric_mutex);
    if (slices_kept.load(std::memory_order_relaxed)) {
      const NumericalBitmap* slices = other.numeric.get();
      if (other.slices_kept.load(std::memory_order_acquire) && slices != nullptr) {
        numeric.ensure().merge_from(*slices, only);
      } else {
        add_slices(*values, only);
      }
    }
    number_ids.ensure().merge_from(*values, only);
    if (other.floats_held.load(std::memory_order_relaxed)) floats_held.store(true, std::memory_order_relaxed);
  }
  {
    std::unique_lock lock(bool_mutex);
    or_restricted(trues, other.trues, only);
    or_restricted(falses, other.falses, only);
  }
  // Members, owner by owner (an owner's members in their order), each owner's nested objects registered with the
  // owner as the origin of their path, as add_object would.
  if (!other.owner_elements.empty()) {
    std::vector<std::pair<uint32_t, const OwnedElements*>> owners;
    if (other.owner_elements.size() <= incoming.cardinality()) {
      for (const auto& [owner, elements] : other.owner_elements) {
        if (incoming.contains(owner)) owners.emplace_back(owner, &elements);
      }
    } else {
      for (uint32_t owner : incoming) {
        auto found = other.owner_elements.find(owner);
        if (found != other.owner_elements.end()) owners.emplace_back(owner, &found->second);
      }
    }
    NestedWork work;
    for (const auto& [owner, owned] : owners) {
      insert_iterable(owned->iterable(), owner, work);
      (void)run_nested_work(gate, work, owner);  // merging makes links only
    }
  }
}

}  // namespace vostrel
