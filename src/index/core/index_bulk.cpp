// IndexAPI::add_indexables: batch insertion through a BulkWriter, one chunk of objects at a time.
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "index/core/index.hpp"
#include "index/core/query/delayed_query.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {
namespace {

// Objects staged before their values are flushed and their ids published. Large enough that each bitmap receives
// long runs per add_many (a chunk's ids mostly fill whole Roaring containers of 65536 ids only at larger sizes, but
// past a few thousand ids per run the per-call cost no longer shows); small enough that the staged buffers stay a
// few megabytes per attribute, that readers see a long batch arrive in steps, and that a failure undoes little.
constexpr size_t CHUNK_OBJECTS = 16384;

// One object of the chunk being staged.
struct StagedObject {
  const StoredIndexable* object;
  bool new_member;
  bool stored;       // put into `items` by this batch (and so to be published or taken out again)
  size_t first_task;  // its nested tasks start here in the chunk's work list
};

}  // namespace

void IndexAPI::add_indexables(const std::vector<StoredIndexable>& objects) {
  if (objects.empty()) return;
  std::lock_guard gate(WRITE_GATE());
  BulkWriter writer(*this);
  std::vector<StagedObject> staged;
  std::vector<uint32_t> published;
  NestedWork work;
  Bitmap seen;  // ids staged by this batch: the same object twice is stored once
  staged.reserve(std::min(objects.size(), CHUNK_OBJECTS));
  published.reserve(std::min(objects.size(), CHUNK_OBJECTS));

  for (size_t begin = 0; begin < objects.size(); begin += CHUNK_OBJECTS) {
    const size_t end = std::min(objects.size(), begin + CHUNK_OBJECTS);
    staged.clear();
    published.clear();
    work.clear();
    try {
      for (size_t pos = begin; pos < end; ++pos) {
        const StoredIndexable& object = objects[pos];
        const IndexableCore& core = object.core();
        if (seen.contains(core.id)) continue;
        staged.push_back(StagedObject{&object, false, false, work.size()});
        StagedObject& entry = staged.back();
        entry.new_member = append_membership(core, weak_from_this());
        std::lock_guard attributes(core.attributes->mutex);
        {
          // The item is stored but its id stays out of `item_ids` until the chunk is flushed.
          std::shared_lock ids_lock(item_ids->mutex);
          if (item_ids->value.contains(core.id)) continue;  // already held: writes keep it current
        }
        SharedPyRef handle = object.python_handle;
        if (level > 0) handle.add_index_copy();
        StoredItem replaced;
        {
          std::unique_lock items_lock(items->mutex);
          replaced = items->value.put(core.id, StoredItem{std::move(handle)});
        }
        entry.stored = true;
        seen.add(core.id);
        writer.stage(core.id, *core.attributes, work);
        published.push_back(core.id);
      }
      writer.flush();
      std::unique_lock ids_lock(item_ids->mutex);
      item_ids->value.addMany(published.size(), published.data());
    } catch (...) {
      // The failing chunk leaves nothing: values, items, membership records. Earlier chunks stay.
      writer.discard();
      for (const StagedObject& entry : staged) {
        const IndexableCore& core = entry.object->core();
        if (entry.stored) {
          StoredItem removed;
          std::unique_lock items_lock(items->mutex);
          removed = items->value.take(core.id);
          if (level > 0) removed.python_handle.remove_index_copy();
        }
        if (entry.new_member) remove_membership(core, this);
      }
      throw;
    }
    // Nested objects after every index and object lock is released, each with the path of its own holder.
    for (size_t pos = 0; pos < staged.size(); ++pos) {
      const size_t last = pos + 1 < staged.size() ? staged[pos + 1].first_task : work.size();
      if (staged[pos].first_task == last) continue;
      NestedWork own(std::make_move_iterator(work.begin() + static_cast<std::ptrdiff_t>(staged[pos].first_task)),
                     std::make_move_iterator(work.begin() + static_cast<std::ptrdiff_t>(last)));
      run_nested_work(own, staged[pos].object->core().id);
    }
  }
}

}  // namespace vostrel
