// Process-wide allocation of 32-bit object ids: the lowest freed id is reused first, before fresh ones.
#include "index/core/structures/ids/id_alloc.hpp"

#include <roaring/roaring.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// One past the last fresh id: the counter stops here instead of wrapping to ids that may still be held.
constexpr uint64_t ID_SPACE_END = uint64_t{1} << 32;

// One above every id that is held or free: the next fresh id. Wider than an id so that running out is visible; only
// changed under the FREE_IDS mutex. It moves back down when the ids just below it are freed (see absorb_top).
std::atomic<uint64_t> GLOBAL_ID_COUNTER{1};

// Ids are taken and given back once per object made and dropped, for a few instructions each: uncontended, this lock
// costs an exchange and a store where a mutex costs two calls into the thread library. A waiter yields, as the
// holder may have been preempted (or be giving back a million ids at once).
class IdLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire)) {
      while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

struct FreeIds {
  IdLock mutex;
  // Guarded by mutex. Freed ids below the counter; compressed, so a churned process pays little for remembering
  // scattered ids, and its minimum is the next id handed out.
  Bitmap ids;
};

// The free set, created on first use and never destroyed: objects may still give ids back while the process
// exits, after static destructors have started to run.
FreeIds& FREE_IDS() {
  static FreeIds& free_ids = *std::make_unique<FreeIds>().release();
  return free_ids;
}

// Caller holds the mutex. While the highest free id sits just below the counter, the counter takes it back, so
// after a full churn the fresh range starts low again and the free set stays small.
// Asks only whether the id just below the counter is free: the set's maximum would scan a sparse top container word
// by word, on every id given back while a large index is dropped.
void absorb_top(FreeIds& free_ids) {
  for (uint64_t below = GLOBAL_ID_COUNTER.load() - 1; below != 0 && free_ids.ids.contains(static_cast<uint32_t>(below));
       --below) {
    free_ids.ids.remove(static_cast<uint32_t>(below));
    GLOBAL_ID_COUNTER.store(below);
  }
}

}  // namespace

uint32_t allocate_id() {
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);  // no other lock is taken while this one is held
  if (!free_ids.ids.isEmpty()) {
    uint32_t id = free_ids.ids.minimum();
    free_ids.ids.remove(id);
    return id;
  }
  uint64_t next = GLOBAL_ID_COUNTER.load();
  if (next >= ID_SPACE_END) throw InternalError("id space exhausted");
  GLOBAL_ID_COUNTER.fetch_add(1);
  return static_cast<uint32_t>(next);
}

void free_id(uint32_t id) {
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);
  if (static_cast<uint64_t>(id) + 1 == GLOBAL_ID_COUNTER.load()) {
    GLOBAL_ID_COUNTER.store(id);
    absorb_top(free_ids);
    return;
  }
  free_ids.ids.add(id);
}

void free_many_ids(std::span<const uint32_t> ids) {
  if (ids.empty()) return;
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);
  // All into the free set first, then the counter takes back the top run: the same end state as one at a time.
  free_ids.ids.addMany(ids.size(), ids.data());
  absorb_top(free_ids);
}

#ifdef VOSTREL_TEST_HOOKS
namespace id_alloc_testing {

void set_next_fresh_id(uint64_t next) {
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);
  GLOBAL_ID_COUNTER.store(next);
}

uint64_t next_fresh_id() { return GLOBAL_ID_COUNTER.load(); }

size_t free_count() {
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);
  return free_ids.ids.cardinality();
}

}  // namespace id_alloc_testing
#endif
}  // namespace vostrel
