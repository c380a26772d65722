// Captured Python values: PyValue (typed native copy, shared object handle, precomputed hash) and its parts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "index/py_ref.hpp"

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

// The variant index of NativeValue.
enum class ValueKind : uint8_t { Int = 0, Float, Str, Bool, Iterable, Ind, Unknown };

struct PyValue;

// An exact list, dict, tuple or set. The members of a list, tuple or set are captured together with the container
// (interpreter lock held, no engine lock), so registering them later never needs Python: no hashing, no container
// reads under engine locks. A member that cannot be captured, or that is the container itself or one enclosing it,
// is left out (not indexed). A dict stores nothing.
struct IterableValue {
  IterableKind kind;
  SharedPyRef container;
  uint64_t record;  // identifies the capture: copies share it, two captures of one container do not
  std::shared_ptr<const std::vector<PyValue>> members;  // null for a dict
};

// The payload of an Indexable value: the Python object and a copy of its core (same list, map and id; owns no id),
// through which the engine reads the nested object's current attributes without the interpreter lock.
struct StoredIndexable {
  SharedPyRef python_handle;
  std::shared_ptr<const IndexableCore> owned_handle;

  // Interpreter lock held; `indexable` is borrowed and must satisfy is_indexable().
  static StoredIndexable from_py_ref(PyObject* indexable);
};

struct UnknownValue {};

using NativeValue = std::variant<int64_t, double, SmallString, bool, IterableValue, StoredIndexable, UnknownValue>;

// A Python value captured once: hashed, compared, copied and dropped later without the interpreter lock.
struct PyValue {
  NativeValue primitave{UnknownValue{}};
  SharedPyRef obj;  // the captured object (always set by capture)
  uint64_t hash = 0;

  // The classifier. Interpreter lock held; takes over `obj`. Bad input throws PythonErrorSet with the ordinary
  // Python error set (OverflowError for an int beyond 64 bits, UnicodeEncodeError for text that is not valid UTF-8,
  // TypeError for an unhashable object of no recognised kind); the reference is released.
  static PyValue capture(PyRef obj);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(primitave.index()); }
  // Typed accessors; each requires the matching kind().
  int64_t as_int() const { return std::get<int64_t>(primitave); }
  double as_float() const { return std::get<double>(primitave); }
  std::string_view as_str() const { return std::get<SmallString>(primitave).view(); }
  bool as_bool() const { return std::get<bool>(primitave); }
  const IterableValue& as_iterable() const { return std::get<IterableValue>(primitave); }
  const StoredIndexable& as_indexable() const { return std::get<StoredIndexable>(primitave); }

  // Interpreter lock held: Int, Float, Str and Bool as new Python int, float, str and the bool singletons; the other
  // kinds as the captured object itself. Throws PythonErrorSet if Python fails to make the object.
  PyRef to_python() const;

  // PyValue { obj: Some(Py(0x...)), primitave: Int(5), hash: 1234 }
  std::string debug_text() const;

  // Equal hashes and equal payloads per kind pair (Int/Float/Bool cross-compare numerically); never calls Python.
  friend bool operator==(const PyValue& a, const PyValue& b) noexcept;
};

// Counts (add) or uncounts the handles of a copy of `value` that an index structure keeps (see
// SharedPyRef::add_index_copy): the captured object, an iterable's container, a nested object's handle.
void count_index_copy(const PyValue& value, bool add) noexcept;

struct PyValueStoredHash {
  uint64_t operator()(const PyValue& v) const noexcept { return v.hash; }
};

// The Fx hash of a payload followed by its variant code (index + 1). Not defined for UnknownValue, whose hash is the
// interpreter's own hash of the object.
uint64_t native_hash(const NativeValue& value) noexcept;

// Next value of the process-wide record counter identifying Iterable captures (starts at 1).
uint64_t next_iterable_record() noexcept;

}  // namespace vostrel
