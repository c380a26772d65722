// The leaf operators: each reads one structure of a value map under its read lock and reports element matches as
// their owners.
#pragma once

#include <cstdint>
#include <optional>

#include "index/core/query/query_expr.hpp"
#include "index/core/query/query_maps.hpp"
#include "index/core/query/query_scope.hpp"
#include "index/core/structures/bitmap.hpp"

namespace vostrel {

// A leaf (or In) evaluated as `kind`; the result is always a subset of the scope's ids. A dotted path descends into
// the nested index of its first component (evaluate_nested_query), whose holders are always cut to them.
Bitmap evaluate_leaf(const QueryMaps& maps, QueryScope scope, QueryKind kind, const QueryExpr& expr);

// Number of ids an Eq or In on a plain (undotted) path matches at most, counted in the value maps; UNKNOWN_COUNT
// for every other expression. Element matches count as their element ids, so this bounds, not equals, the answer.
// With a `range_cap`, a number range on a plain path too: counted from its ordered entries when it lies within a few
// leaves (the count stopping past the cap, returning more), else estimated from the leaves it spans (it may then be
// above or below the answer); 0 only when no number lies in it.
constexpr uint64_t UNKNOWN_COUNT = UINT64_MAX;
uint64_t match_count(const QueryMaps& maps, const QueryExpr& expr, uint64_t range_cap = 0);
// Gt, Ge, Lt, Le and Bt.
bool is_range(QueryKind kind);

// not_ of a flag (Eq of a bool) on a plain path, where no list member is stored: `allowed` less that side of the
// flags, in one difference (the flag's matches need not be cut to `allowed` first). Nothing for another shape.
std::optional<Bitmap> evaluate_not_flag(const QueryMaps& maps, const Bitmap& allowed, const QueryExpr& child);

}  // namespace vostrel
