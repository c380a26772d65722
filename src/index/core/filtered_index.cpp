// FilteredIndexCore: narrowing and listing a fixed set of ids over shared index tables.
#include "index/core/filtered_index.hpp"

#include <shared_mutex>

#include "index/core/query/query_ops.hpp"
#include "index/internal_error.hpp"

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

std::vector<SharedPyRef> FilteredIndexCore::collect() const {
  std::shared_lock items_lock(items->mutex);
  const auto& store = items->value;
  std::vector<SharedPyRef> handles;
  handles.reserve(ids.cardinality());
  for (uint32_t id : ids) {
    // The store only grows and has a position for every id ever stored.
    if (id >= store.size()) throw InternalError("view id without a stored item");
    handles.push_back(store[id].python_handle);
  }
  return handles;
}

}  // namespace vostrel
