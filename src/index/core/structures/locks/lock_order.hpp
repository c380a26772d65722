// The engine's lock hierarchy, written once, and the ranked mutexes that enforce it in checked builds.
//
// Locks held together are always taken in ascending rank (outer first):
//
//   ENGINE_ACTIVITY                  process-wide, shared by every call into the engine (taken after the interpreter
//                                    lock is given up, released before it is taken back); held exclusively only
//                                    across fork(), so the child never inherits a lock some other thread held.
//   WRITE_GATE                       process-wide; every change to any index (insertion, attribute writes that
//                                    reach an index, nested registration, purges) runs under it, so writers never
//                                    race each other into an inversion. Readers (queries, collect) never take it.
//   OBJECT_MEMBERSHIP                one object's membership list
//   OBJECT_ATTRIBUTES                one object's attribute map
//   index level L (0 = a top-level index, L + 1 = the nested index of a value map at level L), each level:
//     QUERY_MAPS, ITEM_IDS, ITEMS, then the parts of one value map: POSITIONAL, NUMERIC, BOOL, MASK,
//     TRANSLATION, OBJECTS, and last PARENT_LINKS; then the next level's locks.
//
// Rules that follow from it and that the write path is built around:
//   - at most one object's locks are held at a time: nested objects are registered after the holder's locks (and
//     every index lock) are released, driven by a work list from the entry point, never from inside a value map;
//   - no object lock is ever awaited while an index lock is held;
//   - the interpreter lock is never awaited while any of these is held, and no Python code runs under them (values
//     are captured, iterable members included, before any lock is taken; results are built after unlocking). One
//     exception, safe by construction: a Python-side reader of an object (getattr, dir, repr) that had to wait for
//     its attribute map takes the interpreter lock back while holding that one lock, and holds nothing else; no
//     thread holding the interpreter lock ever waits for an object lock (it only try-locks, and gives the
//     interpreter lock up when the lock is busy: lock_releasing_gil). Nor for ENGINE_ACTIVITY: an engine call may
//     wait for such a reader's lock, so a fork gives the interpreter lock up while it waits for the calls to end.
//   - an attribute read, and the check that an object is in no index before a write, read without the lock under a
//     stamp of the object's mutex (CompactMutex::stamp) and take the lock only when a writer came meanwhile.
//   - an object never handed to the engine (IndexableCore::hand_to_engine, called with the interpreter lock held
//     wherever an object comes within reach of threads that do not hold it) is guarded by the interpreter lock
//     alone: its writes take neither of its locks.
// Leaf locks (the id allocator, the interner's write side, the release queue, exact-map shards, a store's put
// history) take no other lock while held and are not ranked.
//
// With VOSTREL_LOCK_CHECK defined (debug and sanitizer builds) every ranked lock records itself in a per-thread list
// and a lock taken against the order aborts the process with both ranks printed, so any test that walks such a path
// fails at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <type_traits>

#include "index/core/structures/locks/compact_mutex.hpp"

namespace vostrel {

namespace lock_rank {
constexpr int32_t ENGINE_ACTIVITY = 5;
constexpr int32_t WRITE_GATE = 10;
constexpr int32_t OBJECT_MEMBERSHIP = 20;
constexpr int32_t OBJECT_ATTRIBUTES = 30;
constexpr int32_t INDEX_BASE = 100;
constexpr int32_t LEVEL_STRIDE = 16;
// Offsets within one index level.
constexpr int32_t QUERY_MAPS = 0;
constexpr int32_t ITEM_IDS = 1;
constexpr int32_t ITEMS = 2;
constexpr int32_t POSITIONAL = 3;
constexpr int32_t NUMERIC = 4;
constexpr int32_t BOOL = 5;
constexpr int32_t MASK = 6;
constexpr int32_t TRANSLATION = 7;
constexpr int32_t OBJECTS = 8;
constexpr int32_t PARENT_LINKS = 9;

constexpr int32_t at_level(uint32_t level, int32_t offset) {
  return INDEX_BASE + static_cast<int32_t>(level) * LEVEL_STRIDE + offset;
}
}  // namespace lock_rank

// Checked builds: records / forgets a lock of `rank` for this thread; aborts when `rank` is not above every rank the
// thread already holds. No-ops otherwise.
void lock_order_acquire(int32_t rank, const void* lock) noexcept;
void lock_order_release(const void* lock) noexcept;
// Checked builds: aborts when this thread holds any ranked lock (called before waiting for the interpreter lock and
// before running Python code from engine paths).
void lock_order_expect_none(const char* where) noexcept;
// Number of ranked locks this thread holds (always 0 in unchecked builds).
int lock_order_held_count() noexcept;

#ifdef VOSTREL_LOCK_CHECK
inline constexpr bool LOCK_ORDER_CHECKED = true;
#else
inline constexpr bool LOCK_ORDER_CHECKED = false;
#endif

// A mutex that knows its place in the hierarchy. Satisfies Lockable, so std::lock_guard / std::unique_lock work.
// Four bytes in unchecked builds (objects carry two): the rank is kept only where the checker reads it.
class RankedMutex {
 public:
  explicit RankedMutex(int32_t rank) noexcept {
    rank_.set(rank);
  }
  void lock() {
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(rank_.get(), this);
    mutex_.lock();
  }
  bool try_lock() {
    // A try-lock never waits, so it cannot close a cycle; it is still recorded so that later locks are checked.
    if (!mutex_.try_lock()) return false;
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(rank_.get() < 0 ? rank_.get() : -rank_.get(), this);
    return true;
  }
  void unlock() {
    mutex_.unlock();
    if constexpr (LOCK_ORDER_CHECKED) lock_order_release(this);
  }
  // Optimistic reads (see CompactMutex): they never wait, so they take no place in the hierarchy.
  std::optional<uint32_t> stamp() const noexcept { return mutex_.stamp(); }
  bool still(uint32_t stamp) const noexcept { return mutex_.still(stamp); }
  // The sticky mark (see CompactMutex::mark), for the guarded record's own use.
  void mark() noexcept { mutex_.mark(); }
  bool marked() const noexcept { return mutex_.marked(); }

 private:
  struct Rank {
    int32_t value = 0;
    int32_t get() const noexcept { return value; }
    void set(int32_t rank) noexcept { value = rank; }
  };
  struct NoRank {
    int32_t get() const noexcept { return 0; }
    void set(int32_t) noexcept {}
  };
  CompactMutex mutex_;
  [[no_unique_address]] std::conditional_t<LOCK_ORDER_CHECKED, Rank, NoRank> rank_;
};

// Reader-writer variant; both modes follow the same order (a reader waits behind a queued writer).
class RankedSharedMutex {
 public:
  explicit RankedSharedMutex(int32_t rank) noexcept : rank_(rank) {}
  void lock() {
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(rank_, this);
    mutex_.lock();
  }
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(-rank_, this);
    return true;
  }
  void unlock() {
    mutex_.unlock();
    if constexpr (LOCK_ORDER_CHECKED) lock_order_release(this);
  }
  void lock_shared() {
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(rank_, this);
    mutex_.lock_shared();
  }
  bool try_lock_shared() {
    if (!mutex_.try_lock_shared()) return false;
    if constexpr (LOCK_ORDER_CHECKED) lock_order_acquire(-rank_, this);
    return true;
  }
  void unlock_shared() {
    mutex_.unlock_shared();
    if constexpr (LOCK_ORDER_CHECKED) lock_order_release(this);
  }
  int32_t rank() const noexcept { return rank_; }

 private:
  std::shared_mutex mutex_;
  int32_t rank_;
};

// The process-wide writer gate (rank WRITE_GATE).
RankedMutex& WRITE_GATE();

// The process-wide engine activity lock (rank ENGINE_ACTIVITY).
RankedSharedMutex& ENGINE_ACTIVITY();

// ENGINE_ACTIVITY shared, for one engine call. While a fork waits for the lock exclusively, a new call waits for the
// fork to pass before it takes its share: the lock lets readers in while a writer waits, so a steady stream of calls
// on other threads would keep the fork waiting for ever. On the forking thread itself, between its wait and the fork
// (Python code runs there: the interpreter's other before-fork hooks, finalizers of a collection they set off), a call
// takes no share: that thread holds the lock exclusively already, and no other engine call is under way.
std::shared_lock<RankedSharedMutex> enter_engine_activity();
// A fork's side of it: announced before it waits for the exclusive lock, withdrawn in the parent once the process
// is copied. The child, with one thread, starts with no fork waiting (another thread's may have been announced).
void announce_fork() noexcept;
void withdraw_fork() noexcept;
void no_fork_waiting_in_child() noexcept;

}  // namespace vostrel
