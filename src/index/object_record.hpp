// The native record of an Indexable object (IndexableCore): what the engine needs of an object, kept inside the
// Python object. The Python type itself, with its hooks, is interfaces/indexable.hpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "index/core/structures/locks/lock_order.hpp"
#include "index/core/structures/shaped_map/shaped_map.hpp"
#include "index/core/structures/membership_records/membership_records.hpp"
#include "index/types.hpp"
#include "index/value.hpp"

namespace vostrel {

class IndexAPI;

// The indexes that hold an object. `records` is guarded by `mutex`. The mutex comes second so that it takes the
// records' tail padding (an object's record is 48 bytes, not 64).
struct MembershipList {
  [[no_unique_address]] MembershipRecords records;
  RankedMutex mutex{lock_rank::OBJECT_MEMBERSHIP};

  MembershipList() = default;
  // Only before the object is published (no other thread can see the list): the records move, the mutex is fresh.
  MembershipList(MembershipList&& other) noexcept : records(std::move(other.records)) {}
};

// An object's attributes by interned name id. `map` is guarded by `mutex`. Take the mutex with lock_releasing_gil
// when the interpreter lock is held, and destroy values taken out of the map only after unlocking (a release may run
// __del__).
struct AttributeMap {
  using Values = ShapedMap<PyValue>;
  Values map;
  RankedMutex mutex{lock_rank::OBJECT_ATTRIBUTES};

  AttributeMap() = default;
  explicit AttributeMap(Values values) noexcept : map(std::move(values)) {}
  // Only before the object is published: the values move, the mutex is fresh.
  AttributeMap(AttributeMap&& other) noexcept : map(std::move(other.map)) {}
};

// A record kept inside its object that reads like the pointer it once was (`core.attributes->mutex`): the records
// are guarded by their own mutexes, not by the constness of the core, so access through a const core is mutable, as
// it was through a shared pointer. In place, they cost no allocation, no control block and no pointer.
template <class T>
class InPlace {
 public:
  InPlace() = default;
  explicit InPlace(T value) noexcept : value_(std::move(value)) {}
  InPlace(InPlace&& other) noexcept : value_(std::move(other.value_)) {}
  T* operator->() const noexcept { return &value_; }
  T& operator*() const noexcept { return value_; }

 private:
  [[no_unique_address]] mutable T value_;  // lets the next member of the record use T's tail padding
};

// The native record of an Indexable object, inside the Python object; the engine reads it in place through a strong
// reference to the object. The record owns (and finally frees) the object's id; a record without one (moved from,
// or never given one) has id 0, which is never handed out.
struct IndexableCore {
  InPlace<MembershipList> indexes;
  [[no_unique_address]] InPlace<AttributeMap> attributes;
  uint32_t id = 0;

  IndexableCore() noexcept = default;

  // Whether threads without the interpreter lock may reach the attribute map. Until the object is first handed to
  // the engine (stored in an index, held in a captured value, written with the interpreter lock given up), every
  // reader and writer of the map holds the interpreter lock, which alone guards it then: a write on such an object
  // needs none of the map's atomics. Call hand_to_engine with the interpreter lock held, before giving it up with the
  // object in reach; the mark stays for good (the attribute mutex keeps it).
  void hand_to_engine() const noexcept { attributes->mutex.mark(); }
  bool handed_to_engine() const noexcept { return attributes->mutex.marked(); }

  // A fresh record: empty membership list, an attribute map holding `attributes`, a newly allocated id it owns.
  static IndexableCore create(AttributeMap::Values attributes = {});

  IndexableCore(const IndexableCore&) = delete;
  IndexableCore& operator=(const IndexableCore&) = delete;
  // Moves carry the id along (the source is left with none).
  IndexableCore(IndexableCore&& other) noexcept;
  IndexableCore& operator=(IndexableCore&&) = delete;
  // Frees the id, if any.
  ~IndexableCore();
};

// The Python object behind an Indexable (or a subclass instance).
struct IndexableObject {
  PyObject_HEAD
  IndexableCore core;
};
// With its collector header, 80 bytes: one of the interpreter's small-object size classes.
static_assert(LOCK_ORDER_CHECKED || sizeof(IndexableCore) == 48, "the object's record grew");

// Instance of Indexable or of a subclass. Interpreter lock held.
inline bool is_indexable(PyObject* obj) { return PyObject_TypeCheck(obj, INDEXABLE_TYPE()); }

// The record of an Indexable. Precondition: is_indexable(obj). Valid while obj lives. Inline: the attribute hooks
// start here.
inline const IndexableCore& indexable_core(PyObject* obj) { return reinterpret_cast<IndexableObject*>(obj)->core; }

}  // namespace vostrel
