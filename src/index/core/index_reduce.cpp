// IndexAPI::reduce: prunes an index in place to the objects matching a keyword selection.
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"

namespace vostrel {

void IndexAPI::reduce(const std::vector<QueryExpr>& equalities) {
  // Declared before the gate: what the prune let go (Python references among it) is dropped after it.
  PruneLog log;
  std::lock_guard gate(WRITE_GATE());
  Bitmap kept;
  Bitmap removed;
  {
    // Under the gate the selection cannot change before the pruning below.
    std::shared_lock maps_lock(query_maps->mutex);
    std::shared_lock ids_lock(item_ids->mutex);
    kept = evaluate_and_queries_vec(query_maps->value, item_ids->value, equalities);
    removed = item_ids->value - kept;
  }
  if (removed.isEmpty()) return;
  // Later writes to the removed objects stop reaching this index (and the nested indexes they left) once it returns.
  prune(kept, removed, log);
}

}  // namespace vostrel
