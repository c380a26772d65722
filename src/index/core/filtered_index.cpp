// FilteredIndexCore: narrowing and listing a fixed set of ids over shared index tables.
#include "index/core/filtered_index.hpp"

#include <shared_mutex>
#include <utility>

#include "index/core/query/query_ops.hpp"

namespace vostrel {

namespace {

// Ids a reduce took out whose map entries are not dropped yet answer as objects in no map do (as they will once the
// maps are narrowed): evaluation is pointwise, so they are evaluated apart, over no maps at all.
template <class Evaluate>
Bitmap answer_in_view(const IndexMaps& maps, const Bitmap& ids, Evaluate&& evaluate) {
  if (!maps.leaving || !ids.intersect(*maps.leaving)) return evaluate(maps, ids);
  Bitmap result = evaluate(maps, ids - *maps.leaving);
  static const AttributeMaps no_maps;
  result |= evaluate(no_maps, ids & *maps.leaving);
  return result;
}

}  // namespace

FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  // Evaluation never leaves the set it is given, so negations stay within this view too.
  Bitmap matched = answer_in_view(query_maps->value, ids, [&](const AttributeMaps& maps, const Bitmap& within) {
    return evaluate_query(maps, within, expr);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched)};
}

FilteredIndexCore FilteredIndexCore::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  Bitmap matched = answer_in_view(query_maps->value, ids, [&](const AttributeMaps& maps, const Bitmap& within) {
    return evaluate_and_queries_vec(maps, within, equalities);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched)};
}

}  // namespace vostrel
