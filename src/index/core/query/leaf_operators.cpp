// The leaf operators: equality from the value -> ids maps, ranges from the sorted numbers or the bit slices, text
// matches from the positional bitmaps.
#include "index/core/query/leaf_operators.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>
#include <vector>

#include "index/core/query/query.hpp"
#include "index/core/structures/value_ids/gathered_ids.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// A big int no key holds exactly lies strictly between its key (the greatest below it) and the next one.
bool between_keys(const PyValue& value) { return value.kind() == ValueKind::BigInt && !value.big_int_keyed(); }

// --- Leaf operators: each reads one structure under its read lock and reports element matches as their owners.

// True when list/tuple/set members are stored in `map`: their matches sit under element ids, which stand for their
// owners, so the lookup must not keep to the allowed set before they are resolved (see QueryMap::resolve_members).
bool has_members(const QueryMap& map) {
  const auto lock = map.read_lock(QueryMap::Part::Mask);
  return !map.mask.isEmpty();
}

// Numbers and strings are answered from the value -> id-set maps: the cost is that of the answer, and the scope
// narrows it as it is built (when no member is stored). The result is always a subset of the scope's ids.
Bitmap op_eq(const QueryMap& map, const PyValue& value, QueryScope scope) {
  Bitmap result;
  bool no_members = false;  // the lookup itself then keeps to the scope
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      const OrderedKey key = QueryMap::key_of(value);
      const auto lock = map.read_lock(QueryMap::Part::Numbers);
      // Asked under the value lock: members enter the mask before their values and leave it after them, so none can
      // appear during the lookup (an element id kept to the scope would stand for a dead object a view lists).
      no_members = !has_members(map);
      if (const QueryMap::NumberIds* ids = map.number_ids.get()) {
        ids->or_into(key, result, no_members ? scope.within() : nullptr);
      }
      break;
    }
    case ValueKind::Str: {
      const auto lock = map.read_lock(QueryMap::Part::Text);
      no_members = !has_members(map);  // under the value lock, as for numbers
      if (const QueryMap::TextIds* ids = map.text_ids.get()) {
        ids->or_into(value, result, no_members ? scope.within() : nullptr);
      }
      break;
    }
    case ValueKind::Bool: {
      const auto lock = map.read_lock(QueryMap::Part::Bools);
      const Bitmap& flags = value.as_bool() ? map.trues : map.falses;
      // One intersection builds the answer: a copy of the whole side first, then cut to the scope, wrote and read a
      // set as large as the side (most of the index for a common flag).
      no_members = !has_members(map);  // under the value lock, as for numbers
      if (no_members) {
        result = scope.covers_maps ? flags : flags & scope.ids;
      } else {
        result = flags;
      }
      break;
    }
    case ValueKind::Ind: {
      const auto lock = map.read_lock(QueryMap::Part::Objects);
      if (const QueryMap::ObjectIds* ids = map.object_ids.get()) ids->or_into(QueryMap::object_key(value), result);
      break;
    }
    default:
      if (const QueryMap::ExactMap* values = map.exact.get()) {
        auto shard = values->read_shard(value.hash());
        auto found = shard.map.find(value);
        if (found != shard.map.end()) found->second.or_into(result);
      }
      break;
  }
  if (no_members) return result;  // nothing to resolve, already within the scope
  map.resolve_members(result, scope.ids);
  return result;
}

// Number of ids holding `value` in `map` (list members counted as themselves), without building the set.
uint64_t eq_count(const QueryMap& map, const PyValue& value) {
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      const auto lock = map.read_lock(QueryMap::Part::Numbers);
      const QueryMap::NumberIds* ids = map.number_ids.get();
      return ids == nullptr ? 0 : ids->count(QueryMap::key_of(value));
    }
    case ValueKind::Str: {
      const auto lock = map.read_lock(QueryMap::Part::Text);
      const QueryMap::TextIds* ids = map.text_ids.get();
      return ids == nullptr ? 0 : ids->count(value);
    }
    case ValueKind::Bool: {
      const auto lock = map.read_lock(QueryMap::Part::Bools);
      return (value.as_bool() ? map.trues : map.falses).cardinality();
    }
    case ValueKind::Ind: {
      const auto lock = map.read_lock(QueryMap::Part::Objects);
      const QueryMap::ObjectIds* ids = map.object_ids.get();
      return ids == nullptr ? 0 : ids->count(QueryMap::object_key(value));
    }
    default: {
      const QueryMap::ExactMap* values = map.exact.get();
      if (values == nullptr) return 0;
      auto shard = values->read_shard(value.hash());
      auto found = shard.map.find(value);
      return found == shard.map.end() ? 0 : found->second.cardinality();
    }
  }
}

// NaN keys sort beyond the infinity of their sign, so every order test is a range clamped to [-inf, +inf]: NaN
// values are never reported, as no Python comparison with NaN is true. A NaN bound matches nothing for the same reason.
bool is_nan(const PyValue& value) { return value.kind() == ValueKind::Float && value.as_float() != value.as_float(); }

const OrderedKey LOWEST_KEY = OrderedKey::from_float(-HUGE_VAL);
const OrderedKey HIGHEST_KEY = OrderedKey::from_float(HUGE_VAL);

// The keys right after / before `key` in key order (76-bit increment / decrement).
OrderedKey key_after(OrderedKey key) {
  return key.m == UINT64_MAX ? OrderedKey{0, static_cast<uint16_t>(key.e + 1)} : OrderedKey{key.m + 1, key.e};
}
OrderedKey key_before(OrderedKey key) {
  return key.m == 0 ? OrderedKey{UINT64_MAX, static_cast<uint16_t>(key.e - 1)} : OrderedKey{key.m - 1, key.e};
}

// A range estimated to hold at most this fraction of a map's numbers (or this many ids) is answered from the ordered
// entries.
constexpr uint64_t NARROW_RANGE_FRACTION = 48;
constexpr uint64_t NARROW_RANGE_IDS = 256;
constexpr uint64_t BITS_WALK_FRACTION = 8;

// Ids of the scope whose number lies in [low, high] within the numbers proper (NaN left out).
Bitmap numbers_between(const QueryMap& map, OrderedKey low, OrderedKey high, QueryScope scope) {
  const Bitmap& allowed = scope.ids;
  low = std::max(low, LOWEST_KEY);
  high = std::min(high, HIGHEST_KEY);
  Bitmap result;
  if (low > high) return result;
  bool answered = true;
  bool uncut = false;
  {
    const auto lock = map.read_lock(QueryMap::Part::Numbers);
    const QueryMap::NumberIds* ordered = map.number_ids.get();
    // Asked under the value lock, as op_eq asks: with no member stored, a scope covering the maps needs no cut.
    uncut = scope.covers_maps && !has_members(map);
    // A narrow range walks the ordered entries (about 15 ns an id: gather, sort, one bulk add); a broad one scans
    // the bit slices, whose cost grows with the ids stored (about 0.3 ns each) rather than with the answer.
    const uint64_t narrow = ordered == nullptr ? 0 : std::max(NARROW_RANGE_IDS, ordered->id_count() / NARROW_RANGE_FRACTION);
    // Between the two, a range of many ids under few keys (counted exactly: it lies within a few leaves) sets a bit
    // per id and reads them back in order, while it holds under 1/BITS_WALK_FRACTION of the ids stored and no more
    // than `allowed` (within a small set, as in a conjunction, the slices read only where that set has ids). Only
    // where floats are held: their keys differ in some fifty slices, where small ints differ in a dozen, whose
    // scan is cheaper than any walk.
    std::optional<uint64_t> counted;
    const uint64_t bits_walk =
        ordered != nullptr && map.floats_held.load(std::memory_order_relaxed) ? ordered->id_count() / BITS_WALK_FRACTION
                                                                              : 0;
    if (ordered == nullptr) {
      // No number here: nothing matches.
    } else if (ordered->estimate_range(low, high, narrow) <= narrow ||
               (counted = ordered->count_range_nearby(low, high, std::max(narrow, bits_walk))).value_or(UINT64_MAX) <=
                   narrow) {
      // Within `allowed`, as the slices answer.
      ordered->range_into(low, high, result);
      if (!uncut) result &= allowed;
    } else if (counted && *counted <= bits_walk && *counted <= allowed.cardinality()) {
      ordered->range_into_by_bits(low, high, *counted, result);
      if (!uncut) result &= allowed;
    } else if (map.slices_kept.load(std::memory_order_acquire)) {
      if (const NumericalBitmap* numbers = map.numeric.get()) get_between_into(*numbers, low, high, result, allowed);
    } else {
      answered = false;
    }
  }
  if (!answered) {
    // The first broad range of this map: it builds the slices, which every later one reads.
    auto lock = map.write_lock(QueryMap::Part::Numbers);
    map.keep_slices();
    if (const NumericalBitmap* numbers = map.numeric.get()) get_between_into(*numbers, low, high, result, allowed);
  }
  // List members take no part in order tests. An index's ids are never element ids, but a view may list the id of an
  // object that died since and that a member took: such an id stands for nothing here, and never for the owner. With
  // no member stored when the numbers were read, none is among them.
  if (!uncut) map.drop_members(result);
  return result;
}

// Adds the ids of `allowed` holding an int that no key holds exactly (kept in the exact map) which `test` accepts.
template <class Test>
void unkeyed_into(const QueryMap& map, Test&& test, const Bitmap& allowed, Bitmap& result) {
  if (!map.holds_unkeyed.load(std::memory_order_acquire)) return;
  const QueryMap::ExactMap* values = map.exact.get();
  if (values == nullptr) return;
  Bitmap found;
  values->for_each_shard_read([&](const auto& shard) {
    for (const auto& [value, ids] : shard) {
      if (value.kind() == ValueKind::BigInt && test(value)) ids.or_into(found);
    }
  });
  found &= allowed;
  // List members take no part in order tests; a view may list the id of a dead object that a member took since.
  map.drop_members(found);
  result |= found;
}

Bitmap keyed_ordered(const QueryMap& map, const PyValue& value, QueryKind kind, QueryScope scope) {
  const OrderedKey key = QueryMap::key_of(value);
  if (between_keys(value)) {  // no number equals it: > and >= are the keys above its key, < and <= those up to it
    if (kind == QueryKind::Gt || kind == QueryKind::Ge) return numbers_between(map, key_after(key), HIGHEST_KEY, scope);
    return numbers_between(map, LOWEST_KEY, key, scope);
  }
  switch (kind) {
    case QueryKind::Gt:
      if (key >= HIGHEST_KEY) return Bitmap();
      return numbers_between(map, key_after(key), HIGHEST_KEY, scope);
    case QueryKind::Ge: return numbers_between(map, key, HIGHEST_KEY, scope);
    case QueryKind::Lt:
      if (key <= LOWEST_KEY) return Bitmap();
      return numbers_between(map, LOWEST_KEY, key_before(key), scope);
    default: return numbers_between(map, LOWEST_KEY, key, scope);
  }
}

Bitmap op_ordered(const QueryMap& map, const PyValue& value, QueryKind kind, QueryScope scope) {
  if (!is_number(value) || is_nan(value)) return Bitmap();  // a type mismatch (or NaN) matches nothing
  Bitmap result = keyed_ordered(map, value, kind, scope);
  unkeyed_into(
      map,
      [&](const PyValue& stored) {
        const int order = stored.compare_unkeyed(value);
        switch (kind) {
          case QueryKind::Gt: return order > 0;
          case QueryKind::Ge: return order >= 0;
          case QueryKind::Lt: return order < 0;
          default: return order <= 0;
        }
      },
      scope.ids, result);
  return result;
}

Bitmap op_between(const QueryMap& map, const PyValue& low, const PyValue& high, QueryScope scope) {
  if (!is_number(low) || !is_number(high)) fail_bound(low, high);
  if (is_nan(low) || is_nan(high)) return Bitmap();
  const OrderedKey from = between_keys(low) ? key_after(QueryMap::key_of(low)) : QueryMap::key_of(low);
  Bitmap result = numbers_between(map, from, QueryMap::key_of(high), scope);
  unkeyed_into(
      map,
      [&](const PyValue& stored) { return stored.compare_unkeyed(low) >= 0 && stored.compare_unkeyed(high) <= 0; },
      scope.ids, result);
  return result;
}

Bitmap match_positions(const PositionalBitmap& positions, std::string_view query, QueryKind kind) {
  switch (kind) {
    case QueryKind::StartsWi: return positions.prefix(query);
    case QueryKind::EndsWi: return positions.suffix(query);
    default: return positions.substring(query);
  }
}

// A selective prefix over few distinct texts, each held by many ids (postal codes, names): testing each distinct text
// once reads the value map's slots, where the per-position byte sets intersect one set over every id per byte of
// the query. Taken for queries of two bytes or more (one byte is a single set of the positions, read as it is),
// while the texts number under 1/TEXT_WALK_RATIO of the ids holding a value here, and while the ids matched stay
// under 1/TEXT_WALK_MATCHED of them: a broad match (a common first name) is cheaper from the byte sets, and is
// left to them as soon as the count passes that, before any id is gathered. The texts are read in order when the map
// keeps them so (a binary search and the run that matches), else by a walk of every slot.
constexpr uint64_t TEXT_WALK_RATIO = 16;
constexpr uint64_t TEXT_WALK_MATCHED = 32;
// Prefix walks that find the order out of date (texts added since it was made) before one makes it again: a map
// where new texts keep coming between prefix queries pays a sort of its texts per so many queries, not per query.
constexpr uint32_t TEXT_ORDER_MISSES = 8;

enum class TextWalk { Answered, Declined, WantsOrder };

// Text lock held (for writing when `may_want_order` is false). WantsOrder: the walk would read the texts in order,
// which the caller makes under the write lock before it asks again.
TextWalk walk_texts(const QueryMap& map, std::string_view query, QueryKind kind, Bitmap& result, bool may_want_order) {
  const QueryMap::TextIds* texts = map.text_ids.get();
  const uint64_t holders = static_cast<uint64_t>(std::max<int64_t>(map.registered.load(std::memory_order_relaxed), 0));
  // Prefixes only: a suffix or a substring of a common word matches too many texts for the walk to pay (measured
  // slower on names), where the byte sets answer at once.
  if (kind != QueryKind::StartsWi) return TextWalk::Declined;
  if (texts == nullptr || query.size() < 2 || texts->size() * TEXT_WALK_RATIO > holders) return TextWalk::Declined;
  const bool in_order = map.text_order.current(*texts);
  if (!in_order && may_want_order &&
      map.text_order_misses.fetch_add(1, std::memory_order_relaxed) % TEXT_ORDER_MISSES == 0) {
    return TextWalk::WantsOrder;  // the first prefix query, then one in so many that find it out of date
  }
  const uint64_t cap = holders / TEXT_WALK_MATCHED;
  struct Hit {
    uint32_t lone;
    const ValueIds* set;
  };
  std::vector<Hit> hits;
  uint64_t matched = 0;
  auto hit = [&](uint32_t lone, const ValueIds* set) {
    hits.push_back(Hit{lone, set});
    matched += set == nullptr ? 1 : set->cardinality();
    return matched <= cap;  // past the cap the byte sets answer: the walk stops here
  };
  if (in_order) {
    map.text_order.for_each_with_prefix(query, [&](const PyValue& key) {
      bool more = true;
      texts->visit(key, [&](uint32_t lone, const ValueIds* set) { more = hit(lone, set); });
      return more;  // a key dropped since the order was made is no longer there and is skipped
    });
  } else {
    texts->for_each_entry_while([&](const PyValue& key, uint32_t lone, const ValueIds* set) {
      // Whole UTF-8 sequences match only at character boundaries, so bytes answer as characters do.
      if (!key.as_str().starts_with(query)) return true;
      return hit(lone, set);
    });
  }
  if (matched > cap) return TextWalk::Declined;
  std::vector<uint32_t> listed;
  listed.reserve(matched);
  for (const Hit& h : hits) {
    if (h.set == nullptr) {
      listed.push_back(h.lone);
    } else if (h.set->cardinality() > ValueIds::LARGE_AT) {
      h.set->or_into(result);  // a set held as a bitmap: ORed whole
    } else {
      h.set->prefetch();
    }
  }
  for (const Hit& h : hits) {
    if (h.set != nullptr && h.set->cardinality() <= ValueIds::LARGE_AT) {
      h.set->for_each([&listed](uint32_t id) { listed.push_back(id); });
    }
  }
  add_gathered_ids(listed, result, nullptr);
  return TextWalk::Answered;
}

Bitmap op_text(const QueryMap& map, const PyValue& value, QueryKind kind, QueryScope scope) {
  Bitmap result;
  if (value.kind() != ValueKind::Str) return result;
  const std::string_view query = value.as_str();
  bool answered = false;
  TextWalk walk = TextWalk::Declined;
  bool uncut = false;  // asked under the value lock, as op_eq asks: no member stored, and a scope covering the maps
  {
    const auto lock = map.read_lock(QueryMap::Part::Text);
    uncut = scope.covers_maps && !has_members(map);
    walk = walk_texts(map, query, kind, result, true);
    if (walk == TextWalk::Declined && map.positions_kept.load(std::memory_order_acquire)) {
      result = match_positions(map.positional, query, kind);
    }
    answered = walk == TextWalk::Answered || (walk == TextWalk::Declined && map.positions_kept.load());
  }
  if (!answered) {
    // The first text match of this map builds the positions, which every later one reads; a prefix walk that wants
    // the texts in order has them made. Either is made under the write lock, and the query answered under it.
    auto lock = map.write_lock(QueryMap::Part::Text);
    uncut = scope.covers_maps && !has_members(map);
    if (walk == TextWalk::WantsOrder) {
      if (const QueryMap::TextIds* texts = map.text_ids.get(); texts != nullptr && !map.text_order.current(*texts)) {
        try {
          map.text_order.rebuild(*texts);
        } catch (const std::bad_alloc&) {
          // No room for the order: the walk reads every slot instead.
        }
      }
      walk = walk_texts(map, query, kind, result, false);
    }
    if (walk != TextWalk::Answered) {
      map.keep_positions();
      result = match_positions(map.positional, query, kind);
    }
  }
  if (uncut) return result;
  map.resolve_members(result, scope.ids);
  return result;
}

// The map for the first component of `path`, or null when this index has no value of that attribute. Names no
// object ever had are not interned by queries: a lookup in the published snapshot is enough to know the map is absent.
const QueryMap* resolve_map(const QueryMaps& maps, const QueryExpr& expr, std::string_view first) {
  const std::optional<uint32_t> attribute = first_name_id(expr, first);
  return attribute ? maps.at(*attribute).get() : nullptr;
}

}  // namespace

Bitmap evaluate_leaf(const QueryMaps& maps, QueryScope scope, QueryKind kind, const QueryExpr& expr) {
  const auto [first, rest] = attr_parts(expr.attr.view());
  const QueryMap* map = resolve_map(maps, expr, first);
  if (map == nullptr) return Bitmap();
  if (rest) {
    if (expr.rest != nullptr && kind == expr.kind) return evaluate_nested_query(*map, *expr.rest, scope.ids);
    const QueryExpr nested = expr.with_attr(*rest, kind);  // a ne's path, asked as an eq
    return evaluate_nested_query(*map, nested, scope.ids);
  }
  switch (kind) {
    case QueryKind::Eq: return op_eq(*map, expr.values[0], scope);
    case QueryKind::In: {
      Bitmap result;
      for (const PyValue& value : expr.values) result |= op_eq(*map, value, scope);
      return result;  // a union of subsets of the scope's ids
    }
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le:
      return op_ordered(*map, expr.values[0], kind, scope);  // kernels start from the scope's ids
    case QueryKind::Bt: return op_between(*map, expr.values[0], expr.values[1], scope);
    default: return op_text(*map, expr.values[0], kind, scope);
  }
}

namespace {

// The ids a number range on `map` holds, as OrderedIdMap::plan_range counts or estimates them (0 only when none).
// UNKNOWN_COUNT for bounds that are not plain numbers (big ints no key holds, NaN), or where the map holds numbers
// beyond the keys.
uint64_t range_count(const QueryMap& map, const QueryExpr& expr, uint64_t cap) {
  const std::span<const PyValue> bounds(expr.values);
  for (const PyValue& bound : bounds) {
    if ((bound.kind() != ValueKind::Int && bound.kind() != ValueKind::Float) || is_nan(bound)) return UNKNOWN_COUNT;
  }
  if (map.holds_unkeyed.load(std::memory_order_acquire)) return UNKNOWN_COUNT;
  OrderedKey low = LOWEST_KEY;
  OrderedKey high = HIGHEST_KEY;
  const OrderedKey key = QueryMap::key_of(bounds[0]);
  switch (expr.kind) {
    case QueryKind::Gt:
    case QueryKind::Ge: low = key; break;
    case QueryKind::Lt:
    case QueryKind::Le: high = key; break;
    default: low = key; high = QueryMap::key_of(bounds[1]); break;
  }
  const auto lock = map.read_lock(QueryMap::Part::Numbers);
  const QueryMap::NumberIds* ordered = map.number_ids.get();
  return ordered == nullptr ? 0 : ordered->plan_range(std::max(low, LOWEST_KEY), std::min(high, HIGHEST_KEY), cap);
}

}  // namespace

bool is_range(QueryKind kind) {
  return kind == QueryKind::Gt || kind == QueryKind::Ge || kind == QueryKind::Lt || kind == QueryKind::Le ||
         kind == QueryKind::Bt;
}

uint64_t match_count(const QueryMaps& maps, const QueryExpr& expr, uint64_t range_cap) {
  const bool range = is_range(expr.kind);
  if (expr.kind != QueryKind::Eq && expr.kind != QueryKind::In && !(range && range_cap != 0)) return UNKNOWN_COUNT;
  const auto [first, rest] = attr_parts(expr.attr.view());
  if (rest) return UNKNOWN_COUNT;
  const QueryMap* map = resolve_map(maps, expr, first);
  if (map == nullptr) return 0;
  if (range) return range_count(*map, expr, range_cap);
  uint64_t total = 0;
  for (const PyValue& value : expr.values) total += eq_count(*map, value);
  return total;
}

std::optional<Bitmap> evaluate_not_flag(const QueryMaps& maps, const Bitmap& allowed, const QueryExpr& child) {
  if (child.kind != QueryKind::Eq || child.values[0].stored_kind() != ValueKind::Bool) return std::nullopt;
  const auto [first, rest] = attr_parts(child.attr.view());
  if (rest) return std::nullopt;
  const QueryMap* map = resolve_map(maps, child, first);
  if (map == nullptr) return allowed;  // no value here: nothing matches the flag
  const auto lock = map->read_lock(QueryMap::Part::Bools);
  if (has_members(*map)) return std::nullopt;  // under the value lock, as op_eq asks
  return allowed - (child.values[0].as_bool() ? map->trues : map->falses);
}

}  // namespace vostrel
