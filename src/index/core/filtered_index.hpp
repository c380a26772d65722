// FilteredIndexCore: a fixed set of ids over the shared tables of an index.
#pragma once

#include <memory>
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
  // The objects at this view's ids, ascending (placeholders for ids the source index has dropped since).
  std::vector<SharedPyRef> collect() const;
};

}  // namespace vostrel
