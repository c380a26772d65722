// The engine's guard across fork(): the forking thread waits for engine calls to finish before the process is copied.
#include "index/core/fork_guard.hpp"

#include <pthread.h>

#include <memory>

#include "index/core/structures/locks/lock_order.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

namespace {
// Set on the forking thread between an early wait and the fork it was taken for.
thread_local bool prepared_early = false;

// The forking thread usually holds the interpreter lock, and must not wait for engine calls with it: one may be waiting
// for an object's lock whose holder waits for the interpreter lock (lock_releasing_gil takes it back while holding
// the mutex). So it gives the interpreter lock up for the wait and takes it back holding the exclusive lock, which
// closes no cycle: no thread waits for the activity lock while holding the interpreter lock. Values are captured and
// ids allocated only with the interpreter lock or inside an engine call, so no process-wide leaf lock is held by
// another thread once both are held, but for the release queue's: threads drop references outside engine calls too,
// and that queue has its own fork guard.
void before_fork() {
  if (prepared_early) {
    prepared_early = false;
    return;
  }
  announce_fork();  // calls starting from now wait: the ones under way end, and the lock comes free
  if (!holds_gil()) {
    ENGINE_ACTIVITY().lock();
    return;
  }
  PyThreadState* state = PyEval_SaveThread();
  ENGINE_ACTIVITY().lock();
  take_gil_back(state);
}
void after_fork_in_parent() {
  ENGINE_ACTIVITY().unlock();
  withdraw_fork();
}
// The child's only thread has another thread id than the one that locked (a reader-writer lock checks it on
// unlock), so the child starts from a fresh lock instead; the old one was never shared with anything else there.
void after_fork_in_child() {
  RankedSharedMutex& activity = ENGINE_ACTIVITY();
  std::construct_at(&activity, lock_rank::ENGINE_ACTIVITY);
  if constexpr (LOCK_ORDER_CHECKED) lock_order_release(&activity);
  no_fork_waiting_in_child();
}
}  // namespace

void prepare_for_fork() {
  if (prepared_early) return;
  before_fork();
  prepared_early = true;
}

void install_fork_guard() {
  static const bool installed = [] {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return true;
  }();
  (void)installed;
}

}  // namespace vostrel
