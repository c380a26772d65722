// IndexAPI::reduce: prunes an index in place to the objects matching a keyword selection.
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {

void IndexAPI::reduce(const std::vector<QueryExpr>& equalities) {
  std::lock_guard gate(WRITE_GATE());
  Bitmap removed;
  {
    // Under the gate the selection cannot change before the pruning below.
    std::shared_lock maps_lock(query_maps->mutex);
    std::shared_lock ids_lock(item_ids->mutex);
    removed = item_ids->value - evaluate_and_queries_vec(query_maps->value, item_ids->value, equalities);
  }
  // Each dropped object leaves as with remove_object: id and store entry first (queries start from item_ids), then
  // its membership record (later writes stop reaching this index), then its values and its elements; kept objects
  // and their elements are never touched. Views made earlier keep their ids and list placeholders for these.
  for (uint32_t id : removed) {
    StoredItem item = unstore_object(id);
    if (!item.owned_handle) continue;
    const IndexableCore& core = *item.owned_handle;
    remove_membership(core, this);
    NestedWork work;
    {
      std::lock_guard attributes(core.attributes->mutex);
      core.attributes->map.for_each(
          [&](const uint32_t& attribute, const PyValue& value) { remove_index(id, attribute, value, work); });
    }
    run_nested_work(work, id);
  }
}

}  // namespace vostrel
