// The shared records behind captured values that hold a Python object (text, lists, Indexable objects, other
// objects, big ints): private to the value files, which make, read and free them.
#pragma once

#include <atomic>
#include <cstring>
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
  // 32 bits: every copy takes at least 8 bytes (a word in a map), so four billion copies of one value would be more
  // than 32 GiB of copies alone.
  std::atomic<uint32_t> count{1};
  uint32_t kind_data = 0;  // the kind's own (a text's length), in what would be the count's padding
  uint64_t hash = 0;

  explicit Record(uint64_t h) noexcept : hash(h) {}
};

// Text longer than PyValue::INLINE_TEXT: an exact str and its UTF-8 bytes, which never change while the str lives.
// 24 bytes: the record keeps the bytes' length (kind_data, beside the count) and tells their place by the two low bits
// of the str's address (objects are at least 8-aligned), so the length and where the bytes start are read from the
// record's own line:
//   - IN_ASCII_STR: a compact ASCII str, whose data (right after its header) is its UTF-8;
//   - IN_UTF8_CACHE: a str whose UTF-8 the interpreter made and keeps with it (its address is in the str);
//   - FOLLOWING: any other text (not ASCII with no UTF-8 made, lone surrogates): the bytes are copied after the
//     record, in the same allocation, behind their length (a size_t).
// Text of 4 GiB or more keeps LONG_TEXT as its length here, and its length is read where the bytes are.
struct TextRecord : Record {
  enum Form : uintptr_t { IN_ASCII_STR = 0, IN_UTF8_CACHE = 1, FOLLOWING = 2 };
  static constexpr uintptr_t FORM_MASK = 3;
  static constexpr uint32_t LONG_TEXT = UINT32_MAX;

  uintptr_t text_and_form;  // the str (a strong reference) | Form

  TextRecord(uint64_t h, PyObject* t, Form form, size_t length) noexcept
      : Record(h), text_and_form(reinterpret_cast<uintptr_t>(t) | form) {
    kind_data = length < LONG_TEXT ? static_cast<uint32_t>(length) : LONG_TEXT;
  }
  Form form() const noexcept { return static_cast<Form>(text_and_form & FORM_MASK); }
  PyObject* text() const noexcept { return reinterpret_cast<PyObject*>(text_and_form & ~FORM_MASK); }
  // Where FOLLOWING text keeps its length, then its bytes.
  const char* following() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view utf8() const noexcept {
    const char* bytes = bytes_hint();
    size_t length = kind_data;
    if (form() == IN_UTF8_CACHE) bytes = reinterpret_cast<const PyCompactUnicodeObject*>(text())->utf8;
    if (length == LONG_TEXT) [[unlikely]] length = long_length();
    return {bytes, length};
  }
  // Where the bytes start, without reading the str: the bytes themselves but for cached UTF-8 (then the str, which
  // holds their address).
  const char* bytes_hint() const noexcept {
    switch (form()) {
      case IN_ASCII_STR:
        return reinterpret_cast<const char*>(reinterpret_cast<const PyASCIIObject*>(text_and_form) + 1);
      case IN_UTF8_CACHE: return reinterpret_cast<const char*>(text());
      default: return following() + sizeof(size_t);
    }
  }

 private:
  size_t long_length() const noexcept {
    switch (form()) {
      case IN_ASCII_STR: return static_cast<size_t>(reinterpret_cast<const PyASCIIObject*>(text_and_form)->length);
      case IN_UTF8_CACHE:
        return static_cast<size_t>(reinterpret_cast<const PyCompactUnicodeObject*>(text())->utf8_length);
      default: {
        size_t length = 0;
        std::memcpy(&length, following(), sizeof(length));
        return length;
      }
    }
  }
};
static_assert(sizeof(TextRecord) == 24, "a long text's record is one 32-byte chunk of the C heap");

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
