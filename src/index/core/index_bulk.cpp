// IndexAPI::add_indexables: batch insertion through BulkWriters, chunk by chunk (the next chunk staged while the last
// is flushed), with the nested objects that a few chunks link entered as one batch per nested index.
//
// Nested objects go level by level instead of one holder at a time: the children that one value map's values link
// in those chunks are linked to their holders in the nested index's links with one lock, deduplicated, and the new ones
// stored there through that index's own writer; their nested values form the groups of the next level. A work queue
// drives the levels, so a deep chain costs no native stack. Every nested index receives its objects in the order the
// one-by-one path would reach them (holders in order, values in attribute order), so the same children are linked,
// the same cycles cut at the same depth, and the same objects stored.
#include <algorithm>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "index/core/index.hpp"
#include "index/core/delayed_query.hpp"
#include "index/core/query/query.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/test_points.hpp"
#include "index/core/writer_gate.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {
namespace {

// Objects staged before their values are flushed and their ids published. The first chunk is staged with nothing
// beside it to overlap: it is kept short, so that the pipeline fills soon. Each later chunk is four times all the
// objects before it, up to LARGEST_CHUNK_OBJECTS, so a long batch soon reaches full-size chunks. Those pay off: a
// chunk's numbers merge into an ordered map in one pass over the map, and each bitmap takes longer runs per
// add_many. The cap keeps the staged buffers a few tens of megabytes per index, lets readers see a long batch arrive
// in steps, and leaves a failure little to undo.
constexpr size_t FIRST_CHUNK_OBJECTS = 2048;
constexpr size_t LARGEST_CHUNK_OBJECTS = 65536;

// Objects in the chunk that starts `begin` objects into the batch.
size_t chunk_objects(size_t begin) { return std::clamp(4 * begin, FIRST_CHUNK_OBJECTS, LARGEST_CHUNK_OBJECTS); }

// Nested links gathered from the holders' chunks before their children are stored: four large chunks' worth (about
// ten megabytes of tasks). Each such batch of children starts again with a small chunk staged alone, so fewer and
// longer batches keep both lanes busy for more of the time.
constexpr size_t NESTED_BATCH_TASKS = 4 * LARGEST_CHUNK_OBJECTS;

using PathRef = std::shared_ptr<const RegistrationPath>;

// How a nested batch object was reached: the object whose value linked it and that object's own registration path.
// The path node of the link itself ({producer, outer}) is built only for an object that links objects in turn: most
// nested objects (an address, a plane) link nothing, and then no node is allocated for them.
struct LinkOrigin {
  uint32_t producer;
  PathRef outer;
  PathRef materialise() const {
    return std::make_shared<const RegistrationPath>(RegistrationPath{producer, outer});
  }
};

// Whether `object` stands on `path` (the producer's own path: linking it again would close a cycle).
bool on_path(const RegistrationPath* path, uint32_t object) {
  for (; path != nullptr; path = path->outer.get()) {
    if (path->object == object) return true;
  }
  return false;
}

// Objects (with their membership records and attribute map) and their attribute blocks were allocated when the
// objects were made and are usually out of the cache by the time a batch reaches them; at a few hundred nanoseconds a
// miss, fetching them some objects ahead roughly halves the per-object cost of a large batch. The object is fetched
// first, the attribute block it points to next.
// The handle's shared holder, which names the object, is one more hop before them and is fetched further ahead still.
constexpr size_t FETCH_HOLDER_AHEAD = 32;
constexpr size_t FETCH_RECORD_AHEAD = 16;
constexpr size_t FETCH_PARTS_AHEAD = 8;

void fetch_ahead(const std::vector<StoredIndexable>& objects, size_t pos, size_t end) {
  if (pos + FETCH_HOLDER_AHEAD < end) objects[pos + FETCH_HOLDER_AHEAD].python_handle.prefetch();
  if (pos + FETCH_RECORD_AHEAD < end) {
    const IndexableCore& core = objects[pos + FETCH_RECORD_AHEAD].core();
    __builtin_prefetch(&core);
    __builtin_prefetch(&*core.attributes);
    __builtin_prefetch(&core.id);  // the record spans two lines, and the id may sit on the second
  }
  if (pos + FETCH_PARTS_AHEAD < end) __builtin_prefetch(objects[pos + FETCH_PARTS_AHEAD].core().attributes->map.storage());
}

// For walks that read each object's handle and then the object's id (storing a chunk's items): the handle's holder of
// the entry 16 ahead and the object's id of the entry 8 ahead are fetched, so neither hop waits.
template <class HandleAt>
void fetch_handles_ahead(size_t pos, size_t end, HandleAt&& handle_at) {
  if (pos + 16 < end) handle_at(pos + 16).prefetch();
  if (pos + 8 < end) __builtin_prefetch(&indexable_core(handle_at(pos + 8).get()).id);
}

// One object of the chunk being staged.
struct StagedObject {
  const StoredIndexable* object;
  bool new_member = false;
  bool stored = false;  // put into `items` by this batch (and so to be taken out again if the chunk fails)
};

// The nested objects that the values of one map linked in one chunk, in the order met.
struct NestedGroup {
  std::shared_ptr<QueryMap> map;
  NestedWork tasks;
};
using NestedQueue = std::deque<NestedGroup>;

// One chunk of a batch on its way in: its writer's buffers, the objects staged and their ids, the nested tasks their
// values produced, and where the chunk ends in the batch.
struct Chunk {
  Chunk(const GateHeld& gate, IndexAPI& index, BulkWriter::ScratchPool& scratch) : writer(gate, index, scratch) {}
  BulkWriter writer;
  std::vector<StagedObject> staged;
  std::vector<uint32_t> ids;
  NestedWork work;
  size_t end = 0;

  void reset() {
    staged.clear();
    ids.clear();
    work.clear();
  }
};

// The two chunks of each index a batch writes, kept for the whole batch: the nested indexes are written once per
// group of holders, and fresh writers each time would grow fresh buffers (and fault in fresh pages) each time.
struct ChunkPair {
  ChunkPair(const GateHeld& gate, IndexAPI& index, BulkWriter::ScratchPool& scratch)
      : first(gate, index, scratch), second(gate, index, scratch) {}
  Chunk first;
  Chunk second;
};

class WriterCache {
 public:
  explicit WriterCache(const GateHeld& gate) : gate_(gate) {}
  ChunkPair& for_index(IndexAPI& index) {
    std::unique_ptr<ChunkPair>& pair = pairs_[&index];
    if (!pair) pair = std::make_unique<ChunkPair>(gate_, index, scratch_);
    return *pair;
  }

 private:
  const GateHeld& gate_;
  // One flush runs at a time in a batch, whichever index it writes: its writers share their working space.
  BulkWriter::ScratchPool scratch_;
  std::unordered_map<const IndexAPI*, std::unique_ptr<ChunkPair>> pairs_;
};

// No lock held. Stores `objects` into `index` chunk by chunk with the outcome of one store_object
// each (an object already held, or met twice, is skipped). `paths`, when given, holds per object the link that brought
// it; the tasks of its own nested values carry the path through that link and the object as their producer. After each
// chunk's ids are published, `published(end, tasks)` gets the end of the chunk's range and the nested tasks its values
// produced. A failing chunk leaves nothing behind and its exception propagates; earlier chunks stay.
//
// Two chunks are in flight: while one chunk's value maps are flushed, the next chunk is staged on another thread
// (staging reads objects under their own locks and writes only its own buffers; no lock is held across both). The
// chunk after a failure point is undone with it, so "earlier chunks stay" still means every chunk before the one that
// failed, and nothing half-registered.
template <class Published>
void store_in_chunks(const GateHeld& gate, IndexAPI& index, ChunkPair& chunks,
                     const std::vector<StoredIndexable>& objects,
                     const std::vector<LinkOrigin>* paths, Published&& published) {
  // Each chunk's values go into the maps before its ids are published.
  const UnsettledChange unsettled(gate, index);
  const std::weak_ptr<IndexAPI> self = index.weak_from_this();
  Bitmap seen;  // ids staged by this batch: the same object twice is stored once
  Chunk& first = chunks.first;
  Chunk& second = chunks.second;
  for (Chunk* chunk : {&first, &second}) {
    chunk->staged.reserve(std::min(objects.size(), LARGEST_CHUNK_OBJECTS));
    chunk->ids.reserve(std::min(objects.size(), LARGEST_CHUNK_OBJECTS));
  }

  const auto stage_chunk = [&](Chunk& chunk, size_t begin) {
    const size_t end = std::min(objects.size(), begin + chunk_objects(begin));
    chunk.end = end;
    for (size_t pos = begin; pos < end; ++pos) {
      fetch_ahead(objects, pos, end);
      const StoredIndexable& object = objects[pos];
      const IndexableCore& core = object.core();
      // Only writers change `item_ids`, writers hold the gate, and this batch publishes only between stages, so it is
      // read here without its lock. An object already held stays as it is: writes keep it current.
      if (seen.contains(core.id) || index.item_ids->value.contains(core.id)) continue;
      chunk.staged.push_back(StagedObject{&object});
      chunk.staged.back().new_member = append_membership(core, self);
      seen.add(core.id);
      chunk.ids.push_back(core.id);
      const size_t tasks_before = chunk.work.size();
      {
        std::lock_guard attributes(core.attributes->mutex);
        chunk.writer.stage(core.id, *core.attributes, chunk.work);
      }
      if (chunk.work.size() != tasks_before) {
        // The object's own path: the link that brought it, built now that it links objects in turn.
        PathRef own;
        if (paths != nullptr) own = (*paths)[pos].materialise();
        for (size_t task = tasks_before; task < chunk.work.size(); ++task) {
          chunk.work[task].path = own;
          chunk.work[task].producer = core.id;
        }
      }
    }
  };

  // Before any of a chunk's values reach a map: a view made earlier answers for an object stored at one of its
  // reused ids as for no object of its own from the first value on.
  const auto record_stored = [&](const Chunk& chunk) {
    if (index.level != 0) return;
    index.items->history.stored_batch(chunk.staged.size(),
                                      [&](size_t pos) { return chunk.staged[pos].object->core().id; });
  };
  // Items before ids (publish_ids): a reader never meets an id whose item is not stored yet.
  const auto store_items = [&](Chunk& chunk) {
    std::unique_lock items_lock(index.items->mutex);
    const auto handle_at = [&](size_t at) -> const SharedPyRef& { return chunk.staged[at].object->python_handle; };
    for (size_t pos = 0; pos < chunk.staged.size(); ++pos) {
      fetch_handles_ahead(pos, chunk.staged.size(), handle_at);
      StagedObject& entry = chunk.staged[pos];
      SharedPyRef handle = entry.object->python_handle;
      // A nested index keeps the handle of the value that links the object: an index copy (see SharedPyRef).
      if (index.level > 0) handle.add_index_copy();
      index.items->value.put(entry.object->core().id, StoredItem{std::move(handle)});
      entry.stored = true;
    }
  };
  const auto publish_ids = [&](Chunk& chunk) {
    if (index.level == 0) wait_while_held(TestPoint::ChangeMidway);
    std::unique_lock ids_lock(index.item_ids->mutex);
    const int32_t chunks_before = index.item_ids->value.roaring.high_low_container.size;
    add_ids(&index.item_ids->value.roaring, chunk.ids.data(), chunk.ids.size());
    // Compacted when the batch opened a chunk, as single adds do: a compaction visits every chunk, and a large bulk
    // add publishes many batches.
    if (index.item_ids->value.roaring.high_low_container.size != chunks_before) compact_id_set(index.item_ids->value);
  };

  // Leaves nothing of a chunk that has not been published whole: values, items, membership records.
  const auto undo = [&](Chunk& chunk) {
    chunk.writer.discard();
    for (const StagedObject& entry : chunk.staged) {
      const IndexableCore& core = entry.object->core();
      if (entry.stored) {
        StoredItem removed;
        std::unique_lock ids_lock(index.item_ids->mutex);
        std::unique_lock items_lock(index.items->mutex);
        index.item_ids->value.remove(core.id);
        removed = index.items->value.take(core.id);
        if (index.level > 0) removed.python_handle.remove_index_copy();
      }
      if (entry.new_member) remove_membership(core, index.shared_from_this());
    }
    chunk.reset();
  };

  if (objects.empty()) return;
  Chunk* current = &first;
  Chunk* next = &second;
  try {
    stage_chunk(*current, 0);
  } catch (...) {
    undo(*current);
    throw;
  }
  for (;;) {
    const bool more = current->end < objects.size();
    try {
      record_stored(*current);
      if (more) {
        // The items go in on the calling thread too, while helpers flush the maps; only the ids wait for the join.
        const size_t next_begin = current->end;
        current->writer.flush([&] {
          store_items(*current);
          stage_chunk(*next, next_begin);
        });
      } else {
        current->writer.flush();
        store_items(*current);
      }
      publish_ids(*current);
      current->writer.keep_flushed();
    } catch (...) {
      undo(*current);
      undo(*next);
      throw;
    }
    try {
      // After every index and object lock is released.
      published(current->end, current->work);
    } catch (...) {
      undo(*next);
      throw;
    }
    current->reset();
    if (!more) return;
    std::swap(current, next);
  }
}

// Moves a chunk's tasks to the back of `queue`, one group per value map, each in the order met; tasks of a map that
// already has a group waiting join it.
void enqueue_groups(NestedWork& tasks, NestedQueue& queue) {
  std::unordered_map<const QueryMap*, size_t> group_of;
  for (size_t at = 0; at < queue.size(); ++at) group_of.try_emplace(queue[at].map.get(), at);
  for (NestedTask& task : tasks) {
    auto [found, fresh] = group_of.try_emplace(task.map.get(), queue.size());
    if (fresh) queue.push_back(NestedGroup{task.map, {}});
    queue[found->second].tasks.push_back(std::move(task));
  }
  tasks.clear();
}

// No lock held. Links every child of the group to its holder in the map's nested index and stores
// the children new there as one batch; their own nested values join `queue`. A child whose chunk fails is neither
// stored nor linked.
void link_group(const GateHeld& gate, NestedGroup& group, NestedQueue& queue, WriterCache& writers) {
  QueryMap& map = *group.map;
  // As one by one, the nested index is made (and counted in the tree's budget) only for a child that is linked.
  bool links_any = false;
  for (const NestedTask& task : group.tasks) {
    if (on_path(task.path.get(), task.child_id)) {
      record_cut_link(gate, map, task.producer);
    } else {
      links_any = true;
    }
  }
  IndexAPI* nested_index = links_any ? ensure_nested(gate, map) : nullptr;
  if (nested_index == nullptr) return;
  IndexAPI& nested = *nested_index;
  struct PendingLink {
    size_t child;  // position in `children`
    uint32_t holder;
  };
  std::vector<StoredIndexable> children;
  std::vector<uint32_t> child_ids;  // beside `children`: linking reads ids only, and the objects are cold
  std::vector<LinkOrigin> paths;
  std::vector<PendingLink> pending;
  std::vector<std::pair<uint32_t, uint32_t>> repeated;  // (child, holder) of a child met earlier in the group
  Bitmap fresh;  // children new to the nested index, met so far
  {
    std::unique_lock links(nested.parent_links->mutex);
    M2MU32& pairs = nested.parent_links->value;
    for (NestedTask& task : group.tasks) {
      const uint32_t child = task.child_id;
      if (on_path(task.path.get(), child)) continue;  // as closes_cycle on the full path {producer, path}
      if (fresh.contains(child)) {
        repeated.emplace_back(child, task.holder);
      } else if (pairs.has_right(child)) {
        pairs.register_path(task.holder, child);  // already indexed there: only a new holder
      } else {
        fresh.add(child);
        pending.push_back(PendingLink{children.size(), task.holder});
        children.push_back(std::move(task.child));
        child_ids.push_back(child);
        paths.push_back(LinkOrigin{task.producer, std::move(task.path)});
      }
    }
  }
  group.tasks = NestedWork();
  if (children.empty()) return;
  if (!repeated.empty()) {
    // Shared children are the rare case: only then is a child's position looked up.
    std::unordered_map<uint32_t, size_t, FxU32Hash> position_of;
    for (size_t pos = 0; pos < children.size(); ++pos) position_of.emplace(child_ids[pos], pos);
    for (const auto& [child, holder] : repeated) pending.push_back(PendingLink{position_of.at(child), holder});
  }
  // Links go in once their child's chunk is stored, so a failed chunk leaves no link to a child that is not there.
  // Without repeated children the links are in child order already.
  if (!repeated.empty()) {
    std::stable_sort(pending.begin(), pending.end(),
                     [](const PendingLink& a, const PendingLink& b) { return a.child < b.child; });
  }
  size_t next_link = 0;
  store_in_chunks(gate, nested, writers.for_index(nested), children, &paths, [&](size_t end, NestedWork& tasks) {
    {
      std::unique_lock links(nested.parent_links->mutex);
      for (; next_link < pending.size() && pending[next_link].child < end; ++next_link) {
        const PendingLink& link = pending[next_link];
        nested.parent_links->value.register_path(link.holder, child_ids[link.child]);
      }
    }
    enqueue_groups(tasks, queue);
  });
}

}  // namespace

void IndexAPI::add_indexables(const std::vector<StoredIndexable>& objects) {
  if (objects.empty()) return;
  WriterGate gate;
  add_indexables_gated(gate, objects);
}

void IndexAPI::add_indexables_gated(const GateHeld& gate, const std::vector<StoredIndexable>& objects) {
  if (objects.empty()) return;
  // Should the batch fail, the objects it published leave their ids before their values.
  const UnsettledChange unsettled(gate, *this);
  // The batch's objects held already: all but these are taken out again should the batch fail. Only writers change
  // `item_ids`, and this one holds the gate.
  Bitmap held_before;
  for (const StoredIndexable& object : objects) {
    if (item_ids->value.contains(object.core().id)) held_before.add(object.core().id);
  }
  WriterCache writers(gate);
  NestedQueue queue;
  size_t waiting = 0;
  const auto link_waiting = [&] {
    waiting = 0;
    while (!queue.empty()) {
      NestedGroup group = std::move(queue.front());
      queue.pop_front();
      link_group(gate, group, queue, writers);
    }
  };
  try {
    store_in_chunks(gate, *this, writers.for_index(*this), objects, nullptr, [&](size_t end, NestedWork& tasks) {
      waiting += tasks.size();
      enqueue_groups(tasks, queue);
      // Nested objects go in once several chunks of holders have gathered them, so that their own batch is long
      // enough to stage one chunk while flushing the last.
      if (waiting >= NESTED_BATCH_TASKS || end == objects.size()) link_waiting();
    });
  } catch (...) {
    // All or nothing: the objects the chunks published before the failure go again, and with their values the nested
    // objects they linked (unlinks of pairs never made change nothing). Nested chunks that failed left nothing.
    queue.clear();
    for (const StoredIndexable& object : objects) {
      const IndexableCore& core = object.core();
      if (held_before.contains(core.id)) continue;
      held_before.add(core.id);  // met twice in the batch: taken out once
      if (unstore_object(gate, core.id).python_handle) let_go_values(gate, core);
    }
    throw;
  }
}

}  // namespace vostrel
