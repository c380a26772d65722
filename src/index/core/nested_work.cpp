// Registration and removal of nested objects, run from the entry points once no index lock is held.
#include "index/core/nested_work.hpp"

#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {

IndexAPI* nested_index_of(const QueryMap& map) noexcept { return static_cast<IndexAPI*>(map.nested.get()); }

std::shared_ptr<IndexAPI> shared_nested_index_of(const QueryMap& map) noexcept {
  return std::static_pointer_cast<IndexAPI>(map.nested.shared());
}

IndexAPI* ensure_nested(const GateHeld& gate, QueryMap& map) {
  if (IndexAPI* existing = nested_index_of(map)) return existing;
  if (map.nesting_refused) return nullptr;
  // A map whose index is gone (a task of a writer may outlive it) gets no nested index: no query can reach it, and
  // one made now would start a tree of its own, outside the budget of the tree the map belonged to.
  const std::shared_ptr<IndexAPI> owner = map.parent.lock();
  if (!owner) return nullptr;
  std::shared_ptr<IndexAPI> made = IndexAPI::create(owner);
  made->owner_map = map.weak_from_this();
  if (!made->nested_budget->try_take(gate, made)) {
    // Refused for good: an index made later would lack the objects linked before it.
    map.nesting_refused = true;
    return nullptr;
  }
  IndexAPI* index = made.get();
  map.nested.adopt(std::move(made));
  return index;
}
namespace {

// Whether registering `object` under the innermost path entry would close a cycle: it already stands further out on
// the path. The innermost entry itself is allowed once (p.a = p indexes p one level down), then the repeat is cut.
bool closes_cycle(const RegistrationPath* path, uint32_t object) {
  if (path == nullptr) return false;
  for (path = path->outer.get(); path != nullptr; path = path->outer.get()) {
    if (path->object == object) return true;
  }
  return false;
}

void link(const GateHeld& gate, const NestedTask& task, NestedWork& work) {
  // The map's index was dropped while the tasks ran: nothing can query what would be registered here.
  if (task.map->parent.expired()) return;
  const IndexableCore& core = task.child.core();
  const uint32_t child = core.id;
  if (closes_cycle(task.path.get(), child)) {
    record_cut_link(gate, *task.map, task.path->object);  // the innermost entry is the object holding the child
    return;
  }
  IndexAPI* nested_index = ensure_nested(gate, *task.map);
  // Past the tree's budget of nested indexes (which also bounds how deep a chain of linked objects is indexed, and so
  // how far the cycle check above walks): dotted paths through this map find nothing beyond it.
  if (nested_index == nullptr) return;
  IndexAPI& nested = *nested_index;
  bool already_indexed = false;
  {
    std::unique_lock links(nested.parent_links->mutex);
    already_indexed = nested.parent_links->value.has_right(child);
    nested.parent_links->value.register_path(task.holder, child);
  }
  if (already_indexed) return;  // only a new holder
  // On failure (memory) the link goes again, and so does the membership record once it was added: the nested index
  // holds no pair for a child it does not store, and the child's writes do not look for it there.
  bool member = false;
  try {
    append_membership(core, shared_nested_index_of(*task.map));
    member = true;
    std::lock_guard attributes(core.attributes->mutex);
    nested.store_object(gate, child, task.child.python_handle, *core.attributes, work);
  } catch (...) {
    if (member) remove_membership(core, shared_nested_index_of(*task.map));
    std::unique_lock links(nested.parent_links->mutex);
    nested.parent_links->value.remove_pair(task.holder, child);
    throw;
  }
}

// One path `object` (held in `index`) stands on, innermost first: up through one holder per level to the top-level
// index, as a registration through those holders would have made it.
std::shared_ptr<const RegistrationPath> path_through_holders(const IndexAPI& index, uint32_t object) {
  std::vector<uint32_t> chain{object};
  std::shared_ptr<IndexAPI> above;  // keeps the index being walked alive
  const IndexAPI* at = &index;
  uint32_t current = object;
  // Nesting is bounded by the tree's budget; the bound only guards against a chain that would not end.
  for (size_t level = 0; level < 256; ++level) {
    const std::shared_ptr<QueryMap> map = at->owner_map.lock();
    if (!map) break;
    uint32_t holder = 0;
    {
      std::shared_lock links(at->parent_links->mutex);
      const Bitmap holders = at->parent_links->value.lefts_of(current);
      if (holders.isEmpty()) break;
      holder = holders.minimum();
    }
    {
      // A member of a holder's list holds it under an element id: the list's owner is the holder.
      const auto elements = map->read_lock(QueryMap::Part::Translation);
      for (uint32_t up = map->translation.get(holder); up != PagedU32Map::ABSENT; up = map->translation.get(holder)) {
        holder = up;
      }
    }
    chain.push_back(holder);
    above = map->parent.lock();
    if (!above) break;
    at = above.get();
    current = holder;
  }
  std::shared_ptr<const RegistrationPath> path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path = std::make_shared<const RegistrationPath>(RegistrationPath{*it, std::move(path)});
  }
  return path;
}

// An object of `nested` lost a holder but stays there: the path that registered it may have been the one on which
// some of its nested links closed a cycle (p.next = c; c.next = p; q.next = c, then p.next = None: c's link back to
// p was cut on the path through p, and q's path now reaches p without repeating anything). Those links are tried
// again on a path the object still stands on, so a cycle that still stands is cut again where a registration along
// that path would cut it.
void link_cut_again(const GateHeld& gate, IndexAPI& nested, const IndexableCore& core, NestedWork& work) {
  const uint32_t object = core.id;
  std::vector<std::pair<uint32_t, std::shared_ptr<QueryMap>>> cut;
  {
    std::shared_lock maps(nested.query_maps->mutex);
    const QueryMaps& all = nested.query_maps->value;
    for (size_t at = 0; at < all.size(); ++at) {
      if (all.maps()[at]->cut_holders.contains(object)) cut.emplace_back(all.attributes()[at], all.maps()[at]);
    }
  }
  if (cut.empty()) return;
  const std::shared_ptr<const RegistrationPath> path = path_through_holders(nested, object);
  const size_t first = work.size();
  {
    std::lock_guard attributes(core.attributes->mutex);
    for (const auto& [attribute, map] : cut) {
      map->cut_holders.remove(object);  // recorded again if the link is cut again
      if (const AttributeMap::Values::Ref value = core.attributes->map.get(attribute)) {
        map->link_again(gate, object, *value, work);
      }
    }
  }
  for (size_t pos = first; pos < work.size(); ++pos) work[pos].path = path;
}

void unlink(const GateHeld& gate, const NestedTask& task, NestedWork& work) {
  const IndexableCore& core = task.child.core();
  const uint32_t child = core.id;
  IndexAPI* nested_index = nested_index_of(*task.map);
  if (nested_index == nullptr) return;
  IndexAPI& nested = *nested_index;
  bool stays = false;
  {
    std::unique_lock links(nested.parent_links->mutex);
    M2MU32& pairs = nested.parent_links->value;
    // A pair that was never recorded was cut as a cycle.
    if (!pairs.remove_pair(task.holder, child)) return;
    stays = pairs.has_right(child);  // other holders keep it
  }
  if (stays) {
    if (nested.cut_links_recorded) link_cut_again(gate, nested, core, work);
    return;
  }
  // The id leaves `item_ids` first, so writes to the object no longer reach this index while its values go. Should
  // taking them out fail part way, its links are gone already: what stays answers no dotted path, and the repair the
  // failure asks for drops it.
  const UnsettledChange unsettled(gate, nested);
  StoredItem removed = nested.unstore_object(gate, child);
  if (!removed.python_handle) return;
  // Later writes stop reaching this index, and an object in no other index goes back to being written on its own.
  remove_membership(core, shared_nested_index_of(*task.map));
  std::lock_guard attributes(core.attributes->mutex);
  core.attributes->map.for_each(
      [&](const uint32_t& attribute, const PyValue& value) { nested.remove_index(gate, child, attribute, value, work); });
}

}  // namespace

void record_cut_link(const GateHeld& /*gate*/, QueryMap& map, uint32_t holder) {
  map.cut_holders.add(holder);
  if (const std::shared_ptr<IndexAPI> owner = map.parent.lock()) owner->cut_links_recorded = true;
}

namespace {

// Runs work[next] and gives the tasks it added the path through it (tasks that came with a path of their own, links
// tried again, keep it).
void run_task(const GateHeld& gate, NestedWork& work, size_t next) {
  NestedTask task = std::move(work[next]);
  const size_t produced_from = work.size();
  if (task.kind == NestedTask::Kind::Link) {
    link(gate, task, work);
  } else {
    unlink(gate, task, work);
  }
  if (work.size() == produced_from) return;
  // Tasks of the child's own values: their path runs through the child.
  std::shared_ptr<const RegistrationPath> path =
      task.kind == NestedTask::Kind::Link
          ? std::make_shared<const RegistrationPath>(RegistrationPath{task.child.core().id, task.path})
          : task.path;
  for (size_t pos = produced_from; pos < work.size(); ++pos) {
    if (!work[pos].path) work[pos].path = path;
  }
}

}  // namespace

void retry_cut_links(const GateHeld& gate, IndexAPI& nested) noexcept {
  if (!nested.cut_links_recorded) return;
  try {
    Bitmap cut;
    {
      std::shared_lock maps(nested.query_maps->mutex);
      for (const std::shared_ptr<QueryMap>& map : nested.query_maps->value.maps()) cut |= map->cut_holders;
    }
    if (cut.isEmpty()) return;
    const std::vector<StoredIndexable> objects = nested.with_stored(
        [&](const Bitmap& ids, const ItemStore<StoredItem>& store) { return stored_objects(cut & ids, store, nullptr); });
    for (const StoredIndexable& object : objects) {
      const IndexableCore& core = object.core();
      std::vector<std::shared_ptr<QueryMap>> cut_in;
      {
        std::shared_lock maps(nested.query_maps->mutex);
        for (const std::shared_ptr<QueryMap>& map : nested.query_maps->value.maps()) {
          if (map->cut_holders.contains(core.id)) cut_in.push_back(map);
        }
      }
      NestedWork work;
      try {
        link_cut_again(gate, nested, core, work);
        for (size_t next = 0; next < work.size(); ++next) run_task(gate, work, next);
      } catch (...) {
        // Memory ran out: the links not made stay cut, as before (a link that failed took itself back).
        for (const std::shared_ptr<QueryMap>& map : cut_in) record_cut_link(gate, *map, core.id);
      }
    }
  } catch (...) {
    // Memory ran out before any link was tried again: they stay cut, as before.
  }
}

bool run_nested_work(const GateHeld& gate, NestedWork& work, uint32_t origin) {
  if (work.empty()) return true;
  auto root = std::make_shared<const RegistrationPath>(RegistrationPath{origin, nullptr});
  for (NestedTask& task : work) task.path = root;
  // In order (which path registers an object first decides where cycles are cut). A failing link takes itself back
  // and propagates; a failing unlink (memory for its task list) has taken its pair and maybe its object out already,
  // so answers no longer reach what it left: the others still run, and the caller repairs the bookkeeping.
  bool whole = true;
  try {
    // Index-based: running a task may append further tasks (and so reallocate the list).
    for (size_t next = 0; next < work.size(); ++next) {
      const bool unlinking = work[next].kind == NestedTask::Kind::Unlink;
      try {
        run_task(gate, work, next);
      } catch (...) {
        if (!unlinking) throw;
        whole = false;
      }
    }
  } catch (...) {
    work.clear();
    throw;
  }
  work.clear();
  return whole;
}

}  // namespace vostrel
