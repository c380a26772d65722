// Aggregates over the numbers an attribute holds directly (see aggregates.hpp).
#include "index/core/answers/aggregates.hpp"

#include <atomic>
#include <algorithm>
#include <cmath>
#include <vector>

#include "index/core/structures/value_ids/number_column.hpp"
#include "index/core/query/query.hpp"

namespace vostrel {

// A scope this many times smaller than the map's distinct values builds the id -> number column for its sum (the
// build walks every id once; later sums over small sets reuse it until the numbers change).
constexpr uint64_t COLUMN_BUILD_RATIO = 4;
// Ids read out of a bitmap at a time (a bulk copy is several times faster than stepping an iterator).
constexpr uint64_t ID_BATCH = 4096;

namespace {

// The ints of `ids` that no key holds exactly, with how many of `ids` hold each. The map's numbers lock is held.
UnkeyedInts unkeyed_ints(const QueryMap& map, const Bitmap& ids) {
  UnkeyedInts found;
  if (!map.holds_unkeyed.load(std::memory_order_acquire)) return found;
  const QueryMap::ExactMap* values = map.exact.get();
  if (values == nullptr) return found;
  values->for_each_shard_read([&](const auto& shard) {
    for (const auto& [value, holders] : shard) {
      if (value.kind() != ValueKind::BigInt) continue;
      Bitmap held;
      holders.or_into(held);
      const uint64_t count = held.and_cardinality(ids);
      if (count > 0) found.emplace_back(value, count);
    }
  });
  return found;
}

}  // namespace

std::optional<NumberExtreme> number_extreme(const AnswerScope& scope, std::string_view attribute, bool largest) {
  reject_dotted_path(attribute);
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr) return std::nullopt;
  const MapReader reader(*map, MapReader::NUMBERS | MapReader::MEMBERS);
  std::optional<Bitmap> narrowed;
  const Bitmap& ids = reader.objects_in(scope.ids(), narrowed);
  NumberExtreme found{.key = std::nullopt,
                      .floats_held = map->floats_held.load(std::memory_order_relaxed),
                      .unkeyed = unkeyed_ints(*map, ids)};
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  if (numbers == nullptr) {
    if (found.unkeyed.empty()) return std::nullopt;
    return found;
  }
  const OrderedKey lowest = OrderedKey::from_float(-HUGE_VAL);
  const OrderedKey highest = OrderedKey::from_float(HUGE_VAL);
  // Most scopes meet one of the first few keys: the bitmap is asked directly, without building dense bits.
  const ScopeFilter filter(ids, false);
  numbers->walk_entries(largest, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
    if (key < lowest || highest < key) return true;  // NaN
    if (filter.count(lone, set) == 0) return true;
    found.key = key;
    return false;
  });
  if (!found.key && found.unkeyed.empty()) return std::nullopt;
  return found;
}

NumberTotal number_total(const AnswerScope& scope, std::string_view attribute) {
  reject_dotted_path(attribute);
  NumberTotal total;
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr) return total;
  const MapReader reader(*map, MapReader::NUMBERS | MapReader::MEMBERS);
  total.floats_held = map->floats_held.load(std::memory_order_relaxed);
  std::optional<Bitmap> narrowed;
  const Bitmap& ids = reader.objects_in(scope.ids(), narrowed);
  total.unkeyed = unkeyed_ints(*map, ids);
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  if (numbers == nullptr) return total;
  // A walk costs about one step per distinct value and a little per id in their sets; the column costs one step per
  // id of the scope, once it is built (a walk over every id).
  const uint64_t in_scope = ids.cardinality();
  const uint64_t walk = numbers->size() + numbers->id_count() / 16;
  const bool column_kept = map->number_column.valid_for(*numbers);
  if (in_scope * (column_kept ? 1 : COLUMN_BUILD_RATIO) < walk) {
    const std::shared_ptr<const NumberColumn> column = map->number_column.for_map(*numbers);
    const Bitmap held = ids & column->held();
    const uint64_t count = held.cardinality();
    std::vector<uint32_t> batch(std::min(count, ID_BATCH));
    for (uint64_t at = 0; at < count; at += batch.size()) {
      const size_t read = std::min<uint64_t>(batch.size(), count - at);
      held.rangeUint32Array(batch.data(), at, read);
      for (size_t k = 0; k < read; ++k) total.sum.add(column->key(batch[k]), 1);
    }
    return total;
  }
  const ScopeFilter filter(ids, numbers->size() > 64);
  numbers->walk_entries(false, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
    total.sum.add(key, filter.count(lone, set));
    return true;
  });
  return total;
}

}  // namespace vostrel
