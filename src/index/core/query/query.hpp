// QueryMap: every value one attribute holds within one index, stored by kind for set-algebra queries.
//
// Routing: Int/Float -> numeric bit-sliced bitmap (once a broad range needs it); Str -> positional character bitmaps
// (once a text match needs them); Bool -> two sets. Int/Float and Str values are also kept in a value -> id-set map
// beside those structures (same lock), so that an equality costs what its answer costs; the sliced and positional
// structures answer broad ranges and string matching. Ind -> the nested object's id -> holder ids, and the nested
// index; Unknown -> exact map; list/tuple/set -> each element under an element id of its own (element id -> owner id
// in the translation map, element ids in the mask set); dict -> nothing.
//
// Locks (ranked reader-writer, each guarding one structure, at the level of the owning index): positional, numeric,
// bool, mask, translation, objects, and one per exact-map shard (a leaf). Writers take one at a time; a reader that
// builds the positions or the slices takes that structure's lock for writing, alone. Registration never takes an
// object's lock: nested objects are handed back to the caller as tasks (see nested_tasks.hpp).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/core/structures/value_ids/number_column.hpp"
#include "index/core/query/nested_index.hpp"
#include "index/core/query/nested_tasks.hpp"
#include "index/core/query/lazy_part.hpp"
#include "index/core/query/owned_elements.hpp"
#include "index/core/query/text_order.hpp"
#include "index/core/structures/hybrid_set/compact_id_set.hpp"
#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/core/structures/paged_u32_map/paged_u32_map.hpp"
#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"
#include "index/core/structures/shards/hashmap.hpp"
#include "index/core/structures/value_ids/ordered_id_map.hpp"
#include "index/core/structures/value_ids/value_id_map.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/value.hpp"

namespace vostrel {

// Numbers are looked up by their ordered key: 3 and 3.0 (and -0.0 and 0) share one key, exactly as in the numeric
// bitmap, so equality answers the same from either structure.
struct OrderedKeyHash {
  uint64_t operator()(const OrderedKey& key) const noexcept { return fx_hash_u64(key.m ^ (uint64_t{key.e} << 48)); }
};
// Str values only: the key is a copy of the captured value (in place up to 15 bytes, else sharing its record).
struct TextKeyEqual {
  bool operator()(const PyValue& a, const PyValue& b) const { return PyValue::same_text(a, b); }
};
// Text keys hash by the bits a long text keeps in place (see PyValue::short_hash): growing the table re-places every
// key without visiting their records.
struct TextKeyHash {
  uint64_t operator()(const PyValue& value) const noexcept { return value.short_hash(); }
};

class IndexAPI;

class QueryMap : public std::enable_shared_from_this<QueryMap> {
 public:
  using ExactMap = ShardedHashMap<PyValue, CompactIdSet, PyValueStoredHash, std::equal_to<PyValue>, PyValueShortHash>;
  using NumberIds = OrderedIdMap<OrderedKey>;
  using TextIds = ValueIdMap<PyValue, TextKeyHash, TextKeyEqual>;

  // `owner` is the index this map belongs to (an expired or empty weak reference makes a map without a parent), at
  // lock-rank `level` (0 without a parent). Use `create`: the map must be shared-owned for its nested tasks.
  static std::shared_ptr<QueryMap> create(std::weak_ptr<IndexAPI> owner, uint32_t level);
  QueryMap(std::weak_ptr<IndexAPI> owner, uint32_t level);
  ~QueryMap();  // gives the element ids it still owns back to the allocator
  QueryMap(const QueryMap&) = delete;
  QueryMap& operator=(const QueryMap&) = delete;

  // Values of kind Unknown (each its own lock per shard), created with the first such value; also ints beyond 64
  // bits that no ordered key holds exactly (equal to no float, so equality needs no key).
  LazyPart<ExactMap> exact;
  // Set (never cleared) once `exact` may hold such an int: order tests then also walk `exact` for them. Most maps
  // never hold one, and their order tests never look.
  std::atomic<bool> holds_unkeyed{false};
  const std::weak_ptr<IndexAPI> parent;
  // The nested index of Ind values, created by the engine with the first one (ensure_nested, core/nested_work.hpp).
  LazyPart<NestedIndex> nested;
  // Writer gate held to read or write: the tree's budget had no room for `nested` (see NestedIndexBudget), so this
  // map never gets one, and its dotted paths find nothing beyond it.
  bool nesting_refused = false;
  // Writer gate held to read or write: objects of the owning index that hold a nested object here whose link was cut
  // because it closed a cycle on the path that registered them (nested_work.cpp). That path may not last: when such
  // an object loses a holder but stays, its links here are tried again on the paths it still has.
  Bitmap cut_holders;

  // Lock-rank level of the owning index (its nested index sits one level deeper).
  const uint32_t level;

  // The map's structures by lock: each has one ranked lock of its own at the owning index's level (in this order:
  // Text before Numbers, ... before Objects). The locks are the map's own: callers take one through read_lock or
  // write_lock, and hold it while they read or write the fields it guards (named with each field below).
  enum class Part : uint8_t { Text, Numbers, Bools, Mask, Translation, Objects };
  [[nodiscard]] std::shared_lock<RankedSharedMutex> read_lock(Part part) const {
    return std::shared_lock<RankedSharedMutex>(mutex_of(part));
  }
  [[nodiscard]] std::unique_lock<RankedSharedMutex> write_lock(Part part) const {
    return std::unique_lock<RankedSharedMutex>(mutex_of(part));
  }
 private:
  mutable RankedSharedMutex positional_mutex;  // Part::Text, beside what it guards

 public:
  LazyPart<TextIds> text_ids;  // guarded by Part::Text (created with the first string)
  // The per-position byte sets answer prefix, suffix and substring matches, at about two bytes per byte of text
  // (most of an index's memory where strings are long). A map builds them from text_ids for its first such match
  // and keeps them in step from then on: an attribute never matched that way never pays for them. That reader
  // builds them under the write lock, hence mutable.
  mutable PositionalBitmap positional;              // guarded by Part::Text
  mutable std::atomic<bool> positions_kept{false};  // written under Part::Text's write lock
  // The distinct texts in order, made by a prefix query that walks them (see walk_texts): guarded by Part::Text,
  // made under its write lock. Prefix queries that found it out of date since it was last made, counted under the
  // read lock: after a few the next one makes it again (see text_order.hpp).
  mutable TextOrder text_order;
  mutable std::atomic<uint32_t> text_order_misses{0};
 private:
  mutable RankedSharedMutex numeric_mutex;  // Part::Numbers, beside what it guards

 public:
  LazyPart<NumberIds> number_ids;  // guarded by Part::Numbers (created with the first number)
  // An id -> number column derived from number_ids for aggregates over small sets (answers/number_column.hpp).
  NumberColumnSlot number_column;
  // Set for good once any path registers a finite float here: a key does not tell 2 from 2.0, so numbers read back
  // from the keys (min, max, value counts, sums) are floats from then on, ints while the attribute only ever held
  // ints. NaN and the infinities tell themselves apart: an int attribute with NaN for "missing" stays one of ints.
  std::atomic<bool> floats_held{false};
  // Set for good once a -0.0 is registered here: it shares 0's key, so numbers read back from the keys as a column
  // would lose its sign.
  std::atomic<bool> negative_zero_held{false};
  void note_number(const PyValue& value) {
    if (value.kind() != ValueKind::Float) return;
    const double number = value.as_float();
    if (std::isfinite(number)) floats_held.store(true, std::memory_order_relaxed);
    if (number == 0 && std::signbit(number)) negative_zero_held.store(true, std::memory_order_relaxed);
  }
  // The bit slices answer ranges too broad for the ordered entries, at up to a bit per slice per number. As with the
  // positions, a map builds them from number_ids for the first such range (see keep_slices) and keeps them in step
  // from then on: an attribute only compared for equality, or over narrow ranges, never pays for them.
  mutable LazyPart<NumericalBitmap> numeric;     // guarded by Part::Numbers
  mutable std::atomic<bool> slices_kept{false};  // written under Part::Numbers' write lock
 private:
  mutable RankedSharedMutex bool_mutex;  // Part::Bools, beside what it guards

 public:
  Bitmap trues;   // guarded by Part::Bools
  Bitmap falses;  // guarded by Part::Bools
  // Members of iterable values, guarded by Part::Translation: each element id's owner (an object id, or the element
  // id of an enclosing iterable), and per owner its element ids with the captured iterable whose members they
  // registered (removal never re-reads a container that may have changed since). One entry per owner: registering
  // a list costs one hash-table slot, not one per member. Empty iterables have none.
 private:
  mutable RankedSharedMutex translation_mutex;  // Part::Translation, beside what it guards

 public:
  PagedU32Map translation;
  // Owner ids are dense and ascending: mixed fully before the table scales a hash to its capacity.
  struct OwnerHash {
    uint64_t operator()(uint32_t owner) const noexcept { return splitmix64(owner); }
  };
  FlatTable<uint32_t, OwnedElements, OwnerHash, std::equal_to<uint32_t>> owner_elements;
 private:
  mutable RankedSharedMutex mask_mutex;  // Part::Mask, beside what it guards

 public:
  Bitmap mask;  // guarded by Part::Mask
  // Ind values: each nested object's process-wide id -> the ids holding it. An object's id is its own while it lives,
  // and a held object lives, so the id stands for the object: a 12-byte slot, where an exact-map entry keeping a
  // copy of the value took 25, for each of a million nested objects. Created with the first one.
  struct ObjectIdHash {
    uint64_t operator()(uint32_t object) const noexcept { return object; }  // the table mixes it
  };
  using ObjectIds = ValueIdMap<uint32_t, ObjectIdHash, std::equal_to<uint32_t>>;
 private:
  mutable RankedSharedMutex objects_mutex;  // Part::Objects, beside what it guards

 public:
  LazyPart<ObjectIds> object_ids;  // guarded by Part::Objects

  // Number of ids holding a value here (elements not counted). The owning index resets the map when it drops to 0;
  // only writers change it, and writers hold the writer gate, so the count is exact.
  std::atomic<int64_t> registered{0};

  // Routes one value of `id` into the structure of its kind / removes it from there again. Nested Indexable values
  // (also as members of iterables) are entered in the exact map here and handed back as tasks in `work`.
  void insert_value(uint32_t id, const PyValue& value, NestedWork& work);
  void remove_value(uint32_t id, const PyValue& value, NestedWork& work);

  void insert_num_ordered(OrderedKey key, uint32_t id);
  void remove_num_ordered(OrderedKey key, uint32_t id);
  // `value` is a Str.
  void insert_str(const PyValue& value, uint32_t id);
  void remove_str(const PyValue& value, uint32_t id);
  void insert_bool(bool flag, uint32_t id);
  void remove_bool(bool flag, uint32_t id);
  void insert_exact(const PyValue& value, uint32_t id);
  void remove_exact(const PyValue& value, uint32_t id);
  // `value` is an Ind.
  void insert_object(const PyValue& value, uint32_t id);
  void remove_object(const PyValue& value, uint32_t id);
  // The key of an Ind value in object_ids.
  static uint32_t object_key(const PyValue& value);
  // Registers the captured members of a list/tuple/set under fresh element ids owned by `owner`. On a failure
  // halfway the owner's entry stays for the caller's remove_iterable, which also takes the members not registered
  // yet (removing a value an id does not hold changes nothing).
  void insert_iterable(const PyValue& value, uint32_t owner, NestedWork& work);
  void remove_iterable(uint32_t owner, NestedWork& work);

  // Set-wise operations over whole maps (query_prune.cpp, query_merge.cpp). No index or object
  // lock held.
  //
  // Keeps the registrations of the objects in `keep` and of the members they hold (members of members included);
  // every other member goes from every structure and its id back to the allocator. Exact-map entries left empty
  // go. The values let go (exact-map keys, member records) are moved to `released`, so that their last references
  // drop once no lock is held. The nested index forgets the pairs whose holder went; pruning its objects to the
  // holders still linked is the caller's part (IndexAPI::prune).
  // `keep` tests ids one by one where entries are filtered singly; built once per prune for every map.
  void keep_only(const GateHeld& gate, const IdFilter& keep, std::vector<PyValue>& released);
  // Registers here what `other` (the map of the same attribute in another index) holds for the objects `incoming`
  // (objects of that index this one does not hold), as if each had been added. `filter` false promises that
  // other's structures hold nothing but incoming objects (no members, no other objects), so they are ORed whole.
  // Members get element ids of this map (see query_merge.cpp); their nested objects are registered before
  // returning. The nested index is the caller's part (IndexAPI::merge).
  void merge_from(const GateHeld& gate, const QueryMap& other, const Bitmap& incoming, bool filter,
                  NestedWorkRunner run_nested_work);

  // Narrows the matches `result` to what they stand for within `allowed`: an element id as the object that
  // (transitively) owns it, any other id as itself. Owners are kept only when `allowed` holds them, so the answer
  // never leaves `allowed`: a view may still list the id of an object that died since, and a member of this map may
  // have been given that id; it stands for its owner then, never for an object the view held.
  void resolve_members(Bitmap& result, const Bitmap& allowed) const;
  // Takes every element id out of `result`, resolving none (order tests see numbers held directly).
  void drop_members(Bitmap& result) const;

  // The attribute-map lock of `object` held, no index lock: a Link task for every nested object
  // that `value` (the object's value here) holds, with the holder ids its registration gave them (members of
  // iterables by their element ids). Linking a registered pair again changes nothing.
  void link_again(const GateHeld& gate, uint32_t object, const PyValue& value, NestedWork& work);

  // Write lock of the structure held (numeric / positional): the value -> id-set entries, kept in step with the
  // numeric and positional structures by every writer, the bulk writer included.
  void add_number_id(OrderedKey key, uint32_t id) { number_ids.ensure().add(key, id); }
  void remove_number_id(OrderedKey key, uint32_t id) {
    if (NumberIds* ids = number_ids.get()) ids->remove(key, id);
  }
  // Positional write lock held: builds the positions from text_ids unless the map keeps them already, and keeps
  // them from then on. Throws (nothing changed) when memory runs out.
  void keep_positions() const;
  // Positional write lock held, positions kept: puts the strings of `texts` (those of ids `only` holds, all without
  // it) into them, in id order.
  void add_positions(const TextIds& texts, const Bitmap* only) const;

  // Numeric write lock held: the same for the bit slices, from number_ids.
  void keep_slices() const;
  void add_slices(const NumberIds& numbers, const Bitmap* only) const;

  void add_text_id(const PyValue& value, uint32_t id) { text_ids.ensure().add(value, id); }
  void remove_text_id(const PyValue& value, uint32_t id) {
    if (TextIds* ids = text_ids.get()) ids->remove(value, id);
  }

  // Numeric key of an Int or Float value.
  static OrderedKey key_of(const PyValue& value);

 private:
  RankedSharedMutex& mutex_of(Part part) const noexcept {
    switch (part) {
      case Part::Text: return positional_mutex;
      case Part::Numbers: return numeric_mutex;
      case Part::Bools: return bool_mutex;
      case Part::Mask: return mask_mutex;
      case Part::Translation: return translation_mutex;
      default: return objects_mutex;
    }
  }
};

}  // namespace vostrel
