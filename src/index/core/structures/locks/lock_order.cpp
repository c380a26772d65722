// Per-thread bookkeeping of held ranked locks (checked builds) and the writer gate.
#include "index/core/structures/locks/lock_order.hpp"

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <memory>
#include <thread>

namespace vostrel {

namespace {
// Set on the thread that announced a fork, until the fork has passed.
thread_local bool forking_thread = false;
}  // namespace

#ifdef VOSTREL_LOCK_CHECK
namespace {

struct HeldLock {
  int32_t rank;  // negative: taken by a try-lock (never waited for)
  const void* lock;
};

// Deep enough for the nesting of dotted queries into nested indexes; beyond it checking simply stops.
constexpr int MAX_TRACKED = 256;
thread_local HeldLock held[MAX_TRACKED];
thread_local int held_count = 0;

int32_t magnitude(int32_t rank) { return rank < 0 ? -rank : rank; }

}  // namespace

void lock_order_acquire(int32_t rank, const void* lock) noexcept {
  if (rank > 0) {
    for (int pos = 0; pos < held_count; ++pos) {
      if (magnitude(held[pos].rank) >= rank) {
        std::fprintf(stderr, "Vostrel lock order violated: waiting for rank %d while holding rank %d\n", rank,
                     magnitude(held[pos].rank));
        std::fflush(stderr);
        std::abort();
      }
    }
  }
  if (held_count < MAX_TRACKED) held[held_count++] = HeldLock{rank, lock};
}

void lock_order_release(const void* lock) noexcept {
  for (int pos = held_count - 1; pos >= 0; --pos) {
    if (held[pos].lock == lock) {
      for (int rest = pos; rest + 1 < held_count; ++rest) held[rest] = held[rest + 1];
      --held_count;
      return;
    }
  }
}

void lock_order_expect_none(const char* where) noexcept {
  // The forking thread holds ENGINE_ACTIVITY from its before-fork wait to the fork, and Python code runs there that
  // may take the interpreter lock back: safe, as no thread waits for that lock while holding the interpreter lock.
  const int first = forking_thread && held_count > 0 && magnitude(held[0].rank) == lock_rank::ENGINE_ACTIVITY ? 1 : 0;
  if (held_count == first) return;
  std::fprintf(stderr, "Vostrel lock order violated: %s while holding rank %d\n", where, magnitude(held[first].rank));
  std::fflush(stderr);
  std::abort();
}

int lock_order_held_count() noexcept { return held_count; }
#else
void lock_order_acquire(int32_t, const void*) noexcept {}
void lock_order_release(const void*) noexcept {}
void lock_order_expect_none(const char*) noexcept {}
int lock_order_held_count() noexcept { return 0; }
#endif

RankedMutex& WRITE_GATE() {
  // Never destroyed: writers on daemon threads may still hold it while the process exits.
  static RankedMutex* gate = std::make_unique<RankedMutex>(lock_rank::WRITE_GATE).release();
  return *gate;
}

RankedSharedMutex& ENGINE_ACTIVITY() {
  static RankedSharedMutex* activity = std::make_unique<RankedSharedMutex>(lock_rank::ENGINE_ACTIVITY).release();
  return *activity;
}

namespace {
std::atomic<int> forks_waiting{0};
}  // namespace

std::shared_lock<RankedSharedMutex> enter_engine_activity() {
  for (;;) {
    if (forks_waiting.load(std::memory_order_acquire) != 0 && forking_thread) return {};
    std::shared_lock activity(ENGINE_ACTIVITY());
    // A call that got its share before a fork was announced runs on: the fork waits for it.
    if (forks_waiting.load(std::memory_order_acquire) == 0) return activity;
    activity.unlock();
    // A fork lasts a few milliseconds.
    while (forks_waiting.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  }
}

void announce_fork() noexcept {
  forking_thread = true;
  forks_waiting.fetch_add(1, std::memory_order_acq_rel);
}
void withdraw_fork() noexcept {
  forks_waiting.fetch_sub(1, std::memory_order_acq_rel);
  forking_thread = false;
}
void no_fork_waiting_in_child() noexcept {
  forks_waiting.store(0, std::memory_order_release);
  forking_thread = false;
}

}  // namespace vostrel
