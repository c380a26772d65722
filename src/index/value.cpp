// Captured Python values: hashing, records (their types in value_records.hpp), capture and equality (classification
// in value_classify.cpp, conversion back to Python in value_conversion.cpp, text form in value_text.cpp, SmallString
// in small_string.cpp).
#include "index/value.hpp"
#include "index/value_classify.hpp"
#include "index/value_records.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "index/core/structures/fx_hash.hpp"
#include "index/object_record.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {

// ---- hashing ----

namespace {

uint64_t payload_hash(uint64_t word, uint64_t code) noexcept {
  FxHasher hasher;
  hasher.add(word);
  hasher.add(code);
  return hasher.finish();
}

}  // namespace

uint64_t native_hash(const NativeValue& value) noexcept {
  switch (static_cast<ValueKind>(value.index())) {
    case ValueKind::Int:
      return payload_hash(static_cast<uint64_t>(*std::get_if<int64_t>(&value)), 1);
    case ValueKind::Float:
      return payload_hash(std::bit_cast<uint64_t>(*std::get_if<double>(&value)), 2);
    case ValueKind::Str: {
      FxHasher hasher;
      hasher.add(byte_hash(std::get_if<SmallString>(&value)->view()));
      hasher.add(0xff);
      hasher.add(3);
      return hasher.finish();
    }
    case ValueKind::Bool:
      return payload_hash(*std::get_if<bool>(&value) ? 1 : 0, 4);
    case ValueKind::Iterable:  // not a native form: capture makes the record, whose address is the capture's own
      return payload_hash(reinterpret_cast<uintptr_t>(std::get_if<IterableValue>(&value)), 5);
    case ValueKind::Ind:
      return payload_hash(reinterpret_cast<uintptr_t>(std::get_if<StoredIndexable>(&value)->python_handle.get()), 6);
    case ValueKind::BigInt:  // no native form: classify leaves big ints to the record path
    case ValueKind::Unknown:
      break;
  }
  return 0;
}

StoredIndexable StoredIndexable::from_py_ref(PyObject* indexable) {
  if (!is_indexable(indexable)) throw InternalError("type checked: not an Indexable");
  indexable_core(indexable).hand_to_engine();
  StoredIndexable stored;
  stored.python_handle = SharedPyRef::borrow(indexable);
  return stored;
}

const IndexableCore& StoredIndexable::core() const { return indexable_core(python_handle.get()); }

// ---- records ----

namespace value_records {

IterableRecord* IterableRecord::make(PyObject* container, IterableKind kind, CapturedMembers& members) {
  const size_t count = members.size();
  void* memory = ::operator new(sizeof(IterableRecord) + count * sizeof(PyValue));
  const uint64_t h = payload_hash(reinterpret_cast<uintptr_t>(memory), ITERABLE_HASH_CODE);
  auto* record = ::new (memory) IterableRecord(h, container, kind, static_cast<uint32_t>(count));
  members.move_into(record->first_member());
  return record;
}

IndexableRecord* IndexableRecord::make(PyObject* indexable) {
  indexable_core(indexable).hand_to_engine();
  void* block = ::operator new(RECORD_AT + sizeof(IndexableRecord));
  StoredIndexable stored;
  stored.python_handle = SharedPyRef::borrow_heading(indexable, block);
  // native_hash's hash of an Indexable (its variant index + 1 as the code).
  const uint64_t h = payload_hash(reinterpret_cast<uintptr_t>(indexable), 6);
  return ::new (static_cast<char*>(block) + RECORD_AT) IndexableRecord(h, std::move(stored));
}

// Text kept after its record (TextRecord::FOLLOWING): the record, the length, the bytes, in one allocation.
TextRecord* make_text_record_with_bytes(uint64_t h, PyObject* t, std::string_view bytes) {
  void* memory = ::operator new(sizeof(TextRecord) + sizeof(size_t) + bytes.size());
  auto* record = ::new (memory) TextRecord(h, t, TextRecord::FOLLOWING, bytes.size());
  const size_t length = bytes.size();
  char* out = static_cast<char*>(memory) + sizeof(TextRecord);
  std::memcpy(out, &length, sizeof(length));
  std::memcpy(out + sizeof(length), bytes.data(), length);
  return record;
}
// The same, the `size` bytes written by fill(char*), which returns the text's hash.
template <class Fill>
TextRecord* make_text_record_apart(PyObject* t, size_t size, Fill&& fill) {
  void* memory = ::operator new(sizeof(TextRecord) + sizeof(size_t) + size);
  char* out = static_cast<char*>(memory) + sizeof(TextRecord);
  std::memcpy(out, &size, sizeof(size));
  const uint64_t h = fill(out + sizeof(size));
  return ::new (memory) TextRecord(h, t, TextRecord::FOLLOWING, size);
}
// Text whose bytes stay in the str: just the record.
TextRecord* make_text_record_in_str(uint64_t h, PyObject* t, TextRecord::Form form, size_t length) {
  return ::new (::operator new(sizeof(TextRecord))) TextRecord(h, t, form, length);
}

// Frees a record whose count reached zero. Python references go through release_python_reference, so this runs on
// any thread.
void destroy(Record* record, ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::Str: {
      auto* text = static_cast<TextRecord*>(record);
      release_python_reference(text->text());
      std::destroy_at(text);
      ::operator delete(static_cast<void*>(text));
      return;
    }
    case ValueKind::BigInt: {
      std::unique_ptr<BigIntRecord> owned(static_cast<BigIntRecord*>(record));
      release_python_reference(owned->object);
      return;
    }
    case ValueKind::Unknown: {
      std::unique_ptr<ObjectRecord> owned(static_cast<ObjectRecord*>(record));
      release_python_reference(owned->object);
      return;
    }
    case ValueKind::Iterable:
      IterableRecord::destroy(static_cast<IterableRecord*>(record));
      return;
    case ValueKind::Ind:
      IndexableRecord::destroy(static_cast<IndexableRecord*>(record));
      return;
    default:
      return;
  }
}

}  // namespace value_records

using value_records::BigIntRecord;
using value_records::IndexableRecord;
using value_records::IterableRecord;
using value_records::ObjectRecord;
using value_records::TextRecord;

namespace {

uint64_t text_hash(std::string_view text) noexcept {
  FxHasher hasher;
  hasher.add(byte_hash(text));
  hasher.add(0xff);
  hasher.add(3);
  return hasher.finish();
}

// Interpreter lock held; `obj` an int (or numpy integer) outside the signed 64-bit range, so its magnitude is at
// least 2^63. Its record keeps the exact int, its digits and its ordered key.
std::unique_ptr<BigIntRecord> make_big_int_record(const PyRef& obj) {
  PyRef number = PyRef::steal(check_py(PyNumber_Index(obj.get())));
  const Py_hash_t hash = PyObject_Hash(number.get());
  if (hash == -1 && PyErr_Occurred()) throw_python_error();
  PyRef hex = PyRef::steal(check_py(PyNumber_ToBase(number.get(), 16)));
  Py_ssize_t size = 0;
  const char* digits = PyUnicode_AsUTF8AndSize(hex.get(), &size);
  if (digits == nullptr) throw_python_error();
  const bool negative = size > 0 && digits[0] == '-';
  // The top 64 bits of the magnitude, and whether they are all of it.
  PyRef magnitude = PyRef::steal(check_py(PyNumber_Absolute(number.get())));
  PyRef bits = PyRef::steal(check_py(PyObject_CallMethod(magnitude.get(), "bit_length", nullptr)));
  const long long length = PyLong_AsLongLong(bits.get());
  if (length == -1 && PyErr_Occurred()) throw_python_error();
  if (length < 64) throw InternalError("a big int within 64 bits");
  PyRef shift = PyRef::steal(check_py(PyLong_FromLongLong(length - 64)));
  PyRef top = PyRef::steal(check_py(PyNumber_Rshift(magnitude.get(), shift.get())));
  const unsigned long long mantissa = PyLong_AsUnsignedLongLong(top.get());
  if (PyErr_Occurred()) throw_python_error();
  PyRef back = PyRef::steal(check_py(PyNumber_Lshift(top.get(), shift.get())));
  const int whole = PyObject_RichCompareBool(back.get(), magnitude.get(), Py_EQ);
  if (whole < 0) throw_python_error();
  // The magnitude lies in [2^(length-1), 2^length): the exponent of a double of that size.
  const long long exponent = 1023 + (length - 1);
  OrderedKey key;
  bool keyed = false;
  if (exponent > 2046) {
    // Beyond every finite key: above all of them (below only +inf), or below all of them (above only -inf).
    key = negative ? OrderedKey{UINT64_MAX, 0} : OrderedKey{UINT64_MAX, 0x800 | 2046};
  } else {
    key = OrderedKey::from_parts(negative, mantissa, static_cast<uint16_t>(exponent));
    keyed = whole == 1;
    // Truncated toward zero: for a positive value that is the key below it, for a negative one the key above it,
    // whose predecessor (the next key down) is the one below it.
    if (!keyed && negative) key = key.m == 0 ? OrderedKey{UINT64_MAX, static_cast<uint16_t>(key.e - 1)}
                                             : OrderedKey{key.m - 1, key.e};
  }
  // The exact int: an exact int itself (read back as the very object written), a numpy integer as the plain int
  // of its value (as a numpy integer within 64 bits reads back).
  auto record = std::make_unique<BigIntRecord>(static_cast<uint64_t>(hash), number.get(),
                                               std::string(digits, static_cast<size_t>(size)), key, keyed);
  number.release();  // now owned by the record
  return record;
}

// Text that is not ASCII has no UTF-8 inside its str until someone asks for it, and PyUnicode_AsUTF8AndSize then
// keeps a copy there, allocated apart, for as long as the str lives. Capture encodes such text itself instead: into
// the value when it fits in place, else into the record, after the record's fields (one allocation, not two). A
// str whose UTF-8 is already made (or that is not compact) takes the ordinary path.
template <class Unit>
std::optional<size_t> utf8_size_of(const Unit* units, size_t count) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    // Latin-1 text: one byte more for each unit from 0x80 up (a sum the compiler makes wide).
    size_t size = count;
    for (size_t at = 0; at < count; ++at) size += units[at] >> 7;
    return size;
  }
  size_t size = 0;
  for (size_t at = 0; at < count; ++at) {
    const uint32_t point = units[at];
    if (point < 0x80) {
      size += 1;
    } else if (point < 0x800) {
      size += 2;
    } else if (point < 0x10000) {
      if (point >= 0xd800 && point < 0xe000) return std::nullopt;  // a lone surrogate: the ordinary path keeps it
      size += 3;
    } else {
      size += 4;
    }
  }
  return size;
}

template <class Unit>
void encode_utf8(const Unit* units, size_t count, char* out) noexcept {
  for (size_t at = 0; at < count; ++at) {
    const uint32_t point = units[at];
    if (point < 0x80) {
      *out++ = static_cast<char>(point);
    } else if (point < 0x800) {
      *out++ = static_cast<char>(0xc0 | (point >> 6));
      *out++ = static_cast<char>(0x80 | (point & 0x3f));
    } else if (point < 0x10000) {
      *out++ = static_cast<char>(0xe0 | (point >> 12));
      *out++ = static_cast<char>(0x80 | ((point >> 6) & 0x3f));
      *out++ = static_cast<char>(0x80 | (point & 0x3f));
    } else {
      *out++ = static_cast<char>(0xf0 | (point >> 18));
      *out++ = static_cast<char>(0x80 | ((point >> 12) & 0x3f));
      *out++ = static_cast<char>(0x80 | ((point >> 6) & 0x3f));
      *out++ = static_cast<char>(0x80 | (point & 0x3f));
    }
  }
}

// A compact exact str that is not ASCII and has no UTF-8 made yet.
bool encodes_apart(PyObject* text) noexcept {
  return PyUnicode_IS_COMPACT(text) && !PyUnicode_IS_ASCII(text) &&
         reinterpret_cast<PyCompactUnicodeObject*>(text)->utf8 == nullptr;
}

// The UTF-8 size of such a str's text; nullopt when it holds a lone surrogate.
std::optional<size_t> utf8_size_apart(PyObject* text) noexcept {
  const auto count = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return utf8_size_of(PyUnicode_1BYTE_DATA(text), count);
    case PyUnicode_2BYTE_KIND: return utf8_size_of(PyUnicode_2BYTE_DATA(text), count);
    default: return utf8_size_of(PyUnicode_4BYTE_DATA(text), count);
  }
}

void encode_apart(PyObject* text, char* out) noexcept {
  const auto count = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return encode_utf8(PyUnicode_1BYTE_DATA(text), count, out);
    case PyUnicode_2BYTE_KIND: return encode_utf8(PyUnicode_2BYTE_DATA(text), count, out);
    default: return encode_utf8(PyUnicode_4BYTE_DATA(text), count, out);
  }
}

}  // namespace

// ---- PyValue: lifetime ----

PyValue::PyValue() noexcept { store<uint64_t>(0, ValueKind::Unknown); }

PyValue& PyValue::operator=(const PyValue& other) noexcept {
  if (this != &other) {
    other.retain();
    PyValue old(std::move(*this));
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  }
  return *this;
}

PyValue& PyValue::operator=(PyValue&& other) noexcept {
  if (this != &other) {
    PyValue old(std::move(*this));
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
    other.store<uint64_t>(0, ValueKind::Unknown);
  }
  return *this;
}

void PyValue::retain() const noexcept {
  if (has_record()) record()->count.fetch_add(1, std::memory_order_relaxed);
}

void PyValue::release() noexcept {
  if (!has_record()) return;
  value_records::Record* shared = record();
  const ValueKind shared_kind = kind();
  store<uint64_t>(0, ValueKind::Unknown);
  // The last copy needs no atomic decrement: a copy is made only from another one (or, interpreter lock held, from a
  // word still in a map, which this copy no longer is), so with none left nobody can be making one now. The load
  // acquires what the other copies' releases did before.
  if (shared->count.load(std::memory_order_acquire) == 1 ||
      shared->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    value_records::destroy(shared, shared_kind);
  }
}

void PyValue::fail_kind() { throw InternalError("value accessed as the wrong kind"); }

// ---- PyValue: capture ----

PyValue PyValue::capture(PyRef obj) {
  PyValue value;
  PyTypeObject* type = Py_TYPE(obj.get());
  // The first capture fills the type tables whatever it captures (see capture_state): most writes are of the exact
  // builtin types below, which can then skip them.
  if (!capture_state::tables_filled) [[unlikely]] {
    INT_TYPES();
    capture_state::tables_filled = true;
  }
  const auto store_big_int = [&] {
    std::unique_ptr<BigIntRecord> record = make_big_int_record(obj);
    value.store_record(record.release(), ValueKind::BigInt);
  };
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(obj.get(), &overflow);
    if (overflow == 0) {
      value.store(static_cast<int64_t>(number), ValueKind::Int);
    } else {
      store_big_int();
    }
    return value;
  } else if (type == &PyFloat_Type) {
    value.store(PyFloat_AS_DOUBLE(obj.get()), ValueKind::Float);
    return value;
  }
  if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj.get())) {
    // Most text: its data is its UTF-8, read in place with no call.
    const std::string_view text(reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(obj.get()) + 1),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(obj.get())));
    if (text.size() <= INLINE_TEXT) {
      value.store_inline_text(text.data(), text.size());
      return value;
    }
    TextRecord* record = value_records::make_text_record_in_str(text_hash(text), obj.get(), TextRecord::IN_ASCII_STR,
                                                                 text.size());
    obj.release();  // now owned by the record
    value.store_record(record, ValueKind::Str);
    return value;
  }
  if (type == &PyUnicode_Type && encodes_apart(obj.get())) {
    if (const std::optional<size_t> size = utf8_size_apart(obj.get())) {
      if (*size <= INLINE_TEXT) {
        char bytes[INLINE_TEXT];
        encode_apart(obj.get(), bytes);
        value.store_inline_text(bytes, *size);
        return value;
      }
      TextRecord* record = value_records::make_text_record_apart(obj.get(), *size, [&](char* bytes) {
        encode_apart(obj.get(), bytes);
        return text_hash(std::string_view(bytes, *size));
      });
      obj.release();  // now owned by the record
      value.store_record(record, ValueKind::Str);
      return value;
    }
  }
  if (type == &PyUnicode_Type || STR_TYPES().contains(type)) {
    // Text is read straight from the object, without the intermediate copy a NativeValue would make.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj.get(), &size);
    if (utf8 == nullptr) {
      // Lone surrogates: kept as their "surrogatepass" bytes, which map code points one to one like UTF-8 and are
      // never valid UTF-8 (ED A0..BF only encodes a surrogate), so the text equals, starts, ends or contains exactly
      // what Python says it does.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) fail_type_checked();
      PyErr_Clear();
      PyRef bytes = PyRef::steal(check_py(PyUnicode_AsEncodedString(obj.get(), "utf-8", "surrogatepass")));
      const std::string_view text(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
      if (text.size() <= INLINE_TEXT) {
        value.store_inline_text(text.data(), text.size());
        return value;
      }
      if (type != &PyUnicode_Type) {
        obj = PyRef::steal(check_py(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass")));
      }
      TextRecord* record = value_records::make_text_record_with_bytes(text_hash(text), obj.get(), text);
      obj.release();  // now owned by the record
      value.store_record(record, ValueKind::Str);
      return value;
    }
    std::string_view text(utf8, static_cast<size_t>(size));
    if (text.size() <= INLINE_TEXT) {
      value.store_inline_text(text.data(), text.size());
      return value;
    }
    if (type != &PyUnicode_Type) {
      // A str subclass (numpy's str_) reads back as a plain str: keep one.
      obj = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), size));
      if (!obj) fail_type_checked();
      utf8 = PyUnicode_AsUTF8AndSize(obj.get(), &size);
      if (utf8 == nullptr) fail_type_checked();
      text = std::string_view(utf8, static_cast<size_t>(size));
    }
    TextRecord* record = nullptr;
    if (PyUnicode_IS_COMPACT_ASCII(obj.get())) {
      record = value_records::make_text_record_in_str(text_hash(text), obj.get(), TextRecord::IN_ASCII_STR,
                                                                 text.size());
    } else {
      // Any other str starts as a PyCompactUnicodeObject: the UTF-8 the interpreter made is its cache there, unless
      // it handed out another buffer (then the bytes are copied).
      const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(obj.get());
      record = compact->utf8 == text.data() && static_cast<size_t>(compact->utf8_length) == text.size()
                   ? value_records::make_text_record_in_str(text_hash(text), obj.get(), TextRecord::IN_UTF8_CACHE,
                                                            text.size())
                   : value_records::make_text_record_with_bytes(text_hash(text), obj.get(), text);
    }
    obj.release();  // now owned by the record
    value.store_record(record, ValueKind::Str);
    return value;
  }
  if (INT_TYPES().contains(type)) {  // a numpy integer (exact ints are done above)
    const long long number = PyLong_AsLongLong(obj.get());
    if (number == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) fail_type_checked();
      PyErr_Clear();
      store_big_int();
    } else {
      value.store(static_cast<int64_t>(number), ValueKind::Int);
    }
    return value;
  }
  if (type == &PyList_Type || type == &PyTuple_Type || type == &PySet_Type || type == &PyDict_Type) {
    const IterableKind kind = type == &PyList_Type    ? IterableKind::List
                              : type == &PyTuple_Type ? IterableKind::Tuple
                              : type == &PySet_Type   ? IterableKind::Set
                                                      : IterableKind::Dict;
    CapturedMembers members;
    if (kind != IterableKind::Dict) capture_members(obj.get(), kind, members);
    value.store_record(IterableRecord::make(obj.get(), kind, members), ValueKind::Iterable);
    return value;
  }
  if (PyTypeObject* indexable = INDEXABLE_TYPE(); indexable != nullptr && PyType_IsSubtype(type, indexable)) {
    value.store_record(IndexableRecord::make(obj.get()), ValueKind::Ind);
    return value;
  }
  NativeValue native = classify(obj.get());
  switch (static_cast<ValueKind>(native.index())) {
    case ValueKind::Int:
      value.store(*std::get_if<int64_t>(&native), ValueKind::Int);
      return value;
    case ValueKind::Float:
      value.store(*std::get_if<double>(&native), ValueKind::Float);
      return value;
    case ValueKind::Bool:
      value.store(static_cast<unsigned char>(*std::get_if<bool>(&native) ? 1 : 0), ValueKind::Bool);
      return value;
    case ValueKind::Str: {
      // Only reached by a type that classify reads as text but the table above does not (none today).
      PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(
          std::get_if<SmallString>(&native)->view().data(),
          static_cast<Py_ssize_t>(std::get_if<SmallString>(&native)->view().size())));
      if (!text) fail_type_checked();
      return capture(std::move(text));
    }
    case ValueKind::Iterable:  // exact containers are captured above
    case ValueKind::Ind: {  // not reached: Indexable objects are captured above
      PyObject* indexable = std::get_if<StoredIndexable>(&native)->python_handle.get();
      value.store_record(IndexableRecord::make(indexable), ValueKind::Ind);
      return value;
    }
    case ValueKind::BigInt:  // no native form: classify leaves big ints to the record path
    case ValueKind::Unknown:
      break;
  }
  Py_hash_t hash = PyObject_Hash(obj.get());
  if (hash == -1 && PyErr_Occurred()) {
    // An object Python cannot hash (a numpy array, a bytearray, a dataclass with eq, a slice) is a value all the
    // same: Unknown values match by identity only, so its address serves as its hash. A failure of the process
    // itself (no memory, too deep, an interrupt) is not the object's and goes on to the caller.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError) ||
        PyErr_ExceptionMatches(PyExc_MemoryError)) {
      fail_type_checked();
    }
    PyErr_Clear();
    hash = static_cast<Py_hash_t>(fx_hash_u64(reinterpret_cast<uintptr_t>(obj.get())));
  }
  auto record = std::make_unique<ObjectRecord>(static_cast<uint64_t>(hash), obj.get());
  obj.release();  // now owned by the record
  value.store_record(record.release(), ValueKind::Unknown);
  return value;
}

// ---- PyValue: reading ----

std::string_view PyValue::record_text() const noexcept { return static_cast<const TextRecord*>(record())->utf8(); }

const void* PyValue::record_text_hint() const noexcept {
  return static_cast<const TextRecord*>(record())->bytes_hint();
}

void PyValue::store_record(value_records::Record* shared, ValueKind kind) noexcept {
  store(shared, kind, RECORD_FLAG, shared->hash & SHORT_HASH_MASK);
}

void PyValue::store_inline_text(const char* text, size_t length) noexcept {
  // The bytes are gathered in two words by loads that stay inside the text (overlapping where it is short), so the
  // value is written by one store (see store_words).
  const auto load = [&](size_t at, size_t size) {
    uint64_t word = 0;
    std::memcpy(&word, text + at, size);
    return word;
  };
  uint64_t low = 0;
  uint64_t high = 0;
  if (length >= 8) {
    low = load(0, 8);
    if (length > 8) high = load(length - 8, 8) >> (8 * (16 - length));
  } else if (length >= 4) {
    low = load(0, 4) | (load(length - 4, 4) << (8 * (length - 4)));
  } else {
    for (size_t at = 0; at < length; ++at) low |= uint64_t{static_cast<unsigned char>(text[at])} << (8 * at);
  }
  const auto tag = static_cast<unsigned char>(static_cast<unsigned char>(ValueKind::Str) | (length << LENGTH_SHIFT));
  store_words(low, high | uint64_t{tag} << (8 * (TAG - sizeof(uint64_t))));
}

// ---- PyValue: the one-word form ----

void PyValue::assign_packed(uint64_t word) noexcept {
  if ((word & PACKED_TAGGED) != PACKED_TAGGED) {
    double number;
    std::memcpy(&number, &word, sizeof(number));
    store(number, ValueKind::Float);
    return;
  }
  const uint64_t payload = word & PACKED_PAYLOAD;
  // Text goes in as capture puts it: equal values compare and hash alike whichever form they came from.
  const auto store_text = [&](uint64_t text, size_t length) {
    char bytes[sizeof(text)];
    std::memcpy(bytes, &text, sizeof(text));
    store_inline_text(bytes, length);
  };
  auto* shared = reinterpret_cast<value_records::Record*>(static_cast<uintptr_t>(payload));
  switch (static_cast<PackedTag>((word >> PACKED_TAG_SHIFT) & 7)) {
    case PACKED_INT: store(static_cast<int64_t>(payload << 16) >> 16, ValueKind::Int); return;
    case PACKED_BOOL: store(static_cast<unsigned char>(payload), ValueKind::Bool); return;
    case PACKED_TEXT6: store_text(payload, 6); return;
    case PACKED_SHORT_TEXT: store_text(payload >> 8, payload & 0xff); return;
    case PACKED_STR_RECORD: store_record(shared, ValueKind::Str); return;
    case PACKED_ITERABLE_RECORD: store_record(shared, ValueKind::Iterable); return;
    case PACKED_IND_RECORD: store_record(shared, ValueKind::Ind); return;
    case PACKED_UNKNOWN_RECORD: store_record(shared, ValueKind::Unknown); return;
  }
}

void PyValue::release_packed(uint64_t word) noexcept {
  const uint64_t tag = (word >> PACKED_TAG_SHIFT) & 7;
  if ((word & PACKED_TAGGED) != PACKED_TAGGED || tag < PACKED_STR_RECORD) return;
  auto* shared = reinterpret_cast<value_records::Record*>(static_cast<uintptr_t>(word & PACKED_PAYLOAD));
  const ValueKind shared_kind = tag == PACKED_STR_RECORD        ? ValueKind::Str
                                : tag == PACKED_ITERABLE_RECORD ? ValueKind::Iterable
                                : tag == PACKED_IND_RECORD      ? ValueKind::Ind
                                                                : ValueKind::Unknown;
  // As release(): the last copy needs no atomic decrement.
  if (shared->count.load(std::memory_order_acquire) == 1 ||
      shared->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    value_records::destroy(shared, shared_kind);
  }
}

void PyValue::retain_packed(uint64_t word) noexcept {
  const uint64_t tag = (word >> PACKED_TAG_SHIFT) & 7;
  if ((word & PACKED_TAGGED) != PACKED_TAGGED || tag < PACKED_STR_RECORD) return;
  reinterpret_cast<value_records::Record*>(static_cast<uintptr_t>(word & PACKED_PAYLOAD))
      ->count.fetch_add(1, std::memory_order_relaxed);
}

const IterableValue& PyValue::as_iterable() const {
  check_kind(ValueKind::Iterable);
  return static_cast<const IterableRecord*>(record())->value;
}

const StoredIndexable& PyValue::as_indexable() const {
  check_kind(ValueKind::Ind);
  return static_cast<const IndexableRecord*>(record())->value;
}

bool PyValue::big_int_keyed() const {
  check_kind(ValueKind::BigInt);
  return static_cast<const BigIntRecord*>(record())->keyed;
}

OrderedKey PyValue::big_int_key() const {
  check_kind(ValueKind::BigInt);
  return static_cast<const BigIntRecord*>(record())->key;
}

int PyValue::compare_unkeyed(const PyValue& other) const {
  const OrderedKey floor = big_int_key();
  OrderedKey theirs;
  switch (other.kind()) {
    case ValueKind::Int: theirs = OrderedKey::from_int(other.as_int()); break;
    case ValueKind::Float: theirs = OrderedKey::from_float(other.as_float()); break;
    default: {
      theirs = other.big_int_key();
      if (other.big_int_keyed() || theirs != floor) break;
      // Both between the same two keys: the same sign; the longer magnitude (no leading zeros) or the greater
      // digits of equal length is the greater one.
      const std::string_view mine = big_int_digits();
      const std::string_view its = other.big_int_digits();
      const int magnitude = mine.size() != its.size() ? (mine.size() < its.size() ? -1 : 1)
                                                      : (mine < its ? -1 : (mine == its ? 0 : 1));
      return mine.front() == '-' ? -magnitude : magnitude;
    }
  }
  // Every number whose key is at most the floor is below this one, every other above it.
  return floor >= theirs ? 1 : -1;
}

std::string_view PyValue::big_int_digits() const {
  check_kind(ValueKind::BigInt);
  return static_cast<const BigIntRecord*>(record())->digits;
}

PyObject* PyValue::obj() const noexcept {
  if (!has_record()) return nullptr;
  switch (kind()) {
    case ValueKind::Str: return static_cast<const TextRecord*>(record())->text();
    case ValueKind::Unknown:
    case ValueKind::BigInt: return static_cast<const ObjectRecord*>(record())->object;
    case ValueKind::Iterable: return static_cast<const IterableRecord*>(record())->value.container;
    case ValueKind::Ind: return static_cast<const IndexableRecord*>(record())->value.python_handle.get();
    default: return nullptr;
  }
}

uint64_t PyValue::hash() const noexcept {
  if (has_record()) return record()->hash;
  switch (kind()) {
    case ValueKind::Int: return payload_hash(load<uint64_t>(), 1);
    case ValueKind::Float: return payload_hash(load<uint64_t>(), 2);
    case ValueKind::Bool: return payload_hash(bytes_[0] != 0 ? 1 : 0, 4);
    case ValueKind::Str: {
      FxHasher hasher;
      hasher.add(byte_hash(as_str()));
      hasher.add(0xff);
      hasher.add(3);
      return hasher.finish();
    }
    default: return 0;
  }
}

void PyValue::count_index_copy(bool add) const noexcept {
  if (!has_record() || kind() == ValueKind::Str) return;  // text takes part in no cycle
  std::atomic<uint64_t>& copies = static_cast<value_records::TrackedRecord*>(record())->index_copies;
  add ? copies.fetch_add(1, std::memory_order_relaxed) : copies.fetch_sub(1, std::memory_order_relaxed);
}

int PyValue::traverse(visitproc visit, void* arg) const {
  if (!has_record() || kind() == ValueKind::Str) return 0;  // text cannot take part in a cycle
  const auto& shared = static_cast<const value_records::TrackedRecord&>(*record());
  if (shared.count.load(std::memory_order_acquire) != shared.index_copies.load(std::memory_order_acquire) + 1) {
    return 0;
  }
  switch (kind()) {
    case ValueKind::Unknown:
      return visit(static_cast<const value_records::ObjectRecord&>(shared).object, arg);
    case ValueKind::Iterable: {
      const IterableValue& iterable = static_cast<const value_records::IterableRecord&>(shared).value;
      // The record's own reference, and the record is this value's alone (checked above).
      if (int result = visit(iterable.container, arg)) return result;
      for (const PyValue& member : iterable.members()) {
        if (int result = member.traverse(visit, arg)) return result;
      }
      return 0;
    }
    case ValueKind::Ind: {
      const SharedPyRef& handle = static_cast<const value_records::IndexableRecord&>(shared).value.python_handle;
      return handle.sole_owner() ? visit(handle.get(), arg) : 0;
    }
    default:
      return 0;  // text cannot take part in a cycle
  }
}

// ---- equality ----

bool operator==(const PyValue& a, const PyValue& b) noexcept {
  const ValueKind x = a.kind();
  const ValueKind y = b.kind();
  if (x != y) {
    // Different kinds are equal only as numbers whose hashes also agree (in practice never: the kind code is part
    // of the hash).
    if (x == ValueKind::Unknown || y == ValueKind::Unknown || a.hash() != b.hash()) return false;
    auto as_number = [](const PyValue& v, double& out) {
      switch (v.kind()) {
        case ValueKind::Int: out = static_cast<double>(v.as_int()); return true;
        case ValueKind::Float: out = v.as_float(); return true;
        case ValueKind::Bool: out = v.as_bool() ? 1.0 : 0.0; return true;
        default: return false;
      }
    };
    if ((x == ValueKind::Float && y == ValueKind::Bool) || (x == ValueKind::Bool && y == ValueKind::Float)) {
      return false;
    }
    if (x == ValueKind::Int && y == ValueKind::Bool) return a.as_int() == (b.as_bool() ? 1 : 0);
    if (x == ValueKind::Bool && y == ValueKind::Int) return b.as_int() == (a.as_bool() ? 1 : 0);
    double p = 0;
    double q = 0;
    return as_number(a, p) && as_number(b, q) && p == q;
  }
  switch (x) {
    case ValueKind::Int:
      return a.as_int() == b.as_int();
    case ValueKind::Float:
      // Bit patterns decide the hash: 0.0 and -0.0 are different keys; NaN equals nothing.
      return a.hash() == b.hash() && a.as_float() == b.as_float();
    case ValueKind::Bool:
      return a.as_bool() == b.as_bool();
    case ValueKind::Str:
      return PyValue::same_text(a, b);
    case ValueKind::Iterable:
      return a.record() == b.record();
    case ValueKind::Ind:
      return a.kept_hash_bits() == b.kept_hash_bits() && a.record()->hash == b.record()->hash &&
             a.as_indexable().python_handle.get() == b.as_indexable().python_handle.get();
    case ValueKind::Unknown:
      return a.has_record() && b.has_record() && a.kept_hash_bits() == b.kept_hash_bits() &&
             a.record()->hash == b.record()->hash && a.obj() == b.obj();
    case ValueKind::BigInt:
      return a.record() == b.record() ||
             (a.record()->hash == b.record()->hash && static_cast<const BigIntRecord*>(a.record())->digits ==
                                                          static_cast<const BigIntRecord*>(b.record())->digits);
  }
  return false;
}

}  // namespace vostrel
