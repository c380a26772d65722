// FilteredIndexCore: a fixed set of ids over the shared tables of an index.
#pragma once

#include <memory>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/bitmap.hpp"

namespace vostrel {

struct FilteredIndexCore {
  std::shared_ptr<QueryMapList> query_maps;  // the source index's value maps (shared, not copied)
  std::shared_ptr<ItemList> items;           // the source index's object store (shared, not copied)
  Bitmap ids;                                // this view's ids, fixed at creation

  // Narrowings; the result is always a subset of `ids`. Interpreter lock released by the caller.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  // Calls `visit(ids, items)` with the store read-locked and returns its result. Ids whose object the index dropped
  // since are absent from the store.
  template <class F>
  auto with_stored(F&& visit) const {
    std::shared_lock items_lock(items->mutex);
    return visit(ids, std::as_const(items->value));
  }
};

}  // namespace vostrel
