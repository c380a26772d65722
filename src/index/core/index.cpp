// IndexAPI: object store, id set, value maps and nested-index links of one index.
#include "index/core/index.hpp"

#include <utility>

#include "index/core/filtered_index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/writer_gate.hpp"
#include "index/types.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {


std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
  std::shared_ptr<IndexAPI> made = std::make_shared<IndexAPI>(std::move(parent));
  if (made->level == 0) made->nested_budget->set_root(made);
  return made;
}

namespace {
uint32_t level_below(const std::weak_ptr<IndexAPI>& parent) {
  std::shared_ptr<IndexAPI> live = parent.lock();
  return live ? live->level + 1 : 0;
}

std::shared_ptr<NestedIndexBudget> budget_of_tree(const std::weak_ptr<IndexAPI>& parent) {
  std::shared_ptr<IndexAPI> live = parent.lock();
  return live ? live->nested_budget : std::make_shared<NestedIndexBudget>();
}
}  // namespace

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent_index)
    : level(level_below(parent_index)),
      query_maps(std::make_shared<RwLocked<QueryMaps>>(lock_rank::at_level(level, lock_rank::QUERY_MAPS))),
      items(std::make_shared<ItemList>(lock_rank::at_level(level, lock_rank::ITEMS))),
      item_ids(std::make_shared<RwLocked<Bitmap>>(lock_rank::at_level(level, lock_rank::ITEM_IDS))),
      parent_links(std::make_shared<RwLocked<M2MU32>>(lock_rank::at_level(level, lock_rank::PARENT_LINKS))),
      parent(std::move(parent_index)),
      nested_budget(budget_of_tree(parent)) {}

const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC() {
  static const std::shared_ptr<IndexAPI> placeholder = IndexAPI::create();
  return placeholder;
}

void IndexAPI::add_indexable(const StoredIndexable& object) {
  WriterGate gate;
  add_indexable_gated(gate, object);
}

void IndexAPI::add_indexable_gated(const GateHeld& gate, const StoredIndexable& object) {
  const IndexableCore& core = object.core();
  // Membership first is safe under the gate: every writer of an indexed object waits for the gate, and a write that
  // follows finds the object stored.
  const bool new_member = append_membership(core, weak_from_this());
  NestedWork work;
  try {
    std::lock_guard attributes(core.attributes->mutex);
    store_object(gate, core.id, object.python_handle, *core.attributes, work);
  } catch (...) {
    // store_object left the index as it was; the membership record goes too (after the attribute lock, as the
    // list's lock ranks above it).
    if (new_member) remove_membership(core, shared_from_this());
    throw;
  }
  try {
    (void)run_nested_work(gate, work, core.id);  // adding makes links only
  } catch (...) {
    // A link failed: the object goes again, and with its values the links made so far (their unlinks).
    const UnsettledChange unsettled(gate, *this);
    unstore_object(gate, core.id);
    let_go_values(gate, core);
    throw;
  }
}

std::vector<StoredIndexable> stored_objects(const Bitmap& ids, const ItemStore<StoredItem>& store,
                                            const Bitmap* hidden) {
  std::vector<StoredIndexable> found;
  found.reserve(ids.cardinality());
  for (uint32_t id : ids) {
    if (hidden != nullptr && hidden->contains(id)) continue;
    const StoredItem* item = store.find(id);
    if (item != nullptr) found.push_back(*item);
  }
  return found;
}

bool IndexAPI::store_object(const GateHeld& gate, uint32_t id, SharedPyRef python_handle,
                            const AttributeMap& attributes, NestedWork& work) {
  StoredItem replaced;
  {
    // Both write locks at once (item_ids, then items): a reader never meets an id whose item is not stored yet.
    std::unique_lock ids_lock(item_ids->mutex);
    std::unique_lock items_lock(items->mutex);
    if (item_ids->value.contains(id)) return false;
    // A nested index keeps the handle of the value that links the object: an index copy (see SharedPyRef).
    if (level > 0) python_handle.add_index_copy();
    if (level == 0) items->history.stored(id);
    replaced = items->value.put(id, StoredItem{std::move(python_handle)});
    add_rising_id(item_ids->value, id);
  }
  const size_t tasks_before = work.size();
  size_t registered_count = 0;
  try {
    attributes.map.for_each([&](const uint32_t& attribute, const PyValue& value) {
      add_index(gate, id, attribute, value, work);
      ++registered_count;
    });
  } catch (...) {
    // Nothing half-registered stays behind: the attributes registered so far (a failed add_index cleans up after
    // itself) go again, then the item.
    work.erase(work.begin() + static_cast<std::ptrdiff_t>(tasks_before), work.end());
    NestedWork discarded;
    size_t undone = 0;
    attributes.map.for_each([&](const uint32_t& attribute, const PyValue& value) {
      if (undone++ < registered_count) remove_index(gate, id, attribute, value, discarded);
    });
    unstore_object(gate, id);
    throw;
  }
  return true;
}

StoredItem IndexAPI::unstore_object(const GateHeld& /*gate*/, uint32_t id) {
  std::unique_lock ids_lock(item_ids->mutex);
  std::unique_lock items_lock(items->mutex);
  if (!item_ids->value.contains(id)) return StoredItem{};
  item_ids->value.remove(id);
  if (++ids_removed_since_compaction >= ID_SET_REMOVALS_PER_COMPACTION) {
    compact_id_set(item_ids->value);
    ids_removed_since_compaction = 0;
  }
  StoredItem removed = items->value.take(id);
  if (level > 0) removed.python_handle.remove_index_copy();
  return removed;
}

IndexAPI::~IndexAPI() {
  if (level == 0) return;
  // Views never share a nested index's store, so its index copies end here.
  items->value.for_each([](uint32_t, const StoredItem& item) { item.python_handle.remove_index_copy(); });
}

std::shared_ptr<QueryMap> IndexAPI::map_at(uint32_t attribute) const {
  std::shared_lock maps_lock(query_maps->mutex);
  return query_maps->value.at(attribute);
}

std::shared_ptr<QueryMap> IndexAPI::map_for(const GateHeld& /*gate*/, uint32_t attribute) {
  if (std::shared_ptr<QueryMap> existing = map_at(attribute)) return existing;
  // First value of this attribute here. Only writers place maps and writers hold the gate, so nobody places one
  // meanwhile; the map is built outside the list's write lock, which only places it.
  std::shared_ptr<QueryMap> map = QueryMap::create(weak_from_this(), level);
  std::unique_lock maps_lock(query_maps->mutex);
  query_maps->value.place(attribute, map);
  return map;
}

void IndexAPI::add_index(const GateHeld& gate, uint32_t id, uint32_t attribute, const PyValue& value, NestedWork& work) {
  std::shared_ptr<QueryMap> map = map_for(gate, attribute);
  // Counted first, so that a registration that fails halfway can be taken back through remove_value.
  map->registered.fetch_add(1);
  const size_t tasks_before = work.size();
  try {
    map->insert_value(id, value, work);
  } catch (...) {
    work.erase(work.begin() + static_cast<std::ptrdiff_t>(tasks_before), work.end());
    NestedWork discarded;
    map->remove_value(id, value, discarded);
    map->registered.fetch_sub(1);
    throw;
  }
}

void IndexAPI::remove_index(const GateHeld& /*gate*/, uint32_t id, uint32_t attribute, const PyValue& value,
                            NestedWork& work) {
  std::shared_ptr<QueryMap> map = map_at(attribute);
  if (!map) return;
  map->remove_value(id, value, work);
  if (map->registered.fetch_sub(1) > 1) return;
  // The last value went: reset the attribute. The old map is destroyed after unlocking (tasks may still hold it).
  std::shared_ptr<QueryMap> dropped;
  std::unique_lock maps_lock(query_maps->mutex);
  dropped = query_maps->value.take_if(attribute, map.get());
}

void IndexAPI::replace_index(const GateHeld& gate, uint32_t id, uint32_t attribute, const PyValue& old, const PyValue& value,
                             NestedWork& work) {
  const auto is_number = [](const PyValue& v) { return v.kind() == ValueKind::Int || v.kind() == ValueKind::Float; };
  if (is_number(old) && is_number(value)) {
    if (std::shared_ptr<QueryMap> map = map_at(attribute)) {
      auto lock = map->write_lock(QueryMap::Part::Numbers);
      map->note_number(value);
      if (map->number_ids.get() != nullptr) {
        const OrderedKey from = QueryMap::key_of(old);
        const OrderedKey to = QueryMap::key_of(value);
        if (from == to) return;
        // Added first: if that fails (memory), nothing has moved yet.
        map->add_number_id(to, id);
        try {
          map->remove_number_id(from, id);
          if (map->slices_kept.load(std::memory_order_relaxed)) map->numeric.ensure().move(from, to, id);
        } catch (...) {
          // Only making the slices can fail (memory), before any bit moves: the id goes back to its old key.
          map->add_number_id(from, id);
          map->remove_number_id(to, id);
          throw;
        }
        return;
      }
    }
  }
  remove_index(gate, id, attribute, old, work);
  try {
    add_index(gate, id, attribute, value, work);
  } catch (...) {
    // A failed add_index leaves nothing behind; the old value goes back (its nested tasks were never run).
    NestedWork discarded;
    add_index(gate, id, attribute, old, discarded);
    throw;
  }
}

bool IndexAPI::contains(uint32_t id) const {
  std::shared_lock ids_lock(item_ids->mutex);
  return item_ids->value.contains(id);
}

// `item_ids` read-locked by the caller: `evaluate(scope)` over the whole index. While no change is unsettled, the
// leaves answer without cutting their matches to the ids. A change that begins meanwhile is seen once the evaluation
// ends, and the answer is cut then: a batch or union puts its values in before its ids, which it cannot publish while
// the ids are read-locked here, so it is still counted; a removal cannot take ids out until then.
template <class Evaluate>
Bitmap IndexAPI::evaluate_whole(Evaluate&& evaluate) const {
  const Bitmap& ids = item_ids->value;
  const bool covered = unsettled_changes.load() == 0;
  Bitmap matched = evaluate(QueryScope(ids, covered));
  if (covered && unsettled_changes.load() != 0) matched &= ids;
  return matched;
}

Bitmap IndexAPI::evaluate(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  std::shared_lock ids_lock(item_ids->mutex);
  return evaluate_whole([&](QueryScope scope) { return evaluate_query(query_maps->value, scope, expr); });
}

// A view's mark is taken with item_ids still read-locked: an object stored after the ids the query started from is
// stored after the mark, so an object at a reused id never counts as one the view matched.
FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  std::shared_lock ids_lock(item_ids->mutex);
  Bitmap matched = evaluate_whole([&](QueryScope scope) { return evaluate_query(query_maps->value, scope, expr); });
  return FilteredIndexCore{query_maps, items, std::move(matched), items->history.mark()};
}

FilteredIndexCore IndexAPI::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  std::shared_lock ids_lock(item_ids->mutex);
  Bitmap matched = evaluate_whole(
      [&](QueryScope scope) { return evaluate_and_queries_vec(query_maps->value, scope, equalities); });
  return FilteredIndexCore{query_maps, items, std::move(matched), items->history.mark()};
}

Bitmap IndexAPI::get_parent_from_ids(const Bitmap& rights) const {
  std::shared_lock links(parent_links->mutex);
  return parent_links->value.get_parent_from_ids(rights);
}

void IndexAPI::keep_holders(const GateHeld& /*gate*/, const Bitmap& kept_holders) {
  std::unique_lock links(parent_links->mutex);
  parent_links->value.keep_lefts(kept_holders);
}


}  // namespace vostrel
