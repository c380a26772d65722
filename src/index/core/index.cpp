// IndexAPI: object store, id set, value maps and nested-index links of one index.
#include "index/core/index.hpp"

#include <utility>

#include "index/core/filtered_index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/types.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {

StoredItem StoredItem::placeholder() { return StoredItem{DEFAULT_PY_INDEXABLE_ARC(), DEFAULT_INDEXABLE_ARC()}; }

bool StoredItem::is_placeholder() const { return owned_handle == DEFAULT_INDEXABLE_ARC(); }

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
  return std::make_shared<IndexAPI>(std::move(parent));
}

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent_index)
    : query_maps(std::make_shared<QueryMapList>()),
      items(std::make_shared<ItemList>()),
      item_ids(std::make_shared<RwLocked<Bitmap>>()),
      parent_links(std::make_shared<RwLocked<M2MU32>>()),
      parent(std::move(parent_index)) {}

const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC() {
  static const std::shared_ptr<IndexAPI> placeholder = IndexAPI::create();
  return placeholder;
}

void IndexAPI::add_indexable(const StoredIndexable& object) {
  const IndexableCore& core = *object.owned_handle;
  append_membership(core, weak_from_this());
  // Lock order: the object's membership list (released above), then its attribute map, then this index.
  std::unique_lock attributes(core.attributes->mutex);
  add_object(core.id, object.python_handle, object.owned_handle, std::move(attributes));
}

void IndexAPI::add_object(uint32_t id, SharedPyRef python_handle, std::shared_ptr<const IndexableCore> owned_handle,
                          std::unique_lock<std::mutex> attributes_guard) {
  StoredItem replaced;
  bool already_present = false;
  {
    // Both write locks at once (item_ids, then items): a reader never meets an id whose item is not stored yet.
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    replaced = items->value.put(id, StoredItem{std::move(python_handle), owned_handle});
    already_present = item_ids->value.contains(id);
    item_ids->value.add(id);
  }
  // Writes reach every index the object is in, so the values of an object already here are current: registering
  // them again would only count them twice.
  if (!already_present) {
    owned_handle->attributes->map.for_each(
        [&](const uint32_t& attribute, const PyValue& value) { add_index(id, attribute, value); });
  }
  attributes_guard.unlock();
}

void IndexAPI::add_index(uint32_t id, uint32_t attribute, const PyValue& value) {
  for (;;) {
    {
      std::shared_lock maps_lock(query_maps->mutex);
      const auto& maps = query_maps->value;
      if (attribute < maps.size() && maps[attribute]) {
        QueryMap& map = *maps[attribute];
        map.insert_value(id, value);
        map.registered.fetch_add(1);
        return;
      }
    }
    // First value of this attribute here. The map is built outside the write lock; the write lock only places it,
    // unless another writer placed one meanwhile. Either way the value is then registered under the read lock above,
    // so concurrent first writers all land in the one placed map.
    std::shared_ptr<QueryMap> fresh = QueryMap::create(weak_from_this());
    {
      std::unique_lock maps_lock(query_maps->mutex);
      auto& maps = query_maps->value;
      if (maps.size() <= attribute) maps.resize(static_cast<size_t>(attribute) + 1);
      if (!maps[attribute]) maps[attribute] = std::move(fresh);
    }
  }
}

void IndexAPI::remove_index(uint32_t id, uint32_t attribute, const PyValue& value) {
  std::shared_ptr<QueryMap> emptied;
  {
    std::shared_lock maps_lock(query_maps->mutex);
    const auto& maps = query_maps->value;
    if (attribute >= maps.size() || !maps[attribute]) return;
    QueryMap& map = *maps[attribute];
    map.remove_value(id, value);
    if (map.registered.fetch_sub(1) > 1) return;
    emptied = maps[attribute];
  }
  // The last value went: reset the attribute, unless a value arrived since (registration runs under the read lock,
  // so under the write lock the count is exact). The old map is destroyed after unlocking.
  std::shared_ptr<QueryMap> dropped;
  {
    std::unique_lock maps_lock(query_maps->mutex);
    auto& slot = query_maps->value[attribute];
    if (slot == emptied && emptied->registered.load() <= 0) dropped = std::move(slot);
  }
}

bool IndexAPI::contains(uint32_t id) const {
  std::shared_lock ids_lock(item_ids->mutex);
  return item_ids->value.contains(id);
}

Bitmap IndexAPI::evaluate(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  std::shared_lock ids_lock(item_ids->mutex);
  return evaluate_query(query_maps->value, item_ids->value, expr);
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
  return FilteredIndexCore{query_maps, items, evaluate(expr)};
}

FilteredIndexCore IndexAPI::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  std::shared_lock ids_lock(item_ids->mutex);
  return FilteredIndexCore{query_maps, items,
                           evaluate_and_queries_vec(query_maps->value, item_ids->value, equalities)};
}

void IndexAPI::register_path(uint32_t left, uint32_t right) {
  std::unique_lock links(parent_links->mutex);
  parent_links->value.register_path(left, right);
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& rights) const {
  std::shared_lock links(parent_links->mutex);
  return parent_links->value.get_parent_from_ids(rights);
}

Bitmap IndexAPI::holders_of(uint32_t right) const {
  std::shared_lock links(parent_links->mutex);
  return parent_links->value.lefts_of(right);
}

void IndexAPI::purge_object(uint32_t id) {
  StoredItem removed;
  {
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    if (!item_ids->value.contains(id)) return;
    removed = items->value.take(id);
    item_ids->value.remove(id);
  }
  // The id left `item_ids` first, so writes to the object no longer reach this index while its values go.
  removed.owned_handle->attributes->map.for_each([&](const uint32_t& attribute, const PyValue& value) { remove_index(id, attribute, value); });
}

}  // namespace vostrel
