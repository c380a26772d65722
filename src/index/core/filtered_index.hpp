// FilteredIndexCore: a fixed set of ids over the shared tables of an index.
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/bitmap.hpp"

namespace vostrel {

struct FilteredIndexCore {
  std::shared_ptr<RwLocked<QueryMaps>> query_maps;  // the source index's value maps (shared, not copied)
  std::shared_ptr<ItemList> items;           // the source index's object store (shared, not copied)
  Bitmap ids;                                // this view's ids, fixed at creation
  // The store's mark of the moment the ids were matched: what it stored since is no object of this view (an object
  // at a reused id). Null for a view of nothing.
  PutHistory::Mark mark{};

  // Narrowings; the result is always a subset of `ids`. Interpreter lock released by the caller.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  // The ids whose objects were stored after the view was made; nullopt when there are none (the usual case).
  std::optional<Bitmap> stored_since() const { return items->history.stored_since(mark); }
  // Calls `visit(ids, items, hidden)` with the store read-locked and returns its result. Ids whose object the index
  // dropped since are absent from the store; `hidden` (null when there are none) holds those whose object was stored
  // after the view was made, which are no objects of the view either. Read under the store's lock: what the store
  // holds now was recorded before it was put there.
  template <class F>
  auto with_stored(F&& visit) const {
    std::shared_lock items_lock(items->mutex);
    const std::optional<Bitmap> hidden = stored_since();
    return visit(ids, std::as_const(items->value), hidden ? &*hidden : nullptr);
  }
};

}  // namespace vostrel
