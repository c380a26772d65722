// Indexable's attribute hooks: reads and writes by name, through a cache of the name objects Python passes.
#include "index/interfaces/attribute_hooks.hpp"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "index/core/structures/string_interner/interner.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/types.hpp"
#include "index/core/write_propagation.hpp"
#include "index/errors.hpp"

namespace vostrel {

namespace {

std::optional<uint32_t> cached_name_id(PyObject* name) {
  if (const NameCacheEntry* entry = cached_name(name)) return entry->id;
  return std::nullopt;
}

}  // namespace

// Dunder names are never captured as data but take the ordinary attribute handling, which refuses what it must.
bool is_dunder(PyObject* name) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, length - 2) == '_' && PyUnicode_READ_CHAR(name, length - 1) == '_';
}

namespace {

// The value of an attribute read without the map's lock, when no writer is at work on the map: nullopt when one
// is (the caller then takes the lock). The copy is kept only if no writer came while it was taken. A value holding a
// captured object can then be given out by one increment, with no other step between: whatever a writer replaced
// since is released only by a holder of the interpreter lock, which this reader holds, and a block a writer outgrew
// is freed the same way (ReplacedAttribute), so nothing read here is freed under it.
std::optional<AttributeMap::Values::Peeked> peek_attribute(const AttributeMap& attributes, uint32_t name_id) {
  const std::optional<uint32_t> stamp = attributes.mutex.stamp();
  if (!stamp) return std::nullopt;
  const auto unchanged = [&] { return attributes.mutex.still(*stamp); };
  std::optional<AttributeMap::Values::Peeked> peeked = attributes.map.peek(name_id, unchanged);
  if (!peeked || !unchanged()) return std::nullopt;
  return peeked;
}

// Ordinary attribute lookup for a name the attribute map does not hold; a missing attribute raises AttributeError
// with the name as its argument.
PyObject* missing_attribute(PyObject* self, PyObject* name, bool encodable) {
  PyObject* result = encodable ? PyObject_GenericGetAttr(self, name) : nullptr;
  if (result == nullptr && (!encodable || PyErr_ExceptionMatches(PyExc_AttributeError))) {
    PyErr_Clear();
    PyRef error = PyRef::steal(check_py(PyObject_CallOneArg(PyExc_AttributeError, name)));
    PyErr_SetObject(PyExc_AttributeError, error.get());
  }
  return result;
}

// The word under a cached data name, peeked under the rules of peek_attribute (most values are kept as a word: ints,
// floats, short text, records); a word that is no value's (AttributeMap::Values::is_value_word) when the read needs more.
[[gnu::always_inline]] inline uint64_t peek_cached_word(PyObject* self, NameCacheEntry* entry) noexcept {
  if (entry == nullptr || entry->dunder) return AttributeMap::Values::no_word();
  const AttributeMap& attributes = *indexable_core(self).attributes;
  const std::optional<uint32_t> stamp = attributes.mutex.stamp();
  if (!stamp) return AttributeMap::Values::no_word();
  const auto unchanged = [&] { return attributes.mutex.still(*stamp); };
  const uint64_t word = attributes.map.peek_word(entry->id, unchanged, entry->place);
  return unchanged() ? word : AttributeMap::Values::no_word();
}

// A value kept as a word under a cached data name, read while no writer is at work on the map, whose object no earlier
// read made: made now. Null when the read needs the full path (which also answers a missing attribute).
PyObject* read_word(PyObject* self, PyObject* name) {
  const uint64_t word = peek_cached_word(self, cached_name(name));
  return AttributeMap::Values::is_value_word(word) ? PyValue::word_to_python(word).release() : nullptr;
}

[[gnu::noinline]] PyObject* getattro_beyond_made(PyObject* self, PyObject* name) {
  if (PyObject* value = guard_python_call<PyObject*>(nullptr, [&] { return read_word(self, name); })) return value;
  if (PyErr_Occurred()) return nullptr;
  if (!PyUnicode_Check(name) || is_dunder(name)) return PyObject_GenericGetAttr(self, name);
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    // Here a cached name is missing or its map busy. Any other name is looked up without interning it: a name never
    // interned is in no attribute map, and reads of ever new names (getattr with a default, hasattr) must not grow
    // the process-wide name table.
    std::optional<uint32_t> name_id = cached_name_id(name);
    bool encodable = true;
    if (!name_id) {
      try {
        name_id = known_attribute_name_id(name);
      } catch (const PythonErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw;
        PyErr_Clear();  // an unencodable name is simply missing
        encodable = false;
      }
    }
    if (name_id) {
      AttributeMap& attributes = *indexable_core(self).attributes;
      if (const std::optional<AttributeMap::Values::Peeked> peeked = peek_attribute(attributes, *name_id)) {
        if (const AttributeMap::Values::Ref value = peeked->view()) return value->to_python().release();
        return missing_attribute(self, name, true);
      }
      // A writer is at work on the map (or its keys are its own): take its lock. Only what the conversion needs
      // leaves the map: a new reference to the captured object when the value holds one (the interpreter lock is
      // held, so that is one increment), else a copy of the in-place scalar.
      PyObject* held = nullptr;
      std::optional<PyValue> scalar;
      {
        std::unique_lock lock = lock_releasing_gil(attributes.mutex);
        if (const AttributeMap::Values::Ref value = attributes.map.get(*name_id)) {
          if (PyObject* object = value->obj()) {
            held = Py_NewRef(object);
          } else {
            scalar.emplace(*value);
          }
        }
      }
      if (held != nullptr) return held;
      // Converted after unlocking: making Python objects may run the collector and arbitrary code.
      if (scalar) return scalar->to_python().release();
    }
    return missing_attribute(self, name, encodable);
  });
}

}  // namespace

// Most reads end in the first branch: a value kept as a word whose object an earlier read made. It calls nothing, so
// it pays none of the register saving of the full path, which any other read takes.
PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  // A word that is no value's is in no slot of the cache of made objects: it takes the full path.
  if (PyObject* made = PyValue::made_for_word(peek_cached_word(self, cached_name(name)))) return Py_NewRef(made);
  return getattro_beyond_made(self, name);
}

namespace {

[[gnu::noinline]] int setattro_full(PyObject* self, PyObject* name, PyObject* value) {
  // The placeholder collect() lists where an object left its index is one object shared by every view: what one
  // caller wrote there every other would see. (It holds no attribute, so no write of it ends on a shorter path.)
  if (is_placeholder(self)) {
    PyErr_SetString(PyExc_AttributeError, "the placeholder of an object that left its index cannot be changed");
    return -1;
  }
  // The id is taken now: capturing the value may run Python code that replaces the cache entry.
  const NameCacheEntry* entry = cached_name(name);
  const std::optional<uint32_t> cached = entry != nullptr ? std::optional<uint32_t>(entry->id) : std::nullopt;
  if (entry != nullptr ? entry->dunder : PyUnicode_Check(name) && is_dunder(name)) {
    return PyObject_GenericSetAttr(self, name, value);
  }
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  int result = guard_python_call<int>(-1, [&]() -> int {
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
      throw_python_error();
    }
    // A name in the cache was encoded when it got there; any other is checked before the value is captured. A name's
    // id never changes, so the one found above stays right whatever capturing the value runs.
    Py_ssize_t size = 0;
    if (!cached && PyUnicode_AsUTF8AndSize(name, &size) == nullptr) throw_python_error();
    // Captured before anything is locked or changed: a failure here changes nothing.
    PyValue captured = PyValue::capture(PyRef::borrow(value));
    const uint32_t name_id = cached ? *cached : attribute_name_id(name);
    const IndexableCore& core = indexable_core(self);
    // The caller's reference keeps self (and so core) alive while the interpreter lock is given up.
    // An object in no index is written at once (no engine call, the interpreter lock kept); otherwise, or when one of
    // its locks is busy, the write goes through the engine with the interpreter lock released.
    ReplacedAttribute replaced;
    if (!try_write_unindexed(core, name_id, captured, replaced.value)) {
      core.hand_to_engine();
      replaced = without_gil([&] { return write_attribute(core, name_id, std::move(captured)); });
    }
    // What the write let go of is released after this frame and its callers' C++ frames are left (ReleasesKept),
    // with the interpreter lock held and no other lock.
    ReleasesKept kept;
    replaced = ReplacedAttribute();
    return 0;
  });
  apply_releases_kept();
  return result;
}

// What a short write let go of when it held a shared value: released here, with no lock held, as on the full path.
[[gnu::noinline]] int release_replaced_word(uint64_t old) {
  {
    ReleasesKept kept;
    ValuePacking<PyValue>::release(old);
  }
  apply_releases_kept();
  return 0;
}

// The short write of an object some other thread may reach: nothing to do when the attribute holds this very word,
// else swapped under the object's lock when it is in no index; any other case takes the full path.
[[gnu::noinline]] int setattro_handed(PyObject* self, PyObject* name, PyObject* value, NameCacheEntry* entry,
                                      uint64_t word) {
  // The word was seen whole while no writer was at work on the map. A write of it would change nothing, in the map
  // or in any index that holds the object, so the write counts as done at that instant: no lock, no registration.
  if (peek_cached_word(self, entry) == word) return 0;
  if (const std::optional<uint64_t> old = try_swap_unindexed_word(indexable_core(self), entry->id, word)) {
    return ValuePacking<PyValue>::names_shared(*old) ? release_replaced_word(*old) : 0;
  }
  return setattro_full(self, name, value);
}

}  // namespace

// Most writes end in the first branch: an int, a float or short text over a value kept as a word, on an object never
// handed to the engine. It captures nothing and calls nothing, so it pays none of the setting up of the other paths,
// which are called from it as its last step.
int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  NameCacheEntry* entry = value != nullptr ? cached_name(name) : nullptr;
  if (entry != nullptr && !entry->dunder) {
    if (const std::optional<uint64_t> word = PyValue::scalar_word(value)) {
      const IndexableCore& core = indexable_core(self);
      if (core.handed_to_engine()) return setattro_handed(self, name, value, entry, *word);
      // Only holders of the interpreter lock reach the map, and an object never handed to the engine is in no
      // index: the word is swapped in place, with no lock taken and no membership to look at.
      if (const std::optional<uint64_t> old = core.attributes->map.swap_word(entry->id, *word, entry->place)) {
        return ValuePacking<PyValue>::names_shared(*old) ? release_replaced_word(*old) : 0;
      }
    }
  }
  return setattro_full(self, name, value);
}

uint32_t attribute_name_id(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
    throw_python_error();
  }
  NameCacheEntry* entry = nullptr;
  if (PyUnicode_CheckExact(name)) {
    entry = &name_cache_entry(name);
    if (entry->name == name) return entry->id;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) throw_python_error();
  uint32_t id = INTERNER().intern(std::string_view(utf8, static_cast<size_t>(size)));
  if (entry != nullptr) {
    PyObject* evicted = entry->name;
    Py_INCREF(name);
    entry->name = name;
    entry->id = id;
    entry->dunder = is_dunder(name);
    entry->place = AttributeMap::Values::Place();
    Py_XDECREF(evicted);  // a str: releasing it runs no Python code
  }
  return id;
}

std::optional<uint32_t> uncached_data_attribute_name_id(PyObject* name) {
  if (is_dunder(name)) return std::nullopt;
  return attribute_name_id(name);
}

std::optional<uint32_t> known_attribute_name_id(PyObject* name) {
  if (const std::optional<uint32_t> cached = cached_name_id(name)) return cached;
  if (PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) throw_python_error();
    if (!INTERNER().get(std::string_view(utf8, static_cast<size_t>(size)))) return std::nullopt;
  }
  return attribute_name_id(name);  // known (or not a str: its TypeError): interning adds nothing, and caches it
}

}  // namespace vostrel
