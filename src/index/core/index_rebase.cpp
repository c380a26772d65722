// IndexAPI::rebase: a new index over the objects a view lists, and the gated insertion it (and union) share.
#include <mutex>
#include <utility>
#include <vector>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {

void IndexAPI::add_indexable_gated(const StoredIndexable& object) {
  const IndexableCore& core = *object.owned_handle;
  // Membership first is safe under the gate: every writer of an indexed object waits for the gate, and a write that
  // follows finds the object stored (or skips this index until it is).
  const bool new_member = append_membership(core, weak_from_this());
  NestedWork work;
  try {
    std::lock_guard attributes(core.attributes->mutex);
    store_object(core.id, object.python_handle, object.owned_handle, *core.attributes, work);
  } catch (...) {
    if (new_member) remove_membership(core, this);
    throw;
  }
  run_nested_work(work, core.id);
}

std::shared_ptr<IndexAPI> IndexAPI::rebase(const FilteredIndexCore& view) {
  std::shared_ptr<IndexAPI> rebased = create();
  std::lock_guard gate(WRITE_GATE());
  // Copies of the stored records, taken under the store's read lock only; objects are registered afterwards, one
  // object's locks at a time, with no lock of the source held.
  std::vector<StoredIndexable> objects = view.with_stored([](const Bitmap& ids, const ItemStore<StoredItem>& store) {
    std::vector<StoredIndexable> found;
    found.reserve(ids.cardinality());
    for (uint32_t id : ids) {
      const StoredItem* item = store.find(id);
      if (item != nullptr && !item->is_placeholder()) found.push_back(StoredIndexable{item->python_handle, item->owned_handle});
    }
    return found;
  });
  // Nothing else can reach the new index before it is returned, except writes to objects already recorded in it,
  // and those wait for the gate.
  for (const StoredIndexable& object : objects) rebased->add_indexable_gated(object);
  return rebased;
}

}  // namespace vostrel
