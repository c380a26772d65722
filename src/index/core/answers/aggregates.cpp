// Aggregates over the numbers an attribute holds directly (see aggregates.hpp).
#include "index/core/answers/aggregates.hpp"

#include <atomic>
#include <cmath>

#include "index/core/query/query.hpp"

namespace vostrel {

std::optional<NumberExtreme> number_extreme(const AnswerScope& scope, std::string_view attribute, bool largest) {
  reject_dotted_path(attribute);
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr) return std::nullopt;
  const MapReader reader(*map, MapReader::NUMBERS);
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  if (numbers == nullptr) return std::nullopt;
  const OrderedKey lowest = OrderedKey::from_float(-HUGE_VAL);
  const OrderedKey highest = OrderedKey::from_float(HUGE_VAL);
  // Most scopes meet one of the first few keys: the bitmap is asked directly, without building dense bits.
  const ScopeFilter filter(scope.ids(), false);
  std::optional<NumberExtreme> found;
  numbers->walk_entries(largest, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
    if (key < lowest || highest < key) return true;  // NaN
    if (filter.count(lone, set) == 0) return true;
    found = NumberExtreme{key, map->floats_held.load(std::memory_order_relaxed)};
    return false;
  });
  return found;
}

NumberTotal number_total(const AnswerScope& scope, std::string_view attribute) {
  reject_dotted_path(attribute);
  NumberTotal total;
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr) return total;
  const MapReader reader(*map, MapReader::NUMBERS);
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  if (numbers == nullptr) return total;
  total.floats_held = map->floats_held.load(std::memory_order_relaxed);
  const ScopeFilter filter(scope.ids(), numbers->size() > 64);
  numbers->walk_entries(false, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
    total.sum.add(key, filter.count(lone, set));
    return true;
  });
  return total;
}

}  // namespace vostrel
