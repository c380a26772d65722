// WriterGate and the deferred rest of large prunes.
#include "index/core/writer_gate.hpp"

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <new>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "index/python_compat.hpp"
#include "index/py_ref.hpp"
#include "index/core/structures/test_points.hpp"

namespace vostrel {

namespace {

struct PendingPrune {
  std::shared_ptr<IndexAPI> index;
  std::shared_ptr<const Bitmap> removed;
  std::vector<StoredItem> items;
  // A prune that failed part way (MemoryError) has applied some value counts: its retry recounts them all.
  bool failed_before = false;
  // Until the prune is finished the index's maps hold ids its id set does not.
  UnsettledChange unsettled;
};

// At most one prune is ever pending: it is deferred under the gate, and the next gate holder finishes it before its
// own change, another reduce included. Guarded by the gate; `has_pending` mirrors it for the worker's last look.
std::optional<PendingPrune>& pending() {
  static std::optional<PendingPrune>* slot = std::make_unique<std::optional<PendingPrune>>().release();
  return *slot;
}
std::atomic<bool> has_pending{false};

// The worker's state. Never destroyed (a worker may still be running while the process exits), and replaced in a
// forked child, which has no worker and may have inherited the mutex locked.
struct WorkerState {
  std::mutex mutex;
  std::condition_variable stopped;
  bool running = false;
};
WorkerState* worker_state = std::make_unique<WorkerState>().release();

void forget_worker_in_child() { worker_state = std::make_unique<WorkerState>().release(); }

void finish_pending(const GateHeld& gate, IndexAPI::PruneLog& log) {
  std::optional<PendingPrune>& slot = pending();
  if (!slot) return;
  try {
    slot->index->finish_prune(gate, *slot->removed, slot->items, log, slot->failed_before);
    if (test_point_fails(TestPoint::DeferredPruneFinish)) throw std::bad_alloc();
  } catch (...) {
    slot->failed_before = true;
    throw;
  }
  slot.reset();
  has_pending.store(false);
}

int apply_releases_callback(void*) {
  apply_deferred_releases();
  return 0;
}

// The worker finishes the pending prune as any writer would, then asks the main thread to release the Python
// references it let go (the worker never takes the interpreter lock). It stops once nothing is pending, or when a
// prune failed (the next writer retries it).
void run_worker() {
  for (;;) {
    bool failed = false;
    try {
      const std::shared_lock activity = enter_engine_activity();
      WriterGate gate;
    } catch (...) {
      failed = true;
    }
    if (pending_release_count() > 0) Py_AddPendingCall(apply_releases_callback, nullptr);
    WorkerState& state = *worker_state;
    std::lock_guard lock(state.mutex);
    if (failed || !has_pending.load()) {
      state.running = false;
      state.stopped.notify_all();
      return;
    }
  }
}

void start_worker() {
  static const bool fork_handler = [] {
    pthread_atfork(nullptr, nullptr, forget_worker_in_child);
    return true;
  }();
  (void)fork_handler;
  WorkerState& state = *worker_state;
  std::lock_guard lock(state.mutex);
  if (state.running) return;  // it looks for pending work again before it stops
  try {
    std::thread(run_worker).detach();
    state.running = true;
  } catch (...) {
    // No thread to be had (or no memory for one): the next writer finishes the prune.
  }
}

}  // namespace

WriterGate::WriterGate() : lock_(WRITE_GATE()) {
  if (has_pending.load(std::memory_order_relaxed)) finish_pending(*this, log_);
}

void defer_prune(const GateHeld& gate, std::shared_ptr<IndexAPI> index, std::shared_ptr<const Bitmap> removed,
                 std::vector<StoredItem> items, bool failed_before) {
  UnsettledChange unsettled(gate, *index);
  pending().emplace(
      PendingPrune{std::move(index), std::move(removed), std::move(items), failed_before, std::move(unsettled)});
  has_pending.store(true);
  // Past the start of interpreter shutdown no thread is started; the prune stays pending for any later writer.
  if (!interpreter_finalizing() && !test_point_held(TestPoint::DeferredPruneWorker)) start_worker();
}

namespace {
// Made when the module loads: a repair is asked for when memory has run out.
const std::shared_ptr<const Bitmap> NOTHING_REMOVED = std::make_shared<const Bitmap>();
}  // namespace

void defer_repair(const GateHeld& gate, std::shared_ptr<IndexAPI> index) {
  std::optional<PendingPrune>& slot = pending();
  if (slot) {
    // Only the same index can be pending within one change (its reduce): that prune recounts everything.
    if (slot->index == index) slot->failed_before = true;
    return;
  }
  UnsettledChange unsettled(gate, *index);
  slot.emplace(PendingPrune{std::move(index), NOTHING_REMOVED, {}, true, std::move(unsettled)});
  has_pending.store(true);
  if (!interpreter_finalizing() && !test_point_held(TestPoint::DeferredPruneWorker)) start_worker();
}

void wait_for_deferred_prunes() {
  WorkerState& state = *worker_state;
  std::unique_lock lock(state.mutex);
  state.stopped.wait(lock, [&] { return !state.running; });
}


}  // namespace vostrel
