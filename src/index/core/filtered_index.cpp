// FilteredIndexCore: narrowing and listing a fixed set of ids over shared index tables.
#include "index/core/filtered_index.hpp"

#include <shared_mutex>
#include <utility>

#include "index/core/query/query_ops.hpp"

namespace vostrel {

namespace {

// Ids a reduce took out whose map entries are not dropped yet answer as objects in no map do (as they will once the
// maps are narrowed), and so do ids whose object was stored after the view was made (`hidden`, null when none): the
// view's object there left, and the maps answer for another. Evaluation is pointwise, so they are evaluated apart,
// over no maps at all.
template <class Evaluate>
Bitmap answer_in_view(const IndexMaps& maps, const Bitmap& ids, const std::optional<Bitmap>& hidden,
                      Evaluate&& evaluate) {
  const bool leaving = maps.leaving && ids.intersect(*maps.leaving);
  if (!leaving && !hidden) return evaluate(maps, ids);
  Bitmap apart = leaving ? ids & *maps.leaving : Bitmap();
  if (hidden) apart |= ids & *hidden;
  Bitmap result = evaluate(maps, ids - apart);
  static const AttributeMaps no_maps;
  result |= evaluate(no_maps, apart);
  return result;
}

}  // namespace

FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  // Taken under the maps' lock: an object whose values the maps answer for was stored before.
  const std::optional<Bitmap> hidden = stored_since();
  // Evaluation never leaves the set it is given, so negations stay within this view too.
  Bitmap matched = answer_in_view(query_maps->value, ids, hidden, [&](const AttributeMaps& maps, const Bitmap& within) {
    return evaluate_query(maps, within, expr);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched), mark};
}

FilteredIndexCore FilteredIndexCore::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  // Taken under the maps' lock: an object whose values the maps answer for was stored before.
  const std::optional<Bitmap> hidden = stored_since();
  Bitmap matched = answer_in_view(query_maps->value, ids, hidden, [&](const AttributeMaps& maps, const Bitmap& within) {
    return evaluate_and_queries_vec(maps, within, equalities);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched), mark};
}

}  // namespace vostrel
