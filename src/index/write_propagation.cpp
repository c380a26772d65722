// Membership lists and the write path that carries attribute writes into every index holding the object.
#include "index/write_propagation.hpp"

#include <algorithm>
#include <mutex>

#include "index/core/index.hpp"

namespace vostrel {
namespace {

// Identity a record sorts by: its index, or the placeholder index when the record is dead.
const IndexAPI* sort_identity(const IndexMeta& record) {
  std::shared_ptr<IndexAPI> index = record.index.lock();
  return index ? index.get() : DEFAULT_INDEX_ARC().get();
}

}  // namespace

void trim_indexes(std::vector<IndexMeta>& records, const IndexAPI* target) {
  const IndexAPI* placeholder = DEFAULT_INDEX_ARC().get();
  std::erase_if(records, [&](const IndexMeta& record) {
    std::shared_ptr<IndexAPI> index = record.index.lock();
    return !index || index.get() == target || index.get() == placeholder;
  });
}

void append_membership(const IndexableCore& core, std::weak_ptr<IndexAPI> index) {
  std::shared_ptr<IndexAPI> live = index.lock();
  if (!live) return;
  std::lock_guard members(core.indexes->mutex);
  auto& records = core.indexes->records;
  trim_indexes(records, DEFAULT_INDEX_ARC().get());
  // One record per index: a second record would carry every write into that index twice.
  for (const IndexMeta& record : records) {
    if (record.index.lock() == live) return;
  }
  records.push_back(IndexMeta{std::move(index)});
  std::stable_sort(records.begin(), records.end(), [](const IndexMeta& a, const IndexMeta& b) {
    return std::less<const IndexAPI*>()(sort_identity(a), sort_identity(b));
  });
}

std::optional<PyValue> write_attribute(const IndexableCore& core, uint32_t name_id, PyValue value) {
  // Lock order: membership list, then attribute map, then (inside the engine) each index's locks. Both object locks
  // are held until the map holds the new value, so two writers of one object cannot interleave and every index sees
  // exactly the value the map holds before and after.
  std::lock_guard members(core.indexes->mutex);
  std::lock_guard attributes(core.attributes->mutex);
  const PyValue* old = core.attributes->map.get(name_id);
  for (const IndexMeta& record : core.indexes->records) {
    std::shared_ptr<IndexAPI> index = record.index.lock();
    // An index that has not stored the object yet registers its values when it does (under this same lock).
    if (!index || !index->contains(core.id)) continue;
    if (old != nullptr) index->remove_index(core.id, name_id, *old);
    index->add_index(core.id, name_id, value);
  }
  return core.attributes->map.insert(name_id, std::move(value));
}

}  // namespace vostrel
