// WriterGate: the process-wide writer gate held for one change, and the prunes that a reduce leaves to finish later.
//
// A reduce takes the objects it drops out of the index's ids and store at once, so queries, views and collect()
// answer without them when it returns. Narrowing the value maps, letting the dropped objects go (membership records,
// Python references) and pruning nested indexes costs far more, and runs after the call: on a worker thread, or
// earlier by whichever writer takes the gate first. Every WriterGate finishes the pending prunes before its holder
// changes anything, so under the gate the engine is always whole: no writer ever meets a half-pruned index. Until
// then the maps still hold entries for the dropped ids; the index's `leaving` ids tell views to answer for them as
// for objects in no map.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/locks/gate_held.hpp"
#include "index/core/structures/locks/lock_order.hpp"

namespace vostrel {

class WriterGate : public GateHeld {
 public:
  // Locks the gate, then finishes the pending prune if there is one (which may throw MemoryError; the gate is then
  // released and the prune stays pending).
  WriterGate();
  WriterGate(const WriterGate&) = delete;
  WriterGate& operator=(const WriterGate&) = delete;

 private:
  // Declared before the lock: what the finished prunes let go is dropped after the gate is released.
  IndexAPI::PruneLog log_;
  std::unique_lock<RankedMutex> lock_;
};

// The rest of a prune of `index`, whose `removed` objects already left its ids and store (`items` are
// their stored records, still holding the objects), is left to the next gate holder; a worker thread is started to be
// that holder soon.
// `failed_before`: a first attempt failed part way, so the prune recounts every value map.
void defer_prune(const GateHeld& gate, std::shared_ptr<IndexAPI> index, std::shared_ptr<const Bitmap> removed, std::vector<StoredItem> items,
                 bool failed_before = false);

// A change past its point of no return met a full memory while taking values out, and left entries of
// objects that already left (unreachable from any answer, but counted): the next gate holder prunes `index` to the
// objects it holds, recounting every value map. Never fails.
void defer_repair(const GateHeld& gate, std::shared_ptr<IndexAPI> index);

// No engine lock and no interpreter lock held: returns once the worker has stopped, having finished the pending prune
// (or failed at it, or never started: that prune then waits for the next writer). At exit, and for tests that look
// at what a prune lets go.
void wait_for_deferred_prunes();

}  // namespace vostrel
