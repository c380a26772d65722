// Attribute writes on indexed objects: carried into every index, then stored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "index/object_record.hpp"
#include "index/value.hpp"

namespace vostrel {

// Drops dead membership records and those referring to `target` or to the shared placeholder index, keeping the
// order of the rest. Caller holds the list's mutex.
void trim_indexes(MembershipRecords& records, const IndexAPI* target);

// Records that `index` holds the object: appends a membership record (once per index), trims the list and sorts it by
// index identity. Takes the list's mutex; call with the interpreter lock released. Returns whether a record was added.
bool append_membership(const IndexableCore& core, std::weak_ptr<IndexAPI> index);

// Drops the record of `index` (and dead ones) from the object's membership list (takes the list's mutex). Records
// are told apart by identity, without locking each one: set-wise removals make one call per object.
void remove_membership(const IndexableCore& core, const std::shared_ptr<IndexAPI>& index);

// What a write let go of, for its caller to destroy once it holds the interpreter lock again and no other lock: the
// replaced value (its release may run __del__) and the attribute map's former block, which readers holding the
// interpreter lock may be reading without the map's lock.
struct ReplacedAttribute {
  std::optional<PyValue> value;
  AttributeMap::Values::Retired block;
};

// Carries `obj.<name_id> = value` into every live index that holds the object (the old value unregistered, the new
// one registered, nested objects registered afterwards) and then stores the value in the object's attribute map.
// Call with the interpreter lock RELEASED and no engine lock held. An object in no index is written under its own
// locks only; otherwise the write runs under the writer gate. A write that fails (MemoryError) leaves the object and
// every index as they were, but for the first value of a name on an indexed object whose nested objects could not all
// be linked: that value stays written, with the links made (an attribute map never loses a name).
ReplacedAttribute write_attribute(const IndexableCore& core, uint32_t name_id, PyValue value);

// The write of an object in no live index, done at once if its attribute lock is free and its membership list is
// seen empty (try-locks and stamps only, so it may be called with the interpreter lock held: nothing is waited for).
// Returns false, leaving `value` untouched, when the object is in an index or a lock is busy; the caller then goes
// through write_attribute. On success `replaced` holds the old value.
bool try_write_unindexed(const IndexableCore& core, uint32_t name_id, PyValue& value, std::optional<PyValue>& replaced);

// The write of a scalar's word (PyValue::scalar_word) over a value kept as a word, on an object in no index:
// swapped in place under the attribute lock, which is only tried. Returns the old word, whose holder the caller now
// is (released with the interpreter lock held and no lock: ValuePacking<PyValue>::release); nullopt, changing
// nothing, when the write needs the full path. Interpreter lock held.
std::optional<uint64_t> try_swap_unindexed_word(const IndexableCore& core, uint32_t name_id, uint64_t word) noexcept;

}  // namespace vostrel
