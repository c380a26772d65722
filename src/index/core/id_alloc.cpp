// Process-wide allocation of 32-bit object ids: freed ids are reused last-in first-out before fresh ones.
#include "index/core/id_alloc.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "index/internal_error.hpp"

namespace vostrel {
namespace {

// One past the last fresh id: the counter stops here instead of wrapping to ids that may still be held.
constexpr uint64_t ID_SPACE_END = uint64_t{1} << 32;

// The next never-used id. Wider than an id so that running out is visible; only changed under the FREE_IDS mutex.
std::atomic<uint64_t> GLOBAL_ID_COUNTER{1};

struct FreeIds {
  std::mutex mutex;
  std::vector<uint32_t> stack;  // guarded by mutex; the top is the most recently freed id
};

// The free stack, created on first use and never destroyed: objects may still give ids back while the process
// exits, after static destructors have started to run.
FreeIds& FREE_IDS() {
  static FreeIds& free_ids = *std::make_unique<FreeIds>().release();
  return free_ids;
}

}  // namespace

uint32_t allocate_id() {
  FreeIds& free_ids = FREE_IDS();
  std::lock_guard lock(free_ids.mutex);  // no other lock is taken while this one is held
  if (!free_ids.stack.empty()) {
    uint32_t id = free_ids.stack.back();
    free_ids.stack.pop_back();
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
  try {
    free_ids.stack.push_back(id);
  } catch (const std::bad_alloc&) {
    // Called from destructors, so it must not throw. An id that cannot be recorded is simply never reused,
    // which is safe: no live owner can be handed it.
  }
}

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
  return free_ids.stack.size();
}

}  // namespace id_alloc_testing
}  // namespace vostrel
