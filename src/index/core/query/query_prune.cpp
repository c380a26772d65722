// QueryMap::keep_only: narrows every structure of a value map to a set of kept objects at once.
#include <algorithm>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index/core/structures/ids/id_alloc.hpp"
#include "index/core/query/query.hpp"

namespace vostrel {

namespace {

// Room for one more released value, grown by doubling (reserving one at a time would copy the list each time).
void room_for_one(std::vector<PyValue>& released) {
  if (released.size() < released.capacity()) return;
  released.reserve(std::max<size_t>(16, 2 * released.capacity()));
}

// The element ids of `owned` join `gone`; its iterable is handed to `released` (dropped after unlocking). Room is
// made first: a failure (memory) leaves `owned` as it was, to be dropped by a prune tried again.
void drop_records(OwnedElements& owned, std::vector<uint32_t>& gone, std::vector<PyValue>& released) {
  const std::span<const uint32_t> elements = owned.elements();
  gone.insert(gone.end(), elements.begin(), elements.end());
  room_for_one(released);
  count_index_copy(owned.iterable(), false);
  released.push_back(owned.take_iterable());  // within the capacity
}

}  // namespace

void QueryMap::keep_only(const GateHeld& gate, const IdFilter& keep, std::vector<PyValue>& released) {
  // Members whose (outermost) owner goes. An entry of owner_elements is keyed by an object id or, for members of a
  // member, by the element id holding them; object ids are never in the mask.
  std::vector<uint32_t> gone;
  {
    std::unique_lock lock(translation_mutex);
    if (!owner_elements.empty()) {
      for (auto entry = owner_elements.begin(); entry != owner_elements.end();) {
        const uint32_t owner = entry->first;
        // An element owner is dropped through its own owner below (the walk over `gone`).
        if (translation.get(owner) != PagedU32Map::ABSENT || keep.contains(owner)) {
          ++entry;
          continue;
        }
        drop_records(entry->second, gone, released);
        entry = owner_elements.erase(entry);
      }
      // Members of dropped members (index walk: the vector grows while it is read).
      for (size_t pos = 0; pos < gone.size(); ++pos) {
        auto nested_members = owner_elements.find(gone[pos]);
        if (nested_members == owner_elements.end()) continue;
        drop_records(nested_members->second, gone, released);
        owner_elements.erase(nested_members);
      }
      owner_elements.compact_if_sparse();
      for (uint32_t element : gone) translation.erase(element);
    }
  }
  // What stays in the structures: the kept objects and the members still registered.
  Bitmap kept_with_members;
  std::optional<IdFilter> members_filter;
  const IdFilter* kept = &keep;
  {
    std::shared_lock lock(mask_mutex);
    if (!mask.isEmpty()) {
      kept_with_members = keep.bitmap() | mask;
      if (!gone.empty()) roaring_bitmap_remove_many(&kept_with_members.roaring, gone.size(), gone.data());
    }
  }
  if (!kept_with_members.isEmpty()) kept = &members_filter.emplace(kept_with_members);
  const Bitmap& kept_ids = kept->bitmap();
  if (ExactMap* values = exact.get()) {
    values->for_each_shard([&](auto& shard) {
      for (auto entry = shard.begin(); entry != shard.end();) {
        entry->second.keep_only_from_bitmap(kept_ids);
        if (!entry->second.is_empty()) {
          ++entry;
          continue;
        }
        room_for_one(released);
        count_index_copy(entry->first, false);
        released.push_back(entry->first);  // within the capacity
        entry = shard.erase(entry);
      }
    });
  }
  {
    std::unique_lock lock(objects_mutex);
    if (ObjectIds* ids = object_ids.get()) ids->keep_only(*kept);
  }
  {
    std::unique_lock lock(positional_mutex);
    positional.keep_only(*kept);
    if (TextIds* texts = text_ids.get()) texts->keep_only(*kept);
  }
  {
    std::unique_lock lock(numeric_mutex);
    if (NumericalBitmap* numbers = numeric.get()) numbers->keep_only(kept_ids);
    if (NumberIds* values = number_ids.get()) values->keep_only(*kept);
  }
  {
    std::unique_lock lock(bool_mutex);
    roaring_bitmap_and_inplace(&trues.roaring, &kept_ids.roaring);
    roaring_bitmap_and_inplace(&falses.roaring, &kept_ids.roaring);
  }
  if (NestedIndex* inner = nested.get()) inner->keep_holders(gate, kept_ids);
  // Out of the mask last: readers run beside a prune, and an element id a structure still holds must resolve as a
  // member (a view may list the same id for an object that died), never stand for itself.
  if (!gone.empty()) {
    std::unique_lock lock(mask_mutex);
    roaring_bitmap_remove_many(&mask.roaring, gone.size(), gone.data());
  }
  // Out of every structure of this map now, so the ids may be handed out again.
  free_many_ids(gone);
}

}  // namespace vostrel
