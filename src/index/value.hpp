// Captured Python values: PyValue (typed native copy, shared object handle, precomputed hash) and its parts.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_key.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/py_ref.hpp"
#include "index/python_compat.hpp"
#include "index/core/structures/shaped_map/value_packing.hpp"

namespace vostrel {

struct IndexableCore;

// UTF-8 text: up to 23 bytes inline, longer text in one immutable, atomically counted heap buffer shared by copies.
// Copies and drops never need the interpreter lock.
class SmallString {
 public:
  static constexpr size_t INLINE_CAPACITY = 23;

  SmallString() noexcept { bytes_[INLINE_CAPACITY] = 0; }
  explicit SmallString(std::string_view text);
  SmallString(const SmallString& other) noexcept;
  SmallString(SmallString&& other) noexcept;
  SmallString& operator=(const SmallString& other) noexcept;
  SmallString& operator=(SmallString&& other) noexcept;
  ~SmallString();

  std::string_view view() const noexcept;
  size_t size() const noexcept { return view().size(); }
  bool is_inline() const noexcept { return bytes_[INLINE_CAPACITY] != HEAP_TAG; }

  friend bool operator==(const SmallString& a, const SmallString& b) noexcept { return a.view() == b.view(); }

 private:
  // Last byte: the inline length (0..23) or HEAP_TAG; with HEAP_TAG the first bytes hold a pointer to the buffer.
  static constexpr unsigned char HEAP_TAG = 0xff;
  struct HeapBuffer;
  HeapBuffer* heap() const noexcept;
  void set_heap(HeapBuffer* buffer) noexcept;
  void release() noexcept;

  alignas(8) unsigned char bytes_[INLINE_CAPACITY + 1];
};
static_assert(sizeof(SmallString) == 24);

enum class IterableKind : uint8_t { List = 0, Dict = 1, Tuple = 2, Set = 3 };

// The variant index of NativeValue, and BigInt: an int outside the signed 64-bit range (never a NativeValue).
enum class ValueKind : uint8_t { Int = 0, Float, Str, Bool, Iterable, Ind, Unknown, BigInt };

struct PyValue;

// An exact list, dict, tuple or set. The members of a list, tuple or set are captured together with the container
// (interpreter lock held, no engine lock), so registering them later never needs Python: no hashing, no container
// reads under engine locks. Every member is captured as any value is; one whose conversion fails with an ordinary
// exception (a numpy scalar that cannot convert), or that is the container itself or one enclosing it, is left out
// (not indexed). A dict stores nothing.
//
// Lives only at the end of its record, whose members follow it in the same allocation (sized at capture): a list
// of three tags is one heap block, not three (record, shared vector, its buffer).
struct IterableValue {
  IterableKind kind;
  uint32_t size;  // members following this value (0 for a dict)
  // Borrowed: the record that holds this value owns the one reference every copy of the value shares (a handle of
  // its own would cost each captured list another allocation).
  PyObject* container;

  IterableValue(IterableKind k, uint32_t count, PyObject* object) noexcept : kind(k), size(count), container(object) {}
  IterableValue(const IterableValue&) = delete;
  IterableValue& operator=(const IterableValue&) = delete;

  // The captured members, in container order; empty for a dict.
  std::span<const PyValue> members() const noexcept;
};

// The payload of an Indexable value: one strong reference to the Python object. Its core (membership list,
// attribute map, id) is read in place through that reference without the interpreter lock: the handle keeps the
// object alive, and a core never changes after the object is made.
struct StoredIndexable {
  SharedPyRef python_handle;

  const IndexableCore& core() const;

  // Interpreter lock held; `indexable` is borrowed and must satisfy is_indexable().
  static StoredIndexable from_py_ref(PyObject* indexable);
};

struct UnknownValue {};

using NativeValue = std::variant<int64_t, double, SmallString, bool, IterableValue, StoredIndexable, UnknownValue>;

// Python objects made lately for packed words that hold a value in place (an int, a float, text of up to six bytes),
// keyed by the word: a word says all there is to such a value, so a hit needs neither the value nor its kind. Records
// and bools never enter. Direct-mapped; guarded by the interpreter lock; keeps at most 1024 small objects alive, for
// the life of the process: enough that values recurring over many objects (years, codes, counts) stay made while a
// loop reads them object after object.
namespace made_for_words {
struct Slot {
  uint64_t word = 0;
  PyObject* object = nullptr;
};
inline constexpr unsigned BITS = 10;
inline std::array<Slot, size_t{1} << BITS> slots{};
inline size_t slot_of(uint64_t word) noexcept { return (word * FX_K) >> (64 - BITS); }
}  // namespace made_for_words

namespace value_records {
struct Record;
}  // namespace value_records

// A Python value captured once: hashed, compared, copied and dropped later without the interpreter lock.
//
// 16 bytes. Int, Float and Bool keep their payload in place and hold no Python object (reading one back makes a
// new int or float, as reading an Int always did); text of up to 15 UTF-8 bytes is kept in place too. Longer text,
// lists, tuples, dicts, sets, Indexable objects and unrecognised objects live in one record shared by all copies
// (atomic count) that holds the captured object: copying never allocates, and reading such an attribute back
// returns that very object. The hash of an in-place value is computed when asked (a few multiplies, a short byte
// hash for text); a record keeps the hash taken at capture.
class PyValue {
 public:
  // Text up to this many bytes is kept in place.
  static constexpr size_t INLINE_TEXT = 15;

  // An Unknown value without an object; capture never makes one.
  PyValue() noexcept;
  // Inline: most values are scalars kept in place, whose copy is the 16 bytes and whose end is nothing; only a value
  // with a shared record calls out.
  PyValue(const PyValue& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
    if (has_record()) retain();
  }
  PyValue(PyValue&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
    other.store<uint64_t>(0, ValueKind::Unknown);
  }
  PyValue& operator=(const PyValue& other) noexcept;
  PyValue& operator=(PyValue&& other) noexcept;
  ~PyValue() {
    if (has_record()) release();
  }

  // The classifier. Interpreter lock held; takes over `obj`. Every object is a value: an int beyond 64 bits is a
  // BigInt, text with lone surrogates is kept as its "surrogatepass" bytes (never valid UTF-8, so it equals no valid
  // text), an object whose hash fails is an Unknown hashed by its address (Unknown values match by identity anyway).
  // Throws PythonErrorSet only when Python itself fails (MemoryError, an interrupt, a numpy scalar whose conversion
  // fails); the reference is released.
  static PyValue capture(PyRef obj);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(bytes_[TAG] & KIND_MASK); }
  // The 64-bit hash: Fx hash of the payload and the kind code, or the interpreter's hash for Unknown.
  uint64_t hash() const noexcept;
  // The low 56 bits of hash(). A value with a shared record keeps them beside the record's address, so tables of
  // long text or of objects hash, probe and compare their keys without a cache miss on each key's record.
  uint64_t short_hash() const noexcept { return has_record() ? kept_hash_bits() : hash() & SHORT_HASH_MASK; }
  // Equal text, for two Str values: long text compares its kept hash bits before its bytes, inline text its bytes
  // in place (the same text is always kept the same way: in place up to INLINE_TEXT bytes, in a record beyond).
  static bool same_text(const PyValue& a, const PyValue& b) noexcept {
    if (a.has_record() != b.has_record()) return false;
    if (!a.has_record()) return std::memcmp(a.bytes_, b.bytes_, sizeof(a.bytes_)) == 0;
    return a.kept_hash_bits() == b.kept_hash_bits() && a.record_text() == b.record_text();
  }

  // Typed accessors; each requires the matching kind() (InternalError otherwise).
  int64_t as_int() const {
    check_kind(ValueKind::Int);
    return load<int64_t>();
  }
  double as_float() const {
    check_kind(ValueKind::Float);
    return load<double>();
  }
  bool as_bool() const {
    check_kind(ValueKind::Bool);
    return bytes_[0] != 0;
  }
  std::string_view as_str() const {
    check_kind(ValueKind::Str);
    // Inline text (most strings) is read in place; only long text goes out to its record.
    if (!has_record()) return {reinterpret_cast<const char*>(bytes_), static_cast<size_t>(bytes_[TAG] >> LENGTH_SHIFT)};
    return record_text();
  }
  const IterableValue& as_iterable() const;
  const StoredIndexable& as_indexable() const;
  // A BigInt whose value an ordered key holds exactly (at most 64 significant bits, within the float range): it is
  // stored and matched as a number. Any other BigInt equals no float and no other int: stored in the exact map.
  bool big_int_keyed() const;
  // A BigInt's ordered key when big_int_keyed(), else the greatest key below its value (no number lies between).
  OrderedKey big_int_key() const;
  // For a BigInt no key holds exactly (this) and any number but NaN (`other`: Int, Float or BigInt): -1, 0 or 1 as
  // this is below, equal to or above it. Never needs the interpreter.
  int compare_unkeyed(const PyValue& other) const;
  // A BigInt's value in hexadecimal ("0x..." or "-0x...").
  std::string_view big_int_digits() const;
  // The kind whose structures hold this value: a keyed BigInt is held as a number (Int), any other BigInt as an
  // exact-map value (Unknown), every other kind as itself. Inline: the kind is all it reads but for a BigInt.
  ValueKind stored_kind() const {
    const ValueKind own = kind();
    if (own != ValueKind::BigInt) [[likely]] return own;
    return big_int_keyed() ? ValueKind::Int : ValueKind::Unknown;
  }

  // The captured Python object this value holds (Iterable, Ind, Unknown and long Str), or null for a value kept in
  // place. Borrowed: valid while this value (or a copy) lives.
  PyObject* obj() const noexcept;

  // Asks the processor to fetch this value's shared record (if it has one) ahead of a read.
  void prefetch() const noexcept {
    if (has_record()) __builtin_prefetch(record());
  }
  // The second hop for long text, once prefetch() has had time to bring the record in: fetches the bytes it names.
  void prefetch_text() const noexcept {
    if (has_record() && kind() == ValueKind::Str) __builtin_prefetch(record_text_hint());
  }
  // Counts (add) or uncounts this copy as one an index structure keeps (exact-map key, the list behind element ids):
  // such copies exist only while the owning object is held by that index, so for the cycle collector the reference
  // stays the owning object's (see SharedPyRef::add_index_copy).
  void count_index_copy(bool add) const noexcept;

  // Interpreter lock held: visits the Python references that no copy of this value shares, index copies aside (for
  // the cycle collector; a shared reference is not this value's alone), members of iterables included. Returns the
  // first non-zero result of `visit`.
  int traverse(visitproc visit, void* arg) const;

  // Interpreter lock held: Int, Float, Str and Bool as Python int, float, str and the bool singletons (a long Str as
  // the captured str itself); the other kinds as the captured object itself. An int, float or short str may be the
  // object made for an earlier conversion of an equal value (they are immutable). Throws PythonErrorSet if Python
  // fails to make the object.
  PyRef to_python() const;
  // to_python of the value a map's packed word stands for (ValuePacking<PyValue>), without making the value first.
  // Inline: the usual attribute read ends here, with the object made for an earlier read of the same word.
  static PyRef word_to_python(uint64_t word) {
    if (PyObject* made = made_for_word(word)) return PyRef::borrow(made);
    return make_for_word(word);
  }
  // The word form (ValuePacking<PyValue>) of an exact int, float or ASCII str, as capture would give it; nullopt for
  // any other object, a value without a word form, or before the first capture has filled the type tables. Never
  // raises.
  static std::optional<uint64_t> scalar_word(PyObject* obj) noexcept;
  // The object made for an earlier read of `word` (borrowed), or null: what word_to_python finds without making one.
  static PyObject* made_for_word(uint64_t word) noexcept {
    const made_for_words::Slot& slot = made_for_words::slots[made_for_words::slot_of(word)];
    return slot.word == word ? slot.object : nullptr;
  }

  // PyValue { obj: Some(Py(0x...)), primitave: Int(5), hash: 1234 }; `obj: None` for a value kept in place.
  std::string debug_text() const;

  // Equal hashes and equal payloads per kind pair (Int/Float/Bool cross-compare numerically); never calls Python.
  friend bool operator==(const PyValue& a, const PyValue& b) noexcept;

 private:
  friend struct value_records::Record;
  friend struct ValuePacking<PyValue>;

  // The one-word form (see ValuePacking<PyValue>). A word is a double's own bits, or, in the negative quiet-NaN
  // space (top 13 bits set), a 3-bit tag and 48 bits of payload: an int of 48 bits, a bool, text of up to six bytes
  // in place, or the address of a shared record with the record's kind in the tag.
  static constexpr uint64_t PACKED_TAGGED = uint64_t{0x1fff} << 51;
  static constexpr unsigned PACKED_TAG_SHIFT = 48;
  static constexpr uint64_t PACKED_PAYLOAD = (uint64_t{1} << 48) - 1;
  enum PackedTag : uint64_t {
    PACKED_INT = 0,
    PACKED_BOOL,
    PACKED_TEXT6,       // exactly six bytes of text
    PACKED_SHORT_TEXT,  // a length byte, then up to five bytes of text
    PACKED_STR_RECORD,
    PACKED_ITERABLE_RECORD,
    PACKED_IND_RECORD,
    PACKED_UNKNOWN_RECORD,
  };
  std::optional<uint64_t> packed_word() const noexcept;
  static constexpr uint64_t packed_tagged(PackedTag tag, uint64_t payload) noexcept {
    return PACKED_TAGGED | (uint64_t{tag} << PACKED_TAG_SHIFT) | payload;
  }
  // to_python without the objects made lately: always a new object for a value kept in place.
  PyRef make_python() const;
  // word_to_python past the cache: makes the object, and keeps it in the cache if the word holds its value in place.
  static PyRef make_for_word(uint64_t word);
  // Text of up to INLINE_TEXT bytes, in place: the one layout of such text, whatever made it.
  void store_inline_text(const char* text, size_t length) noexcept;
  // Sets this (empty) value to the one `word` stands for, without taking a reference.
  void assign_packed(uint64_t word) noexcept;
  static void retain_packed(uint64_t word) noexcept;
  // Lets go of the record a word names (a word taken out of a map), without unpacking it into a value first.
  static void release_packed(uint64_t word) noexcept;
  static constexpr size_t TAG = 15;               // byte holding the kind, the record flag and the text length
  static constexpr unsigned char KIND_MASK = 0x07;
  static constexpr unsigned char RECORD_FLAG = 0x08;
  static constexpr unsigned LENGTH_SHIFT = 4;

  static constexpr size_t KEPT_HASH_BYTES = 7;  // the bytes between a record's address and the tag
  static constexpr uint64_t SHORT_HASH_MASK = (uint64_t{1} << (8 * KEPT_HASH_BYTES)) - 1;

  bool has_record() const noexcept { return (bytes_[TAG] & RECORD_FLAG) != 0; }
  uint64_t kept_hash_bits() const noexcept {
    uint64_t bits = 0;
    for (size_t byte = 0; byte < KEPT_HASH_BYTES; ++byte) bits |= uint64_t{bytes_[8 + byte]} << (8 * byte);
    return bits;
  }
  // Stores a new record (count 1) with its kind and the record's hash bits.
  void store_record(value_records::Record* shared, ValueKind kind) noexcept;
  std::string_view record_text() const noexcept;
  // Where a long text's bytes start, found without reading them (or anything they sit beside).
  const void* record_text_hint() const noexcept;
  value_records::Record* record() const noexcept { return load<value_records::Record*>(); }
  void check_kind(ValueKind wanted) const {
    if (kind() != wanted) fail_kind();
  }
  [[noreturn]] static void fail_kind();
  template <class T>
  T load() const noexcept {
    T value;
    std::memcpy(&value, bytes_, sizeof(T));
    return value;
  }
  template <class T>
  void store(T value, ValueKind kind, unsigned char flags = 0, uint64_t kept_hash = 0) noexcept {
    static_assert(sizeof(T) <= sizeof(uint64_t));
    uint64_t payload = 0;
    std::memcpy(&payload, &value, sizeof(T));
    store_words(payload, kept_hash | uint64_t{static_cast<unsigned char>(static_cast<unsigned char>(kind) | flags)}
                                         << (8 * (TAG - sizeof(uint64_t))));
  }
  // Writes the 16 bytes as one store: a value is often copied whole (16-byte loads) right after it is made, and a
  // load that spans several smaller stores waits for them to reach the cache instead of taking their data.
  void store_words(uint64_t low, uint64_t high) noexcept {
    static_assert(std::endian::native == std::endian::little, "the tag is the high byte of the second word");
    using Words = uint64_t __attribute__((vector_size(16)));
    const Words words = {low, high};
    std::memcpy(bytes_, &words, sizeof(bytes_));
  }
  void retain() const noexcept;
  void release() noexcept;

  alignas(8) unsigned char bytes_[16];
};
static_assert(sizeof(PyValue) == 16);

inline void count_index_copy(const PyValue& value, bool add) noexcept { value.count_index_copy(add); }

namespace capture_state {
// Set by the first capture in a process, which fills the type tables (and may import numpy) whatever it captures:
// the shortcuts for exact builtin types skip the tables only once they are filled. Guarded by the interpreter lock.
inline bool tables_filled = false;
}  // namespace capture_state

// Inline: it runs for every value an object is given.
inline std::optional<uint64_t> PyValue::packed_word() const noexcept {
  if (has_record()) {
    const auto address = reinterpret_cast<uintptr_t>(record());
    if (address > PACKED_PAYLOAD) return std::nullopt;
    switch (kind()) {
      case ValueKind::Str: return packed_tagged(PACKED_STR_RECORD, address);
      case ValueKind::Iterable: return packed_tagged(PACKED_ITERABLE_RECORD, address);
      case ValueKind::Ind: return packed_tagged(PACKED_IND_RECORD, address);
      case ValueKind::BigInt: return std::nullopt;  // no tag left for it: kept beside the words
      default: return packed_tagged(PACKED_UNKNOWN_RECORD, address);
    }
  }
  switch (kind()) {
    case ValueKind::Int: {
      const int64_t number = load<int64_t>();
      constexpr int64_t LIMIT = int64_t{1} << 47;
      if (number < -LIMIT || number >= LIMIT) return std::nullopt;
      return packed_tagged(PACKED_INT, static_cast<uint64_t>(number) & PACKED_PAYLOAD);
    }
    case ValueKind::Float: {
      const uint64_t bits = load<uint64_t>();
      if ((bits & PACKED_TAGGED) == PACKED_TAGGED) return std::nullopt;
      return bits;
    }
    case ValueKind::Bool: return packed_tagged(PACKED_BOOL, bytes_[0]);
    case ValueKind::Str: {
      const size_t length = bytes_[TAG] >> LENGTH_SHIFT;
      uint64_t text = 0;
      if (length == 6) {
        std::memcpy(&text, bytes_, 6);
        return packed_tagged(PACKED_TEXT6, text);
      }
      if (length > 5) return std::nullopt;
      std::memcpy(&text, bytes_, length);
      return packed_tagged(PACKED_SHORT_TEXT, (text << 8) | length);
    }
    default: return std::nullopt;  // the empty Unknown
  }
}

// Inline: the short path of an attribute write starts here. The words are those capture and packed_word give (the
// value tests check that they agree).
[[gnu::always_inline]] inline std::optional<uint64_t> PyValue::scalar_word(PyObject* obj) noexcept {
  if (!capture_state::tables_filled) return std::nullopt;
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyLong_Type) {
    constexpr long long LIMIT = 1LL << 47;
    long long number = 0;
    if (!exact_int_value(obj, number) || number < -LIMIT || number >= LIMIT) return std::nullopt;
    return packed_tagged(PACKED_INT, static_cast<uint64_t>(number) & PACKED_PAYLOAD);
  }
  if (type == &PyFloat_Type) {
    const uint64_t bits = std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(obj));
    if ((bits & PACKED_TAGGED) == PACKED_TAGGED) return std::nullopt;
    return bits;
  }
  if (type == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(obj)) {  // its UTF-8 is its own bytes
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
    if (length > 6) return std::nullopt;
    uint64_t text = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // The bytes memcpy would place, gathered without its call (the call would cost the path its register saving).
      const auto* bytes = static_cast<const unsigned char*>(PyUnicode_DATA(obj));
      for (size_t at = 0; at < length; ++at) text |= uint64_t{bytes[at]} << (8 * at);
    } else {
      std::memcpy(&text, PyUnicode_DATA(obj), length);
    }
    return length == 6 ? packed_tagged(PACKED_TEXT6, text) : packed_tagged(PACKED_SHORT_TEXT, (text << 8) | length);
  }
  return std::nullopt;
}

inline std::span<const PyValue> IterableValue::members() const noexcept {
  // The record places the members right after this value, which ends it (value.cpp checks the layout).
  return {reinterpret_cast<const PyValue*>(this + 1), size};
}

// Attribute maps keep a value in one word when it has one: an Int within 48 bits, a Float (all but negative quiet
// NaNs), a Bool, text of up to six bytes, or any value held in a shared record. Longer text in place (7 to 15
// bytes), larger ints and the empty Unknown have none: a map keeps those beside the words. A flights row (small
// ints, floats, short codes) packs whole.
template <>
struct ValuePacking<PyValue> {
  static constexpr bool ENABLED = true;
  static std::optional<uint64_t> word_of(const PyValue& value) noexcept { return value.packed_word(); }
  static void give_to_word(PyValue&& value) noexcept {
    value.store<uint64_t>(0, ValueKind::Unknown);  // the empty Unknown: the word holds the record's reference now
  }
  static PyValue unpack(uint64_t word) noexcept {
    PyValue value;
    value.assign_packed(word);
    return value;
  }
  static void view(uint64_t word, PyValue* storage) noexcept { std::construct_at(storage)->assign_packed(word); }
  static void retain(uint64_t word) noexcept { PyValue::retain_packed(word); }
  static bool names_shared(uint64_t word) noexcept {
    return (word & PyValue::PACKED_TAGGED) == PyValue::PACKED_TAGGED &&
           ((word >> PyValue::PACKED_TAG_SHIFT) & 7) >= PyValue::PACKED_STR_RECORD;
  }
  // Text takes part in no cycle: only lists, objects and other values held in records do.
  static bool in_cycles(uint64_t word) noexcept {
    return names_shared(word) && ((word >> PyValue::PACKED_TAG_SHIFT) & 7) != PyValue::PACKED_STR_RECORD;
  }
  static void prefetch(uint64_t word) noexcept {
    if (names_shared(word)) {
      __builtin_prefetch(reinterpret_cast<const void*>(static_cast<uintptr_t>(word & PyValue::PACKED_PAYLOAD)));
    }
  }
  // A side slot's word: short-text form with the length byte 0xff (text has at most five bytes there) and the slot
  // in the next byte.
  static constexpr uint64_t SIDE_MARK = PyValue::PACKED_TAGGED | (uint64_t{PyValue::PACKED_SHORT_TEXT} << 48) | 0xff;
  static constexpr uint64_t SIDE_MASK = PyValue::PACKED_TAGGED | (uint64_t{7} << 48) | 0xff;
  static uint64_t side_word(size_t slot) noexcept { return SIDE_MARK | (uint64_t{slot} << 8); }
  static std::optional<size_t> side_slot(uint64_t word) noexcept {
    if ((word & SIDE_MASK) != SIDE_MARK) return std::nullopt;
    return static_cast<size_t>((word >> 8) & 0xff);
  }
  static void release(uint64_t word) noexcept {
    if (names_shared(word)) PyValue::release_packed(word);
  }
};

struct PyValueStoredHash {
  uint64_t operator()(const PyValue& v) const noexcept { return v.hash(); }
};
// For placing values within one table: short_hash(), which a value with a shared record reads in place.
struct PyValueShortHash {
  uint64_t operator()(const PyValue& v) const noexcept { return v.short_hash(); }
};

// The Fx hash of a payload followed by its variant code (index + 1). Not defined for UnknownValue, whose hash is the
// interpreter's own hash of the object.
uint64_t native_hash(const NativeValue& value) noexcept;

// `text` (a captured Str's bytes) double-quoted, with backslash escapes for quotes, backslashes, control characters
// and lone surrogates: always valid UTF-8.
std::string quoted_text(std::string_view text);

}  // namespace vostrel
