// QueryMap: every value one attribute holds within one index, stored by kind for set-algebra queries.
//
// Routing: Int/Float -> numeric bit-sliced bitmap; Str -> positional character bitmaps; Bool -> two sets;
// Ind -> exact map + nested index; Unknown -> exact map; list/tuple/set -> each element under an element id of its
// own (element id -> owner id in the translation map, element ids in the mask set); dict -> nothing.
//
// Locks (reader-writer, each guarding one structure): positional, numeric, bool, translation, mask, and one per
// exact-map shard. When several are held at once the order is positional, numeric, bool; translation and mask are
// never held together.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/core/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/core/structures/paged_u32_map/paged_u32_map.hpp"
#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"
#include "index/core/structures/shards/hashmap.hpp"
#include "index/fx_hash.hpp"
#include "index/value.hpp"

namespace vostrel {

class QueryMap {
 public:
  using ExactMap = ShardedHashMap<PyValue, HybridSet, PyValueStoredHash>;

  // `owner` is the index this map belongs to; an expired or empty weak reference makes a map without a parent.
  // Use `create`: it also links the nested index back to its map.
  static std::shared_ptr<QueryMap> create(std::weak_ptr<IndexAPI> owner);
  explicit QueryMap(std::weak_ptr<IndexAPI> owner);
  ~QueryMap();  // gives the element ids it still owns back to the allocator
  QueryMap(const QueryMap&) = delete;
  QueryMap& operator=(const QueryMap&) = delete;

  ExactMap exact{16};
  const std::weak_ptr<IndexAPI> parent;
  const std::shared_ptr<IndexAPI> nested;
  const std::shared_ptr<ItemList> items;

  mutable std::shared_mutex positional_mutex;
  PositionalBitmap positional;  // guarded by positional_mutex
  mutable std::shared_mutex numeric_mutex;
  NumericalBitmap numeric;  // guarded by numeric_mutex
  mutable std::shared_mutex bool_mutex;
  Bitmap trues;   // guarded by bool_mutex
  Bitmap falses;  // guarded by bool_mutex
  // Members of iterable values, guarded by translation_mutex: each element id's owner (an object id, or the element
  // id of an enclosing iterable), the value it had when registered (removal never re-reads a container that may have
  // changed since), and each owner's element ids.
  mutable std::shared_mutex translation_mutex;
  PagedU32Map translation;
  std::unordered_map<uint32_t, PyValue, FxU32Hash> element_values;
  std::unordered_map<uint32_t, std::vector<uint32_t>, FxU32Hash> owner_elements;
  mutable std::shared_mutex mask_mutex;
  Bitmap mask;  // guarded by mask_mutex

  // Number of ids holding a value here (elements not counted). The owning index resets the map when it drops to 0;
  // registrations happen under the index's `query_maps` read lock, so under its write lock the count is exact.
  std::atomic<int64_t> registered{0};

  // Routes one value of `id` into the structure of its kind / removes it from there again.
  void insert_value(uint32_t id, const PyValue& value);
  void remove_value(uint32_t id, const PyValue& value);

  void insert_num_ordered(OrderedKey key, uint32_t id);
  void remove_num_ordered(OrderedKey key, uint32_t id);
  void insert_str(std::string_view text, uint32_t id);
  void remove_str(std::string_view text, uint32_t id);
  void insert_bool(bool flag, uint32_t id);
  void remove_bool(bool flag, uint32_t id);
  void insert_exact(const PyValue& value, uint32_t id);
  void remove_exact(const PyValue& value, uint32_t id);
  // Registers the members of a list/tuple/set under fresh element ids owned by `owner` (reads the container with the
  // interpreter lock taken for that moment only; members are routed with it released).
  void insert_iterable(const PyValue& value, uint32_t owner);
  void remove_iterable(uint32_t owner);
  // Registers a nested Indexable held by `holder` in the nested index; cycles are cut (see the source).
  void insert_indexable(const StoredIndexable& object, uint32_t holder);
  void remove_indexable(const StoredIndexable& object, uint32_t holder);

  // Replaces every element id in `result` by the object that (transitively) owns it.
  void unmask_ids(Bitmap& result) const;

  // Numeric key of an Int or Float value.
  static OrderedKey key_of(const PyValue& value);
};

}  // namespace vostrel
