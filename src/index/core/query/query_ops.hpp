// Query evaluation: a query tree over an index's value maps, conjunctions in planned order, dotted paths through
// nested indexes.
#pragma once

#include <span>

#include "index/core/query/query_expr.hpp"
#include "index/core/query/query_maps.hpp"
#include "index/core/query/query_scope.hpp"
#include "index/core/structures/bitmap.hpp"

namespace vostrel {

class QueryMap;

// Ids of `scope` matching `expr`: always a subset of its ids, whatever ids they are (a view's may be ids that
// members took since their objects died). Callers hold `query_maps` for reading.
Bitmap evaluate_query(const QueryMaps& maps, QueryScope scope, const QueryExpr& expr);
// Conjunction: narrows the scope's ids by each expression, cheapest kinds first.
Bitmap evaluate_and_queries_vec(const QueryMaps& maps, QueryScope scope, std::span<const QueryExpr> exprs);
// Evaluates `expr` (its path relative to the nested objects) on the map's nested index; returns the ids of
// `allowed` holding a match (members as their owners).
Bitmap evaluate_nested_query(const QueryMap& map, const QueryExpr& expr, const Bitmap& allowed);

}  // namespace vostrel
