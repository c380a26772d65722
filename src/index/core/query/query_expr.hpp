// QueryExpr: a query as a tree of leaves (an attribute path, an operator, values) under and / or / not.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/value.hpp"

namespace vostrel {

// Variant tags in declaration order; the names are those the debug text prints.
enum class QueryKind : uint8_t { Eq, Ne, Not, In, And, Or, Gt, Ge, Lt, Le, Bt, StartsWi, EndsWi, Contains };

// Deepest query tree the builders accept: evaluation, printing and destruction recurse once per level, and worker
// threads may have small stacks. Far beyond any query written by hand; deeper trees raise RecursionError.
constexpr uint32_t MAX_QUERY_DEPTH = 500;

struct QueryExpr {
  QueryKind kind = QueryKind::And;
  SmallString attr;                // leaves and In: the attribute path, split at dots only when evaluated
  std::vector<PyValue> values;     // leaves: one value; Bt: low, high; In: the candidates
  std::vector<QueryExpr> children; // Not: one operand; And / Or: the operands
  uint32_t depth = 1;              // levels of the tree, this one included (evaluation recurses this deep)
  // The interned id of the path's first name, looked up when the leaf is built (NO_NAME_ID when no object had that
  // name yet: evaluation looks it up again). Ids are never reused, so a found one stays right; it spares each
  // evaluation the name's hashing and the interner's snapshot, several cold lines of a selective query.
  static constexpr uint32_t NO_NAME_ID = UINT32_MAX;
  uint32_t first_name_id = NO_NAME_ID;
  // A dotted leaf: the same leaf on the path after the first name, made once when the leaf is built (evaluation
  // made it on every call: a copy of the values and a name lookup).
  std::shared_ptr<const QueryExpr> rest;

  static QueryExpr leaf(QueryKind kind, SmallString attr, PyValue value);
  static QueryExpr between(SmallString attr, PyValue low, PyValue high);
  static QueryExpr in(SmallString attr, std::vector<PyValue> values);
  static QueryExpr combine(QueryKind kind, std::vector<QueryExpr> children);  // And / Or
  static QueryExpr negate(QueryExpr child);

  // The same values with another attribute path (to descend a dotted path), as a leaf of `kind`.
  QueryExpr with_attr(std::string_view path, QueryKind kind) const;
  // Eq("attr", value) -> Eq("attr", PyValue { ... }) etc.
  std::string debug_text() const;

 private:
  // Sets first_name_id and rest from attr and values.
  void prepare_path();
};


// First component of a dotted path, and the rest after the first '.', if any.
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path);

// The interned id of the first name of `expr`'s path: the one found when it was built, else looked up now.
std::optional<uint32_t> first_name_id(const QueryExpr& expr, std::string_view first);

// Raises NotYetImplemented("not yet implemented") when a range in `expr` has a bound that is not a number. Entry points
// check the whole tree first, so a malformed query fails whatever the data (a conjunction stops early otherwise).
void check_query(const QueryExpr& expr);

// Whether a captured value is a number (int, float or a big int): what range bounds must be.
inline bool is_number(const PyValue& value) {
  return value.kind() == ValueKind::Int || value.kind() == ValueKind::Float || value.kind() == ValueKind::BigInt;
}

// Throws NotYetImplemented("not yet implemented: ...") for a bt whose bound `low` or `high` is not a number, saying
// which bound, what it must be and what it was.
[[noreturn]] void fail_bound(const PyValue& low, const PyValue& high);

}  // namespace vostrel
