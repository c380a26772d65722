// The shared records behind captured values that hold a Python object (text, lists, Indexable objects, other
// objects, big ints): private to the value files, which make, read and free them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "index/value.hpp"
#include "index/value_classify.hpp"

namespace vostrel {
namespace value_records {

// The shared part of a value that holds a Python object. Copies of the value share it; the last one frees it. Its
// kind is the value's (kept in the value's tag byte, not here).
struct Record {
  std::atomic<uint64_t> count{1};
  uint64_t hash = 0;

  explicit Record(uint64_t h) noexcept : hash(h) {}
};

// Text longer than PyValue::INLINE_TEXT: an exact str and its UTF-8 bytes, which live inside the str (or in the
// UTF-8 cache the interpreter keeps with it) and never change while the str lives.
struct TextRecord : Record {
  PyObject* text;  // strong reference
  std::string_view utf8;
  TextRecord(uint64_t h, PyObject* t, std::string_view u) noexcept : Record(h), text(t), utf8(u) {}
};

// A record whose object can take part in a reference cycle: it also counts the copies index structures keep
// (see PyValue::count_index_copy), which the cycle collector's traversal sets aside.
struct TrackedRecord : Record {
  std::atomic<uint64_t> index_copies{0};
  using Record::Record;
};

struct ObjectRecord : TrackedRecord {
  PyObject* object;  // strong reference
  ObjectRecord(uint64_t h, PyObject* o) noexcept : TrackedRecord(h), object(o) {}
};

// Owns the reference to its container (IterableValue::container) and the captured members, which follow it in the
// same allocation (`value.size` of them); made with the interpreter lock held.
struct IterableRecord : TrackedRecord {
  IterableValue value;

  // Interpreter lock held. Throws std::bad_alloc, leaving `members` as they were.
  // A capture is equal only to itself (its copies): the record's address identifies it while any copy lives.
  static IterableRecord* make(PyObject* container, IterableKind kind, CapturedMembers& members);
  static void destroy(IterableRecord* record) noexcept {
    release_python_reference(record->value.container);
    std::destroy_n(record->first_member(), record->value.size);
    std::destroy_at(record);
    ::operator delete(static_cast<void*>(record));
  }

 private:
  // native_hash's code for an iterable (its variant index + 1).
  static constexpr uint64_t ITERABLE_HASH_CODE = 5;
  IterableRecord(uint64_t h, PyObject* container, IterableKind kind, uint32_t count) noexcept
      : TrackedRecord(h), value(kind, count, container) {
    Py_INCREF(container);
  }
  PyValue* first_member() noexcept { return reinterpret_cast<PyValue*>(this + 1); }
};
// IterableValue::members reads the members right after the value: it must end the record, with nothing between.
static_assert(offsetof(IterableRecord, value) + sizeof(IterableValue) == sizeof(IterableRecord));
static_assert(sizeof(IterableRecord) % alignof(PyValue) == 0);

// Follows the shared count of its own handle to the object in one block (SharedPyRef::borrow_heading): the block
// goes with the last handle, this record's or a copy's made from it (a nested task, an index's stored item).
struct IndexableRecord : TrackedRecord {
  StoredIndexable value;

  // Interpreter lock held; `indexable` satisfies is_indexable(). Throws std::bad_alloc.
  static IndexableRecord* make(PyObject* indexable);
  static void destroy(IndexableRecord* record) noexcept {
    const SharedPyRef handle = std::move(record->value.python_handle);
    std::destroy_at(record);
  }  // `handle` frees the block here if no copy of it is left

 private:
  static constexpr size_t RECORD_AT =
      (SharedPyRef::HEADING_BYTES + alignof(TrackedRecord) - 1) / alignof(TrackedRecord) * alignof(TrackedRecord);
  IndexableRecord(uint64_t h, StoredIndexable v) noexcept : TrackedRecord(h), value(std::move(v)) {}
};

// An int outside the signed 64-bit range. Equal values have equal hashes (Python's, taken of the exact int) and
// equal digits, which equality compares without the interpreter; the key places it among the other numbers.
struct BigIntRecord : ObjectRecord {
  std::string digits;  // the exact value in hexadecimal, sign first: linear in the int's size
  OrderedKey key;      // exact when `keyed`, else the greatest key below the value
  bool keyed;
  BigIntRecord(uint64_t h, PyObject* o, std::string d, OrderedKey k, bool exact) noexcept
      : ObjectRecord(h, o), digits(std::move(d)), key(k), keyed(exact) {}
};

}  // namespace value_records
}  // namespace vostrel
