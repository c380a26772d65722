// FilteredIndexCore: narrowing and listing a fixed set of ids over shared index tables.
#include "index/core/filtered_index.hpp"

#include <shared_mutex>

#include "index/core/query/query_ops.hpp"

namespace vostrel {

FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  // Evaluation never leaves the set it is given, so negations stay within this view too.
  return FilteredIndexCore{query_maps, items, evaluate_query(query_maps->value, ids, expr)};
}

FilteredIndexCore FilteredIndexCore::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  return FilteredIndexCore{query_maps, items, evaluate_and_queries_vec(query_maps->value, ids, equalities)};
}

}  // namespace vostrel
