// FilteredIndexCore: narrowing and listing a fixed set of ids over shared index tables.
#include "index/core/filtered_index.hpp"

#include <shared_mutex>
#include <utility>

#include "index/core/query/query_ops.hpp"

namespace vostrel {

namespace {

// Ids a reduce took out whose map entries are not dropped yet answer as objects in no map do (as they will once the
// maps are narrowed), and so do ids whose object was stored after the view was made: the view's object there left,
// and the maps answer for another. Evaluation is pointwise, so they are evaluated apart, over no maps at all.
// The ids stored since are read after the maps were: ids are recorded before any of their values go into a map (a
// batch fills the maps while views are read), so every object whose values the evaluation met is among them.
template <class Evaluate>
Bitmap answer_in_view(const QueryMaps& maps, const FilteredIndexCore& view, Evaluate&& evaluate) {
  const Bitmap& ids = view.ids;
  const bool leaving = maps.leaving && ids.intersect(*maps.leaving);
  Bitmap apart = leaving ? ids & *maps.leaving : Bitmap();
  Bitmap result = evaluate(maps, leaving ? ids - apart : ids);
  if (const std::optional<Bitmap> hidden = view.stored_since()) {
    const Bitmap stored_later = ids & *hidden;
    result -= stored_later;
    apart |= stored_later;
  }
  if (apart.isEmpty()) return result;
  static const QueryMaps no_maps;
  result |= evaluate(no_maps, apart);
  return result;
}

}  // namespace

FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  check_query(expr);
  std::shared_lock maps_lock(query_maps->mutex);
  // Evaluation never leaves the set it is given, so negations stay within this view too.
  Bitmap matched = answer_in_view(query_maps->value, *this, [&](const QueryMaps& maps, const Bitmap& within) {
    return evaluate_query(maps, within, expr);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched), mark};
}

FilteredIndexCore FilteredIndexCore::reduced(const std::vector<QueryExpr>& equalities) const {
  std::shared_lock maps_lock(query_maps->mutex);
  Bitmap matched = answer_in_view(query_maps->value, *this, [&](const QueryMaps& maps, const Bitmap& within) {
    return evaluate_and_queries_vec(maps, within, equalities);
  });
  return FilteredIndexCore{query_maps, items, std::move(matched), mark};
}

}  // namespace vostrel
