// Query evaluation: the query tree, conjunction order, dotted paths, and the leaf operators.
#include "index/core/query/query_ops.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "index/internal_error.hpp"
#include "lib/errors.hpp"

namespace vostrel {
namespace {

const char* kind_name(QueryKind kind) {
  switch (kind) {
    case QueryKind::Eq: return "Eq";
    case QueryKind::Ne: return "Ne";
    case QueryKind::Not: return "Not";
    case QueryKind::In: return "In";
    case QueryKind::And: return "And";
    case QueryKind::Or: return "Or";
    case QueryKind::Gt: return "Gt";
    case QueryKind::Ge: return "Ge";
    case QueryKind::Lt: return "Lt";
    case QueryKind::Le: return "Le";
    case QueryKind::Bt: return "Bt";
    case QueryKind::StartsWi: return "StartsWi";
    case QueryKind::EndsWi: return "EndsWi";
    case QueryKind::Contains: return "Contains";
  }
  return "?";
}

// Without a count, conjunctions evaluate cheap, selective kinds first (equality and string matches before ranges).
int and_rank(QueryKind kind) {
  switch (kind) {
    case QueryKind::Eq: return 0;
    case QueryKind::Ne: return 1;
    case QueryKind::Not: return 2;
    case QueryKind::In: return 3;
    case QueryKind::StartsWi: return 4;
    case QueryKind::EndsWi: return 5;
    case QueryKind::Contains: return 6;
    case QueryKind::And: return 7;
    case QueryKind::Or: return 8;
    case QueryKind::Lt: return 9;
    case QueryKind::Le: return 10;
    case QueryKind::Gt: return 11;
    case QueryKind::Ge: return 12;
    case QueryKind::Bt: return 13;
  }
  return 14;
}

// Double-quoted text with backslash escapes for quotes, backslashes and control characters.
void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (unsigned char byte : text) {
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[12];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(byte));
        }
    }
  }
  out.push_back('"');
}

bool is_number(const PyValue& value) {
  return value.kind() == ValueKind::Int || value.kind() == ValueKind::Float || value.kind() == ValueKind::BigInt;
}

// "not yet implemented: ..." for a bt whose bound `low` or `high` is not a number, saying which bound, what it must
// be and what it was (its type, and short text or a bool as itself). Reads only what the captured value holds.
[[noreturn]] void fail_bound(const PyValue& low, const PyValue& high) {
  const bool first = !is_number(low);
  const PyValue& bound = first ? low : high;
  std::string message = "not yet implemented: the ";
  message += first ? "lower (first)" : "upper (second)";
  message += " bound of bt must be a number (int or float), got ";
  switch (bound.kind()) {
    case ValueKind::Str: {
      const std::string_view text = bound.as_str();
      message += "str ";
      if (text.size() <= 40) {
        message += quoted_text(text);
      } else {
        message += "of " + std::to_string(text.size()) + " bytes";
      }
      break;
    }
    case ValueKind::Bool: message += bound.as_bool() ? "bool True" : "bool False"; break;
    default: {
      PyObject* object = bound.obj();
      message += object != nullptr ? Py_TYPE(object)->tp_name : "an object";
      break;
    }
  }
  throw NotYetImplemented(message);
}

// A big int no key holds exactly lies strictly between its key (the greatest below it) and the next one.
bool between_keys(const PyValue& value) { return value.kind() == ValueKind::BigInt && !value.big_int_keyed(); }

// --- Leaf operators: each reads one structure under its read lock and reports element matches as their owners.

// True when list/tuple/set members are stored in `map`: their matches sit under element ids, which stand for their
// owners, so the lookup must not keep to the allowed set before they are resolved (see QueryMap::resolve_members).
bool has_members(const QueryMap& map) {
  std::shared_lock lock(map.mask_mutex);
  return !map.mask.isEmpty();
}

// Numbers and strings are answered from the value -> id-set maps: the cost is that of the answer, and `allowed`
// narrows it as it is built (when no member is stored). The result is always a subset of `allowed`.
Bitmap op_eq(const QueryMap& map, const PyValue& value, const Bitmap& allowed) {
  Bitmap result;
  const Bitmap* within = nullptr;  // set once the lookup itself keeps to `allowed`
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      const OrderedKey key = QueryMap::key_of(value);
      std::shared_lock lock(map.numeric_mutex);
      // Asked under the value lock: members enter the mask before their values and leave it after them, so none can
      // appear during the lookup (an element id kept to `allowed` would stand for a dead object a view lists).
      if (!has_members(map)) within = &allowed;
      if (const QueryMap::NumberIds* ids = map.number_ids.get()) ids->or_into(key, result, within);
      break;
    }
    case ValueKind::Str: {
      std::shared_lock lock(map.positional_mutex);
      if (!has_members(map)) within = &allowed;  // under the value lock, as for numbers
      if (const QueryMap::TextIds* ids = map.text_ids.get()) ids->or_into(value, result, within);
      break;
    }
    case ValueKind::Bool: {
      std::shared_lock lock(map.bool_mutex);
      result = value.as_bool() ? map.trues : map.falses;
      break;
    }
    case ValueKind::Ind: {
      std::shared_lock lock(map.objects_mutex);
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
  if (within != nullptr) return result;  // no member stored: nothing to resolve, already within `allowed`
  map.resolve_members(result, allowed);
  return result;
}

// Number of ids holding `value` in `map` (list members counted as themselves), without building the set.
uint64_t eq_count(const QueryMap& map, const PyValue& value) {
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float: {
      std::shared_lock lock(map.numeric_mutex);
      const QueryMap::NumberIds* ids = map.number_ids.get();
      return ids == nullptr ? 0 : ids->count(QueryMap::key_of(value));
    }
    case ValueKind::Str: {
      std::shared_lock lock(map.positional_mutex);
      const QueryMap::TextIds* ids = map.text_ids.get();
      return ids == nullptr ? 0 : ids->count(value);
    }
    case ValueKind::Bool: {
      std::shared_lock lock(map.bool_mutex);
      return (value.as_bool() ? map.trues : map.falses).cardinality();
    }
    case ValueKind::Ind: {
      std::shared_lock lock(map.objects_mutex);
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

// Ids of `allowed` whose number lies in [low, high] within the numbers proper (NaN left out).
Bitmap numbers_between(const QueryMap& map, OrderedKey low, OrderedKey high, const Bitmap& allowed) {
  low = std::max(low, LOWEST_KEY);
  high = std::min(high, HIGHEST_KEY);
  Bitmap result;
  if (low > high) return result;
  bool answered = true;
  {
    std::shared_lock lock(map.numeric_mutex);
    const QueryMap::NumberIds* ordered = map.number_ids.get();
    // A narrow range walks the ordered entries (about 15 ns an id: gather, sort, one bulk add); a broad one scans
    // the bit slices, whose cost grows with the ids stored (about 0.3 ns each) rather than with the answer.
    const uint64_t narrow = ordered == nullptr ? 0 : std::max(NARROW_RANGE_IDS, ordered->id_count() / NARROW_RANGE_FRACTION);
    if (ordered == nullptr) {
      // No number here: nothing matches.
    } else if (ordered->estimate_range(low, high, narrow) <= narrow) {
      // Within `allowed`, as the slices answer.
      ordered->range_into(low, high, result);
      result &= allowed;
    } else if (map.slices_kept.load(std::memory_order_acquire)) {
      if (const NumericalBitmap* numbers = map.numeric.get()) get_between_into(*numbers, low, high, result, allowed);
    } else {
      answered = false;
    }
  }
  if (!answered) {
    // The first broad range of this map: it builds the slices, which every later one reads.
    std::unique_lock lock(map.numeric_mutex);
    map.keep_slices();
    if (const NumericalBitmap* numbers = map.numeric.get()) get_between_into(*numbers, low, high, result, allowed);
  }
  // List members take no part in order tests. An index's ids are never element ids, but a view may list the id of an
  // object that died since and that a member took: such an id stands for nothing here, and never for the owner.
  map.drop_members(result);
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

Bitmap keyed_ordered(const QueryMap& map, const PyValue& value, QueryKind kind, const Bitmap& allowed) {
  const OrderedKey key = QueryMap::key_of(value);
  if (between_keys(value)) {  // no number equals it: > and >= are the keys above its key, < and <= those up to it
    if (kind == QueryKind::Gt || kind == QueryKind::Ge) return numbers_between(map, key_after(key), HIGHEST_KEY, allowed);
    return numbers_between(map, LOWEST_KEY, key, allowed);
  }
  switch (kind) {
    case QueryKind::Gt:
      if (key >= HIGHEST_KEY) return Bitmap();
      return numbers_between(map, key_after(key), HIGHEST_KEY, allowed);
    case QueryKind::Ge: return numbers_between(map, key, HIGHEST_KEY, allowed);
    case QueryKind::Lt:
      if (key <= LOWEST_KEY) return Bitmap();
      return numbers_between(map, LOWEST_KEY, key_before(key), allowed);
    default: return numbers_between(map, LOWEST_KEY, key, allowed);
  }
}

Bitmap op_ordered(const QueryMap& map, const PyValue& value, QueryKind kind, const Bitmap& allowed) {
  if (!is_number(value) || is_nan(value)) return Bitmap();  // a type mismatch (or NaN) matches nothing
  Bitmap result = keyed_ordered(map, value, kind, allowed);
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
      allowed, result);
  return result;
}

Bitmap op_between(const QueryMap& map, const PyValue& low, const PyValue& high, const Bitmap& allowed) {
  if (!is_number(low) || !is_number(high)) fail_bound(low, high);
  if (is_nan(low) || is_nan(high)) return Bitmap();
  const OrderedKey from = between_keys(low) ? key_after(QueryMap::key_of(low)) : QueryMap::key_of(low);
  Bitmap result = numbers_between(map, from, QueryMap::key_of(high), allowed);
  unkeyed_into(
      map,
      [&](const PyValue& stored) { return stored.compare_unkeyed(low) >= 0 && stored.compare_unkeyed(high) <= 0; },
      allowed, result);
  return result;
}

Bitmap match_positions(const PositionalBitmap& positions, std::string_view query, QueryKind kind) {
  switch (kind) {
    case QueryKind::StartsWi: return positions.prefix(query);
    case QueryKind::EndsWi: return positions.suffix(query);
    default: return positions.substring(query);
  }
}

Bitmap op_text(const QueryMap& map, const PyValue& value, QueryKind kind, const Bitmap& allowed) {
  Bitmap result;
  if (value.kind() != ValueKind::Str) return result;
  const std::string_view query = value.as_str();
  bool kept = false;
  {
    std::shared_lock lock(map.positional_mutex);
    kept = map.positions_kept.load(std::memory_order_acquire);
    if (kept) result = match_positions(map.positional, query, kind);
  }
  if (!kept) {
    // The first text match of this map: it builds the positions, which every later one reads.
    std::unique_lock lock(map.positional_mutex);
    map.keep_positions();
    result = match_positions(map.positional, query, kind);
  }
  map.resolve_members(result, allowed);
  return result;
}

// The map for the first component of `path`, or null when this index has no value of that attribute. Names no
// object ever had are not interned by queries: a lookup in the published snapshot is enough to know the map is absent.
const QueryMap* resolve_map(const QueryMaps& maps, std::string_view first) {
  const std::optional<uint32_t> attribute = INTERNER().get(first);
  return attribute ? maps.at(*attribute).get() : nullptr;
}

// A leaf (or In) evaluated as `kind`; the result is always a subset of `allowed`.
Bitmap evaluate_leaf(const QueryMaps& maps, const Bitmap& allowed, QueryKind kind, const QueryExpr& expr) {
  const auto [first, rest] = attr_parts(expr.attr.view());
  const QueryMap* map = resolve_map(maps, first);
  if (map == nullptr) return Bitmap();
  if (rest) {
    QueryExpr nested = expr.with_attr(*rest);
    nested.kind = kind;
    return evaluate_nested_query(*map, nested, allowed);
  }
  switch (kind) {
    case QueryKind::Eq: return op_eq(*map, expr.values[0], allowed);
    case QueryKind::In: {
      Bitmap result;
      for (const PyValue& value : expr.values) result |= op_eq(*map, value, allowed);
      return result;  // a union of subsets of `allowed`
    }
    case QueryKind::Gt:
    case QueryKind::Ge:
    case QueryKind::Lt:
    case QueryKind::Le:
      return op_ordered(*map, expr.values[0], kind, allowed);  // kernels start from `allowed`
    case QueryKind::Bt: return op_between(*map, expr.values[0], expr.values[1], allowed);
    default: return op_text(*map, expr.values[0], kind, allowed);
  }
}

// Number of ids an Eq or In on a plain (undotted) path matches at most, counted in the value maps; UNKNOWN_COUNT
// for every other expression. Element matches count as their element ids, so this bounds, not equals, the answer.
constexpr uint64_t UNKNOWN_COUNT = UINT64_MAX;

uint64_t match_count(const QueryMaps& maps, const QueryExpr& expr) {
  if (expr.kind != QueryKind::Eq && expr.kind != QueryKind::In) return UNKNOWN_COUNT;
  const auto [first, rest] = attr_parts(expr.attr.view());
  if (rest) return UNKNOWN_COUNT;
  const QueryMap* map = resolve_map(maps, first);
  if (map == nullptr) return 0;
  uint64_t total = 0;
  for (const PyValue& value : expr.values) total += eq_count(*map, value);
  return total;
}

}  // namespace

QueryExpr QueryExpr::leaf(QueryKind kind, SmallString attr, PyValue value) {
  QueryExpr expr;
  expr.kind = kind;
  expr.attr = std::move(attr);
  expr.values.push_back(std::move(value));
  return expr;
}

QueryExpr QueryExpr::between(SmallString attr, PyValue low, PyValue high) {
  QueryExpr expr = leaf(QueryKind::Bt, std::move(attr), std::move(low));
  expr.values.push_back(std::move(high));
  return expr;
}

QueryExpr QueryExpr::in(SmallString attr, std::vector<PyValue> values) {
  QueryExpr expr;
  expr.kind = QueryKind::In;
  expr.attr = std::move(attr);
  expr.values = std::move(values);
  return expr;
}

QueryExpr QueryExpr::combine(QueryKind kind, std::vector<QueryExpr> children) {
  QueryExpr expr;
  expr.kind = kind;
  expr.children = std::move(children);
  for (const QueryExpr& child : expr.children) expr.depth = std::max(expr.depth, child.depth + 1);
  return expr;
}

QueryExpr QueryExpr::negate(QueryExpr child) {
  QueryExpr expr;
  expr.kind = QueryKind::Not;
  expr.depth = child.depth + 1;
  expr.children.push_back(std::move(child));
  return expr;
}

QueryExpr QueryExpr::with_attr(std::string_view path) const {
  QueryExpr copy;
  copy.kind = kind;
  copy.attr = SmallString(path);
  copy.values = values;
  return copy;
}

std::string QueryExpr::debug_text() const {
  std::string out = kind_name(kind);
  out.push_back('(');
  auto append_list = [&out](const auto& items, auto&& render) {
    out.push_back('[');
    for (size_t pos = 0; pos < items.size(); ++pos) {
      if (pos != 0) out += ", ";
      render(items[pos]);
    }
    out.push_back(']');
  };
  switch (kind) {
    case QueryKind::Not:
      out += children.at(0).debug_text();
      break;
    case QueryKind::And:
    case QueryKind::Or:
      append_list(children, [&out](const QueryExpr& child) { out += child.debug_text(); });
      break;
    case QueryKind::In:
      append_quoted(out, attr.view());
      out += ", ";
      append_list(values, [&out](const PyValue& value) { out += value.debug_text(); });
      break;
    default:
      append_quoted(out, attr.view());
      for (const PyValue& value : values) {
        out += ", ";
        out += value.debug_text();
      }
      break;
  }
  out.push_back(')');
  return out;
}

void check_query(const QueryExpr& expr) {
  if (expr.kind == QueryKind::Bt && (!is_number(expr.values[0]) || !is_number(expr.values[1]))) {
    fail_bound(expr.values[0], expr.values[1]);
  }
  for (const QueryExpr& child : expr.children) check_query(child);
}

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  const size_t dot = path.find('.');
  if (dot == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

Bitmap evaluate_query(const QueryMaps& maps, const Bitmap& allowed, const QueryExpr& expr) {
  switch (expr.kind) {
    case QueryKind::Not: {
      Bitmap matched = evaluate_query(maps, allowed, expr.children.at(0));
      return allowed - matched;
    }
    case QueryKind::Ne: {
      // Not of Eq: ids without the attribute, or with a value of another kind, are included.
      Bitmap matched = evaluate_leaf(maps, allowed, QueryKind::Eq, expr);
      return allowed - matched;
    }
    case QueryKind::And:
      return evaluate_and_queries_vec(maps, allowed, expr.children);
    case QueryKind::Or: {
      Bitmap result;
      for (const QueryExpr& child : expr.children) result |= evaluate_query(maps, allowed, child);
      return result;
    }
    default:
      return evaluate_leaf(maps, allowed, expr.kind, expr);
  }
}

Bitmap evaluate_and_queries_vec(const QueryMaps& maps, const Bitmap& allowed, std::span<const QueryExpr> exprs) {
  // Plan: the parts whose number of matches is known cheaply (plain equalities and in_) go first, fewest first;
  // the others follow in kind order. Each part then works within what the earlier ones left.
  struct Step {
    const QueryExpr* expr;
    uint64_t count;  // UNKNOWN_COUNT when not known
  };
  std::vector<Step> ordered;
  ordered.reserve(exprs.size());
  for (const QueryExpr& expr : exprs) {
    const uint64_t count = match_count(maps, expr);
    if (count == 0) return Bitmap();  // an equality nothing holds: the conjunction is empty
    ordered.push_back(Step{&expr, count});
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const Step& a, const Step& b) {
    if (a.count != b.count) return a.count < b.count;
    return and_rank(a.expr->kind) < and_rank(b.expr->kind);
  });
  // Every evaluation returns a subset of the set it is given, so each step narrows the running set directly.
  Bitmap running = allowed;
  for (const Step& step : ordered) {
    if (running.isEmpty()) break;
    running = evaluate_query(maps, running, *step.expr);
  }
  return running;
}

Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr, const Bitmap& allowed) {
  const IndexAPI* nested = map.nested.get();
  if (nested == nullptr) return Bitmap();  // no nested object was ever stored here
  Bitmap nested_ids = nested->evaluate(expr);
  Bitmap holders = nested->get_parent_from_ids(nested_ids);
  // Holders that are members of a list/tuple/set value are reported as the object owning that value.
  map.resolve_members(holders, allowed);
  return holders;
}

std::vector<QueryExpr> kwargs_to_query(PyObject* kwargs) {
  std::vector<QueryExpr> equalities;
  if (kwargs == nullptr) return equalities;
  equalities.reserve(std::max<Py_ssize_t>(4, PyDict_GET_SIZE(kwargs)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      throw PythonErrorSet();
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr) throw PythonErrorSet();
    equalities.push_back(QueryExpr::leaf(QueryKind::Eq, SmallString(std::string_view(text, length)),
                                         PyValue::capture(PyRef::borrow(value))));
  }
  return equalities;
}

}  // namespace vostrel
