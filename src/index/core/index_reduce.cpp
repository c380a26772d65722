// IndexAPI::reduce: prunes an index in place to the objects matching a keyword selection.
#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/writer_gate.hpp"

namespace vostrel {

namespace {
// From this many objects dropped on, a reduce leaves the bulk of its prune to the writer gate's next holder (a
// worker thread, most often): the call then costs what its answer costs, and the second processor narrows the maps.
// Below, pruning at once is cheap and lets the dropped objects go before the call returns. Tests lower it.
std::atomic<uint64_t> defer_from{50000};
}  // namespace

#ifdef VOSTREL_TEST_HOOKS
uint64_t set_defer_prunes_from(uint64_t objects) { return defer_from.exchange(objects); }
#endif

void IndexAPI::reduce(const std::vector<QueryExpr>& equalities) {
  // Declared before the gate: what the prune let go (Python references among it) is dropped after it.
  PruneLog log;
  WriterGate gate;
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
  // Everything that can fail comes before the first change; from then on the reduce finishes and does not raise.
  // A prune left to the next writer counts one more unsettled change of its own until it is finished.
  const UnsettledChange unsettled(gate, *this);
  auto leaving = std::make_shared<const Bitmap>(std::move(removed));
  std::vector<StoredItem> taken;
  {
    // Readers take the maps, the ids, then the store: with all three held, a reader finds the dropped objects either
    // wholly held or wholly gone.
    std::unique_lock maps_lock(query_maps->mutex);
    std::unique_lock ids_lock(item_ids->mutex);
    taken = take_stored(*leaving);  // reserves first: a failure there has taken nothing
    compact_id_set(kept);
    std::swap(item_ids->value, kept);
    query_maps->value.leaving = leaving;
  }
  if (leaving->cardinality() < defer_from.load()) {
    // Pruning at once is cheap here, and the dropped objects go before the call returns (later writes to them stop
    // reaching this index). Should memory run out part way, the prune is left to the next writer, recounting.
    // A map narrowed part way can miss kept members until the prune ends, so it is tried again at once, recounting.
    for (const bool recount : {false, true}) {
      try {
        finish_prune(gate, *leaving, taken, log, recount);
        return;
      } catch (...) {
      }
    }
    defer_prune(gate, shared_from_this(), std::move(leaving), std::move(taken), true);
    return;
  }
  // The dropped objects stay alive in `taken` until the prune is finished, so their ids cannot be handed out again
  // while the maps still hold entries for them; their writes wait for the gate, which finishes the prune first.
  defer_prune(gate, shared_from_this(), std::move(leaving), std::move(taken));
}

void IndexAPI::finish_prune(const GateHeld& gate, const Bitmap& removed, std::vector<StoredItem>& taken, PruneLog& log, bool exact_counts) {
  Bitmap keep;
  {
    std::shared_lock ids_lock(item_ids->mutex);
    keep = item_ids->value;
  }
  prune(gate, keep, removed, log, exact_counts, &taken);
  std::unique_lock maps_lock(query_maps->mutex);
  query_maps->value.leaving.reset();
}

}  // namespace vostrel
