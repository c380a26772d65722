// Membership lists and the write path that carries attribute writes into every index holding the object.
#include "index/core/write_propagation.hpp"

#include <algorithm>
#include <mutex>

#include "index/core/index.hpp"
#include "index/core/structures/locks/lock_order.hpp"
#include "index/core/nested_work.hpp"
#include "index/core/writer_gate.hpp"

namespace vostrel {
namespace {

// Whether writing `value` over `old` can leave every index untouched: same kind and equal scalar, or the very same
// nested object. Iterables are always re-registered (a new capture may hold other members).
bool same_registration(const PyValue& old, const PyValue& value) {
  if (old.kind() != value.kind()) return false;
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:  // 0.0 and -0.0 are equal and share a key; NaN never equals itself: registered again
    case ValueKind::Str:
    case ValueKind::Bool:
      return old == value;
    case ValueKind::Ind:
      return old.as_indexable().core().id == value.as_indexable().core().id;
    default:
      return false;
  }
}

// The write of an object some index may hold: no lock held.
ReplacedAttribute write_indexed(const GateHeld& gate, const IndexableCore& core, uint32_t name_id, PyValue value) {
  std::vector<std::shared_ptr<IndexAPI>> indexes;
  {
    std::lock_guard members(core.indexes->mutex);
    trim_indexes(core.indexes->records, nullptr);
    indexes.reserve(core.indexes->records.size());
    for (const IndexMeta& record : core.indexes->records) {
      if (std::shared_ptr<IndexAPI> index = record.index.lock()) indexes.push_back(std::move(index));
    }
  }
  NestedWork work;
  ReplacedAttribute replaced;
  {
    // Held while the indexes change, so a reader of the attribute sees the old value until every index has the new.
    std::lock_guard attributes(core.attributes->mutex);
    const AttributeMap::Values::Ref old = core.attributes->map.get(name_id);
    if (!old || !same_registration(*old, value)) {
      size_t done = 0;
      try {
        for (; done < indexes.size(); ++done) {
          IndexAPI& index = *indexes[done];
          if (!index.contains(core.id)) continue;  // registers the object's values when it stores it
          if (old) {
            index.replace_index(gate, core.id, name_id, *old, value, work);
          } else {
            index.add_index(gate, core.id, name_id, value, work);
          }
        }
      } catch (...) {
        // Put back what was there. A failed add_index or replace_index leaves its index as it was; those before it
        // lose the new value and get the old one back. Nested tasks were not run yet, so links are untouched and the
        // tasks are dropped.
        NestedWork discarded;
        for (size_t pos = 0; pos < done; ++pos) {
          IndexAPI& index = *indexes[pos];
          if (!index.contains(core.id)) continue;
          index.remove_index(gate, core.id, name_id, value, discarded);
          if (old) index.add_index(gate, core.id, name_id, *old, discarded);
        }
        throw;
      }
    }
    replaced.value = core.attributes->map.insert(name_id, std::move(value), &replaced.block);
  }
  // Tasks run in order: only with an unlink among them can a failing link find links of the old value cut.
  const bool unlinks_old = std::any_of(work.begin(), work.end(),
                                       [](const NestedTask& task) { return task.kind == NestedTask::Kind::Unlink; });
  bool whole = true;
  try {
    whole = run_nested_work(gate, work, core.id);
  } catch (...) {
    // An attribute map never loses a name: a first value of one stays, with the links made.
    if (!replaced.value) throw;
    // A link of the new value failed: the new value leaves every index (its unlinks take back the links made so
    // far), the old one comes back, and so does the attribute. The old value's links are made again when some were
    // cut (linking a pair still there changes nothing); else its tasks are dropped.
    NestedWork undo;
    NestedWork relink;
    {
      std::lock_guard attributes(core.attributes->mutex);
      const AttributeMap::Values::Ref written = core.attributes->map.get(name_id);
      for (const std::shared_ptr<IndexAPI>& held : indexes) {
        if (!held->contains(core.id)) continue;
        if (written) held->remove_index(gate, core.id, name_id, *written, undo);
        NestedWork discarded;
        held->add_index(gate, core.id, name_id, *replaced.value, unlinks_old ? relink : discarded);
      }
      replaced.value = core.attributes->map.insert(name_id, std::move(*replaced.value), &replaced.block);
    }
    bool undone = run_nested_work(gate, undo, core.id);
    undone = run_nested_work(gate, relink, core.id) && undone;
    if (!undone) {
      for (const std::shared_ptr<IndexAPI>& held : indexes) defer_repair(gate, held);
    }
    throw;
  }
  if (!whole) {
    for (const std::shared_ptr<IndexAPI>& held : indexes) defer_repair(gate, held);
  }
  return replaced;
}

// Whether the object is in no live index. Read without the list's lock when no writer of the list is at work (a
// stamp of its mutex checks the read: the common write of an unindexed object takes one lock, not two); otherwise
// under it, where dead records are trimmed. False when the lock is busy. The list's lock is outer to the attribute
// lock the caller holds: only a try-lock, which never waits, may take it here.
inline bool in_no_index(MembershipList& list) {
  if (const std::optional<uint32_t> stamp = list.mutex.stamp()) {
    const bool empty = list.records.empty_unlocked();
    if (empty && list.mutex.still(*stamp)) return true;
  }
  std::unique_lock members(list.mutex, std::try_to_lock);
  if (!members.owns_lock()) return false;
  trim_indexes(list.records, nullptr);
  return list.records.empty();
}

}  // namespace

void trim_indexes(MembershipRecords& records, const IndexAPI* target) {
  const IndexAPI* placeholder = DEFAULT_INDEX_ARC().get();
  records.erase_if([&](const IndexMeta& record) {
    std::shared_ptr<IndexAPI> index = record.index.lock();
    return !index || index.get() == target || index.get() == placeholder;
  });
}

bool append_membership(const IndexableCore& core, std::weak_ptr<IndexAPI> index) {
  std::shared_ptr<IndexAPI> live = index.lock();
  if (!live) return false;
  std::lock_guard members(core.indexes->mutex);
  auto& records = core.indexes->records;
  if (records.empty()) {  // the common case of a batch of new objects: nothing to trim, compare or sort
    records.push_back(IndexMeta{std::move(index)});
    return true;
  }
  // One pass, one lock of each record: dead records and the placeholder's go, a record of `live` already there means
  // nothing is added (one record per index: a second would carry every write into that index twice), and the new
  // record's place in identity order is counted. The list is kept in that order (records only leave it otherwise, and
  // the survivors keep their order), so the place is after every smaller identity.
  const IndexAPI* placeholder = DEFAULT_INDEX_ARC().get();
  bool present = false;
  size_t place = 0;
  records.erase_if([&](const IndexMeta& record) {
    std::shared_ptr<IndexAPI> held = record.index.lock();
    if (!held || held.get() == placeholder) return true;
    if (held == live) {
      present = true;
    } else if (std::less<const IndexAPI*>()(held.get(), live.get())) {
      ++place;
    }
    return false;
  });
  if (present) return false;
  records.push_back(IndexMeta{std::move(index)});
  std::rotate(records.begin() + static_cast<ptrdiff_t>(place), records.end() - 1, records.end());
  return true;
}

void remove_membership(const IndexableCore& core, const std::shared_ptr<IndexAPI>& index) {
  const std::shared_ptr<IndexAPI>& placeholder = DEFAULT_INDEX_ARC();
  const auto same = [](const std::weak_ptr<IndexAPI>& record, const std::shared_ptr<IndexAPI>& live) {
    return !record.owner_before(live) && !live.owner_before(record);
  };
  std::lock_guard members(core.indexes->mutex);
  core.indexes->records.erase_if([&](const IndexMeta& record) {
    return record.index.expired() || same(record.index, index) || same(record.index, placeholder);
  });
}

std::optional<uint64_t> try_swap_unindexed_word(const IndexableCore& core, uint32_t name_id, uint64_t word) noexcept {
  // The locks as in try_write_unindexed below.
  std::unique_lock attributes(core.attributes->mutex, std::try_to_lock);
  if (!attributes.owns_lock() || !in_no_index(*core.indexes)) return std::nullopt;
  return core.attributes->map.swap_word(name_id, word);
}

bool try_write_unindexed(const IndexableCore& core, uint32_t name_id, PyValue& value,
                         std::optional<PyValue>& replaced) {
  // The attribute lock first: an inserter appends its membership record before it takes this lock to read the
  // object's values, so while it is held either that record is there to be seen or the inserter reads this write.
  std::unique_lock attributes(core.attributes->mutex, std::try_to_lock);
  if (!attributes.owns_lock()) return false;
  if (!in_no_index(*core.indexes)) return false;
  using Packing = ValuePacking<PyValue>;
  if (const std::optional<uint64_t> word = Packing::word_of(value)) {
    if (const std::optional<uint64_t> old = core.attributes->map.swap_word(name_id, *word)) {
      Packing::give_to_word(std::move(value));
      // A scalar's word holds nothing to release; a record's is released by the caller, after unlocking.
      if (Packing::names_shared(*old)) replaced = Packing::unpack(*old);
      return true;
    }
  }
  // An outgrown block is freed at once: readers without the map's lock hold the interpreter lock, as this caller does.
  replaced = core.attributes->map.insert(name_id, std::move(value));
  return true;
}

ReplacedAttribute write_attribute(const IndexableCore& core, uint32_t name_id, PyValue value) {
  {
    // An object in no live index changes under its own locks alone. Insertion appends its membership record under
    // the list's mutex, so once a record is there every later write takes the gated path below.
    std::lock_guard members(core.indexes->mutex);
    trim_indexes(core.indexes->records, nullptr);
    if (core.indexes->records.empty()) {
      std::lock_guard attributes(core.attributes->mutex);
      ReplacedAttribute replaced;
      replaced.value = core.attributes->map.insert(name_id, std::move(value), &replaced.block);
      return replaced;
    }
  }
  WriterGate gate;
  return write_indexed(gate, core, name_id, std::move(value));
}

}  // namespace vostrel
