// Captured values back to Python objects: the very object where one is kept, else one made (and cached).
#include "index/value.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "index/core/structures/fx_hash.hpp"
#include "index/object_record.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {

// ---- conversion back to Python ----

namespace {

// Python objects made lately for values kept in place (ints, floats, short text), by the value's 16 bytes, which
// say all there is to such a value. Reading one again hands out the same immutable object, as a plain attribute
// would, instead of making one and freeing it per read. Direct-mapped; guarded by the interpreter lock, as
// to_python is; it keeps at most MADE_SLOTS small objects alive, for the life of the process.
struct MadeObject {
  uint64_t words[2] = {0, 0};
  PyObject* object = nullptr;
};
constexpr unsigned MADE_BITS = 8;
constexpr size_t MADE_SLOTS = size_t{1} << MADE_BITS;
std::array<MadeObject, MADE_SLOTS> made_objects;

}  // namespace

PyRef PyValue::to_python() const {
  const ValueKind value_kind = kind();
  if (has_record() || value_kind == ValueKind::Bool || value_kind == ValueKind::Unknown) return make_python();
  uint64_t words[2];
  std::memcpy(words, bytes_, sizeof(words));
  MadeObject& slot = made_objects[((words[0] ^ std::rotl(words[1], 32)) * FX_K) >> (64 - MADE_BITS)];
  if (slot.object != nullptr && slot.words[0] == words[0] && slot.words[1] == words[1]) {
    return PyRef::borrow(slot.object);
  }
  PyRef made = make_python();
  PyObject* evicted = std::exchange(slot.object, Py_NewRef(made.get()));
  std::memcpy(slot.words, words, sizeof(words));
  Py_XDECREF(evicted);  // an int, float or str: releasing it runs no Python code
  return made;
}

PyRef PyValue::make_for_word(uint64_t word) {
  using Packing = ValuePacking<PyValue>;
  const bool in_place = !Packing::names_shared(word) &&
                        ((word & PACKED_TAGGED) != PACKED_TAGGED || ((word >> PACKED_TAG_SHIFT) & 7) != PACKED_BOOL);
  if (!in_place) return PackedRef<PyValue>(word)->make_python();  // a record's object, or a bool singleton
  made_for_words::Slot& slot = made_for_words::slots[made_for_words::slot_of(word)];
  PyRef made = PackedRef<PyValue>(word)->make_python();
  PyObject* evicted = std::exchange(slot.object, Py_NewRef(made.get()));
  slot.word = word;
  Py_XDECREF(evicted);  // an int, float or str: releasing it runs no Python code
  return made;
}

PyRef PyValue::make_python() const {
  PyObject* result = nullptr;
  switch (kind()) {
    case ValueKind::Int:
      result = PyLong_FromLongLong(as_int());
      break;
    case ValueKind::Float:
      result = PyFloat_FromDouble(as_float());
      break;
    case ValueKind::Str: {
      if (has_record()) return PyRef::borrow(obj());
      std::string_view text = as_str();
      uint64_t words[2];
      std::memcpy(words, bytes_, sizeof(words));
      const size_t size = text.size();
      // Only text bytes count: the length byte sits in the last byte, past any text kept in place.
      const uint64_t high_bits = (words[0] | (words[1] & 0x00ffffffffffffffULL)) & 0x8080808080808080ULL;
      if (high_bits == 0) {
        // ASCII (the usual case): one allocation and a copy, no decoding.
        result = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (result != nullptr) std::memcpy(PyUnicode_DATA(result), text.data(), size);
        break;
      }
      // "surrogatepass": text captured with lone surrogates comes back as it was (valid UTF-8 never needs it).
      result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(size), "surrogatepass");
      break;
    }
    case ValueKind::Bool:
      return PyRef::borrow(as_bool() ? Py_True : Py_False);
    case ValueKind::Iterable:
    case ValueKind::Ind:
    case ValueKind::Unknown:
    case ValueKind::BigInt: {
      PyObject* object = obj();
      return PyRef::borrow(object != nullptr ? object : Py_None);
    }
  }
  return PyRef::steal(check_py(result));
}

}  // namespace vostrel
