// Registration and removal of nested objects, run from the entry points once no index lock is held.
#include "index/core/nested_work.hpp"

#include <mutex>
#include <shared_mutex>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/internal_error.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {
namespace {

constexpr int MAX_ANCESTOR_LEVELS = 1 << 16;

// Whether `child` is the holder or an object above it (through every outer index): registering it would close a
// cycle of nested indexes without end, so such a link is not indexed.
bool closes_cycle(const QueryMap& map, uint32_t holder, uint32_t child) {
  Bitmap holders;
  holders.add(holder);
  map.unmask_ids(holders);
  std::shared_ptr<IndexAPI> level = map.parent.lock();
  for (int steps = 0; level && !holders.isEmpty(); ++steps) {
    if (holders.contains(child)) return true;
    if (steps > MAX_ANCESTOR_LEVELS) throw InternalError("nested index chain does not terminate");
    std::shared_ptr<IndexAPI> outer = level->parent.lock();
    if (!outer) break;
    holders = level->get_parent_from_ids(holders);
    if (std::shared_ptr<const QueryMap> outer_map = level->owner_map.lock()) outer_map->unmask_ids(holders);
    level = std::move(outer);
  }
  return holders.contains(child);
}

void link(const NestedTask& task, NestedWork& work) {
  const IndexableCore& core = *task.child.owned_handle;
  const uint32_t child = core.id;
  if (closes_cycle(*task.map, task.holder, child)) return;
  IndexAPI& nested = *task.map->nested;
  bool already_indexed = false;
  {
    std::unique_lock links(nested.parent_links->mutex);
    already_indexed = nested.parent_links->value.has_right(child);
    nested.parent_links->value.register_path(task.holder, child);
  }
  if (already_indexed) return;  // only a new holder
  append_membership(core, task.map->nested);
  std::lock_guard attributes(core.attributes->mutex);
  nested.store_object(child, task.child.python_handle, task.child.owned_handle, *core.attributes, work);
}

void unlink(const NestedTask& task, NestedWork& work) {
  const IndexableCore& core = *task.child.owned_handle;
  const uint32_t child = core.id;
  IndexAPI& nested = *task.map->nested;
  {
    std::unique_lock links(nested.parent_links->mutex);
    M2MU32& pairs = nested.parent_links->value;
    // A pair that was never recorded was cut as a cycle.
    if (!pairs.remove_pair(task.holder, child)) return;
    if (pairs.has_right(child)) return;  // other holders keep it
  }
  // The id leaves `item_ids` first, so writes to the object no longer reach this index while its values go.
  StoredItem removed = nested.unstore_object(child);
  if (!removed.owned_handle) return;
  std::lock_guard attributes(core.attributes->mutex);
  core.attributes->map.for_each(
      [&](const uint32_t& attribute, const PyValue& value) { nested.remove_index(child, attribute, value, work); });
}

}  // namespace

void run_nested_work(NestedWork& work) {
  // Index-based: running a task may append further tasks (and so reallocate the list).
  for (size_t next = 0; next < work.size(); ++next) {
    NestedTask task = std::move(work[next]);
    if (task.kind == NestedTask::Kind::Link) {
      link(task, work);
    } else {
      unlink(task, work);
    }
  }
  work.clear();
}

}  // namespace vostrel
