// IndexAPI: the engine object behind every Index and every nested index.
//
// Five shared parts, each with its own lock, so views (FilteredIndex) and nested value maps can keep some parts alive
// on their own: `query_maps` (one value map per interned attribute name; a null slot is an attribute without values),
// `items` (the object store, position = object id), `item_ids` (ids present), `parent_links` (for a nested index, the
// pairs outer-object id -> nested-object id) and `parent` (weak link to the outer index of a nested one).
//
// Lock order, outer first: an object's membership list, the object's attribute map, `query_maps`, the parts of one
// value map, then the nested index's locks in the same order, and the interpreter lock innermost of all. `item_ids`
// and `items` are taken inside `query_maps` by readers and on their own (released at once) by insertion; insertion
// takes `item_ids` before `items`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/item_store.hpp"
#include "index/core/locked.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/m2m/m2m_u32.hpp"
#include "index/indexable.hpp"
#include "index/value.hpp"

namespace vostrel {

class QueryMap;
struct QueryExpr;
struct FilteredIndexCore;

using QueryMapList = RwLocked<std::vector<std::shared_ptr<QueryMap>>>;
using ItemList = RwLocked<ItemStore<StoredItem>>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  // A new empty index; `parent` is the outer index when this is the nested index of a value map.
  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});
  explicit IndexAPI(std::weak_ptr<IndexAPI> parent);

  const std::shared_ptr<QueryMapList> query_maps;
  const std::shared_ptr<ItemList> items;
  const std::shared_ptr<RwLocked<Bitmap>> item_ids;
  const std::shared_ptr<RwLocked<M2MU32>> parent_links;
  const std::weak_ptr<IndexAPI> parent;
  // For a nested index: the value map that owns it (set once by the map, before the index is shared). Used to turn
  // holder ids that are element ids of an iterable back into the objects that own them.
  std::weak_ptr<const QueryMap> owner_map;

  // Adds a Python Indexable: records this index in the object's membership list, then stores it and registers its
  // attributes under the object's attribute-map lock. Interpreter lock released; no engine or object lock held.
  void add_indexable(const StoredIndexable& object);

  // Stores one object and registers every attribute it has. `attributes_guard` holds the object's attribute-map lock
  // and is released on return. An id already present keeps its registrations (writes keep them current).
  void add_object(uint32_t id, SharedPyRef python_handle, std::shared_ptr<const IndexableCore> owned_handle,
                  std::unique_lock<std::mutex> attributes_guard);

  // Registers / unregisters one attribute value of one object. Callers hold the object's attribute-map lock (so the
  // value cannot change underneath) and no lock of this index.
  void add_index(uint32_t id, uint32_t attribute, const PyValue& value);
  void remove_index(uint32_t id, uint32_t attribute, const PyValue& value);

  // Whether `id` is stored here. Under the object's attribute-map lock this also tells whether its values are
  // registered here (insertion stores the id and registers the values under that lock).
  bool contains(uint32_t id) const;

  // Query entry point: the ids of this index matching `expr`, with new shares of `query_maps` and `items`.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  // The ids of this index matching `expr` (locks `query_maps`, then `item_ids`, for reading).
  Bitmap evaluate(const QueryExpr& expr) const;
  // Conjunction of equality tests (keyword selection) over this index's ids.
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  // Calls `visit(item_ids, items)` with both read-locked (in that order) and returns its result.
  template <class F>
  auto with_stored(F&& visit) const {
    std::shared_lock ids_lock(item_ids->mutex);
    std::shared_lock items_lock(items->mutex);
    return visit(std::as_const(item_ids->value), std::as_const(items->value));
  }

  // Nested-index links (this index's `parent_links`): record / drop one holder -> nested-object pair, and map
  // nested-object ids to their holders.
  void register_path(uint32_t left, uint32_t right);
  Bitmap get_parent_from_ids(const Bitmap& rights) const;
  Bitmap holders_of(uint32_t right) const;

  // Removes a nested object that lost its last holder from this (nested) index: its store entry, its id and every
  // value it registered. Caller holds the object's attribute-map lock, so no holder can register it again meanwhile.
  void purge_object(uint32_t id);
};

// The shared placeholder index: dead membership records sort as if they referred to it.
const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();

}  // namespace vostrel
