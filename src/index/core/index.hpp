// IndexAPI: the engine object behind every Index and every nested index.
//
// Five shared parts, each with its own lock, so views (FilteredIndex) and nested value maps can keep some parts alive
// on their own: `query_maps` (one value map per interned attribute name the objects have values for),
// `items` (the object store, position = object id), `item_ids` (ids present), `parent_links` (for a nested index, the
// pairs outer-object id -> nested-object id) and `parent` (weak link to the outer index of a nested one).
//
// Locks: each part carries a ranked lock at this index's level (see locks/lock_order.hpp for the whole hierarchy).
// Readers take `query_maps`, then `item_ids`, then `items`; every change runs under the process-wide writer gate.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/item_store.hpp"
#include "index/core/structures/locks/locked.hpp"
#include "index/core/nested_budget.hpp"
#include "index/core/nested_work.hpp"
#include "index/core/query/nested_index.hpp"
#include "index/core/structures/locks/gate_held.hpp"
#include "index/core/query/query_maps.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/m2m/m2m_u32.hpp"
#include "index/core/structures/put_history/put_history.hpp"
#include "index/object_record.hpp"
#include "index/value.hpp"

namespace vostrel {

class QueryMap;
struct QueryExpr;
struct FilteredIndexCore;
class UnsettledChange;

// An index's object store, with what its views need to tell a later object at a reused id from the one they listed.
struct ItemList : RwLocked<ItemStore<StoredItem>> {
  using RwLocked::RwLocked;
  PutHistory history;  // recorded by the top-level store only: views never share a nested index's store
};

// The one implementation of the value maps' NestedIndex (final: calls through IndexAPI need no dispatch).
class IndexAPI final : public std::enable_shared_from_this<IndexAPI>, public NestedIndex {
 public:
  // A new empty index; `parent` is the outer index when this is the nested index of a value map.
  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});
  explicit IndexAPI(std::weak_ptr<IndexAPI> parent);
  ~IndexAPI();

  // Nesting depth: 0 for a top-level index, one more than its outer index for a nested one. Places this index's
  // locks in the hierarchy.
  const uint32_t level;
  const std::shared_ptr<RwLocked<QueryMaps>> query_maps;
  const std::shared_ptr<ItemList> items;
  const std::shared_ptr<RwLocked<Bitmap>> item_ids;
  const std::shared_ptr<RwLocked<M2MU32>> parent_links;
  // Single removals since `item_ids` was last compacted; changed only with `item_ids` write-locked.
  uint32_t ids_removed_since_compaction = 0;
  // Changes under way, or left to the next writer, during which a value map may hold ids that `item_ids` does not: a
  // removal between its ids and its values, a batch or union between its values and its ids, a prune or repair not
  // yet finished. While there are none, every id the maps hold is in `item_ids`, so a query over the whole index
  // need not cut its matches to it. Counted by UnsettledChange under the writer gate; read with `item_ids`
  // read-locked.
  std::atomic<uint32_t> unsettled_changes{0};
  const std::weak_ptr<IndexAPI> parent;
  // Shared by every index of one tree (the outer index's, or a new one for a top-level index).
  const std::shared_ptr<NestedIndexBudget> nested_budget;
  // Writer gate held to read or write: some value map here has recorded a link cut as a cycle (QueryMap::cut_holders),
  // so an object that loses a holder but stays has its maps looked at. Most indexes never cut one.
  bool cut_links_recorded = false;
  // Writer gate held to read or write: the value map whose nested index this is (empty for a top-level index).
  std::weak_ptr<QueryMap> owner_map;

  // Adds a Python Indexable: takes the writer gate, records this index in the object's membership list, stores the
  // object and registers its attributes, then registers its nested objects. Interpreter lock released; no engine or
  // object lock held. On failure (MemoryError) the index is left as it was.
  void add_indexable(const StoredIndexable& object);

  // Adds a batch of Python Indexables with the same outcome as add_indexable for each in turn (an object met twice,
  // or already held, is stored once), registering values in groups per chunk of objects and the nested objects of a
  // few chunks as one batch per nested index. Interpreter lock released; no engine or object lock held. On failure
  // (MemoryError) the batch leaves nothing behind: the objects it stored go again, with the nested objects they linked.
  void add_indexables(const std::vector<StoredIndexable>& objects);
  // The same with the writer gate already held by the caller.
  void add_indexables_gated(const GateHeld& gate, const std::vector<StoredIndexable>& objects);

  // The lock of `attributes` (the object's attribute map) held, no index lock held: stores one object and registers
  // every attribute it has, nested objects as tasks in `work`. Returns false (registering nothing) when the id was
  // already stored: writes keep its registrations current.
  bool store_object(const GateHeld& gate, uint32_t id, SharedPyRef python_handle,
                    const AttributeMap& attributes, NestedWork& work);
  // Takes `id` out of `item_ids` and the store; returns the removed item (placeholder if absent).
  StoredItem unstore_object(const GateHeld& gate, uint32_t id);

  // The object's attribute-map lock held, no index lock held: registers / unregisters one attribute
  // value of one object; nested objects become tasks in `work`.
  void add_index(const GateHeld& gate, uint32_t id, uint32_t attribute, const PyValue& value, NestedWork& work);
  void remove_index(const GateHeld& gate, uint32_t id, uint32_t attribute, const PyValue& value, NestedWork& work);
  // The value map of `attribute`, or null. Takes `query_maps` for reading.
  std::shared_ptr<QueryMap> map_at(uint32_t attribute) const;
  // The value map of `attribute`, placed (empty) when there is none yet.
  std::shared_ptr<QueryMap> map_for(const GateHeld& gate, uint32_t attribute);
  // Same contract: replaces `old` by `value`. Two numbers move the id only in the numeric slices whose key bit
  // differs; anything else is remove_index then add_index. On failure (MemoryError) `old` is registered again and
  // `value` is not, as before the call.
  void replace_index(const GateHeld& gate, uint32_t id, uint32_t attribute, const PyValue& old, const PyValue& value, NestedWork& work);

  // Whether `id` is stored here. Under the writer gate this also tells whether its values are registered here.
  bool contains(uint32_t id) const;

  // Query entry point: the ids of this index matching `expr`, with new shares of `query_maps` and `items`.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  // The ids of this index matching `expr` (locks `query_maps`, then `item_ids`, for reading).
  Bitmap evaluate(const QueryExpr& expr) const override;
  // Conjunction of equality tests (keyword selection) over this index's ids.
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  // Calls `visit(item_ids, items)` with both read-locked (in that order) and returns its result. `visit` must not
  // run Python code or take any other lock.
  template <class F>
  auto with_stored(F&& visit) const {
    std::shared_lock ids_lock(item_ids->mutex);
    std::shared_lock items_lock(items->mutex);
    return visit(std::as_const(item_ids->value), std::as_const(items->value));
  }

  // Nested-index links (this index's `parent_links`): map nested-object ids to their holders.
  Bitmap get_parent_from_ids(const Bitmap& rights) const override;
  // Drops the links of holders outside `kept_holders` (takes `parent_links`).
  void keep_holders(const GateHeld& gate, const Bitmap& kept_holders) override;

  // Takes a live object out of this index under the writer gate: store entry, id, values (and the elements of its
  // iterables), membership record; nested objects it alone linked leave the nested indexes. False if not held. Never
  // raises once the object is found: a full memory while its nested objects go leaves a repair to the next writer.
  bool remove_object(const IndexableCore& core);
  // No lock held, the object already out of `item_ids` and the store: its membership record, its
  // values and the nested objects only it linked go. Never fails: what a full memory leaves is out of reach of every
  // answer, and the next writer repairs it (defer_repair).
  void let_go_values(const GateHeld& gate, const IndexableCore& core) noexcept;

  // No object or index lock held: what add_indexable does inside the gate.
  void add_indexable_gated(const GateHeld& gate, const StoredIndexable& object);
  // Keeps only the objects matching every equality; the others leave as with remove_object (index_reduce.cpp). A
  // reduce dropping many objects takes them out of the ids and the store only, and leaves the rest of the prune to
  // the writer gate's next holder (writer_gate.hpp); so does one whose prune met a full memory twice. MemoryError
  // only before the dropped objects leave: then nothing changed.
  void reduce(const std::vector<QueryExpr>& equalities);
  // Adds every object of `other` not held here, exactly as add_indexable would; `other` is only read (index_union.cpp).
  void union_with(const IndexAPI& other);
  // What a set-wise prune let go, to be released once no index lock is held (index_prune.cpp).
  struct PruneLog {
    struct Dropped {
      std::shared_ptr<IndexAPI> index;
      std::vector<StoredItem> items;
    };
    std::vector<PyValue> released;                  // exact-map keys and member records that went
    std::vector<std::shared_ptr<QueryMap>> reset;   // value maps left without values
  };
  // No index or object lock held: keeps only the objects in `keep`, set-wise: `removed` (the
  // held objects outside `keep`) leave the store and `item_ids`, every value map is narrowed to the kept objects and
  // their members, nested indexes to the nested objects still linked from a kept holder (recursively). Value counts
  // are recomputed from the smaller side; maps left without values are reset. The objects that left let go of each
  // index (let_go), so later writes to them stop reaching it. A large prune narrows the value maps on two threads.
  // `exact_counts` recounts from the kept objects whatever their number (undoing a failed merge, whose counts are
  // only partly applied).
  // Items lock taken: takes the stored items of `removed` out of the store (ids not stored are skipped).
  std::vector<StoredItem> take_stored(const Bitmap& removed);
  // `taken`, when given, holds the stored items of `removed`, which already left the store and `item_ids`.
  void prune(const GateHeld& gate, const Bitmap& keep, const Bitmap& removed, PruneLog& log, bool exact_counts = false,
             std::vector<StoredItem>* taken = nullptr);
  // No index or object lock held: the deferred rest of a reduce's prune (writer_gate.hpp), whose
  // `removed` objects left `item_ids` and the store (`taken` holds their items); clears `leaving`.
  void finish_prune(const GateHeld& gate, const Bitmap& removed, std::vector<StoredItem>& taken, PruneLog& log, bool exact_counts);
  // No index or object lock held: registers the objects `incoming` of `other` (held there, not
  // here) set-wise, nested objects included (recursively), with their membership records. The new objects' items, per
  // index, go to `added`, to be dropped once the gate is released (IndexAPI::union_with, index_union.cpp). Each index
  // merged into counts an unsettled change in `unsettled`, which the caller keeps until the union is whole or undone.
  void merge(const GateHeld& gate, const IndexAPI& other, const Bitmap& incoming, std::vector<PruneLog::Dropped>& added,
             std::vector<UnsettledChange>& unsettled);

  // A new top-level index holding the objects a view lists (ids whose object left the store are skipped).
  static std::shared_ptr<IndexAPI> rebase(const FilteredIndexCore& view);

 private:
  template <class Evaluate>
  Bitmap evaluate_whole(Evaluate&& evaluate) const;
};

// Counts one unsettled change of an index (IndexAPI::unsettled_changes) while it lives. Movable, so that a change
// left to the next writer carries its count until it is finished.
class UnsettledChange {
 public:
  UnsettledChange(const GateHeld& /*gate*/, IndexAPI& index) noexcept : index_(&index) {
    index_->unsettled_changes.fetch_add(1);
  }
  UnsettledChange(UnsettledChange&& other) noexcept : index_(std::exchange(other.index_, nullptr)) {}
  UnsettledChange& operator=(UnsettledChange&&) = delete;
  ~UnsettledChange() {
    if (index_ != nullptr) index_->unsettled_changes.fetch_sub(1);
  }

 private:
  IndexAPI* index_;
};

// Copies of the records of the objects stored at `ids` (ids whose object left the store are skipped). Call with the
// store read-locked, e.g. through with_stored; touches only shared counts.
std::vector<StoredIndexable> stored_objects(const Bitmap& ids, const ItemStore<StoredItem>& store,
                                            const Bitmap* hidden);

// No index lock held: lets the objects that left one index go, one object at a time: the index's
// record leaves the object's membership list (one object's lock at a time) and the stored item is dropped, its
// Python reference queued with the others in one batch. Empties `group.items`.
void let_go(const GateHeld& gate, IndexAPI::PruneLog::Dropped& group);

// How many objects a reduce must drop before it leaves the rest of its prune to later (writer_gate.hpp); for tests.
// Returns the number it replaces.
#ifdef VOSTREL_TEST_HOOKS
uint64_t set_defer_prunes_from(uint64_t objects);
#endif

// Per position of `maps`, how many of `objects` hold a value for its attribute (a prune's or a merge's value counts).
// Each object's attribute map is locked on its own; no index lock may be held.
std::vector<int64_t> count_attributes(const std::vector<const StoredItem*>& objects, const QueryMaps& maps);

// The shared placeholder index: dead membership records sort as if they referred to it.
const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();

}  // namespace vostrel
