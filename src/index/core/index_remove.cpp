// IndexAPI::remove_object: takes one object out of an index.
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "index/core/index.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {

// Returns false, changing nothing, when this index does not hold the object. Interpreter lock released; no engine or
// object lock held.
bool IndexAPI::remove_object(const IndexableCore& core) {
  StoredItem removed;  // declared first: the Python reference goes only after every lock below is released
  // Lock order as for an attribute write: membership list, attribute map, then this index's locks. Holding both object
  // locks throughout means a concurrent write either reaches this index before the object leaves (its new value then
  // leaves with it) or, afterwards, finds no record of this index.
  std::lock_guard members(core.indexes->mutex);
  std::lock_guard attributes(core.attributes->mutex);
  {
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    if (!item_ids->value.contains(core.id)) return false;
    removed = std::exchange(items->value[core.id], StoredItem::placeholder());
    item_ids->value.remove(core.id);
  }
  // An insertion still on its way (record appended, object not stored yet) keeps its record: only a held object's
  // record goes, so later writes stop reaching this index.
  trim_indexes(core.indexes->records, this);
  // The id left `item_ids` first, so queries (which start from it) no longer report the object while its values go.
  core.attributes->map.for_each(
      [&](const uint32_t& attribute, const PyValue& value) { remove_index(core.id, attribute, value); });
  return true;
}

}  // namespace vostrel
