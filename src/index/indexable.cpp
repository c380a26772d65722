// Indexable: the Python base class of indexed objects, and its native record IndexableCore.
#include "index/indexable.hpp"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

#include "index/core/id_alloc.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "index/fx_hash.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/interfaces/indexable_state.hpp"
#include "index/write_propagation.hpp"
#include "lib/errors.hpp"

namespace vostrel {

// ---- IndexableCore ----

IndexableCore IndexableCore::create(AttributeValues attributes) {
  IndexableCore core;
  core.attributes->map = std::move(attributes);
  core.id = allocate_id();
  return core;
}

IndexableCore::IndexableCore(IndexableCore&& other) noexcept
    : indexes(std::move(other.indexes)),
      attributes(std::move(other.attributes)),
      id(std::exchange(other.id, 0)) {}

IndexableCore::~IndexableCore() {
  if (id != 0) free_id(id);
}

namespace {

// ---- attribute names ----

// Name objects seen recently, by address, with their interned ids. Entries hold a strong reference to the name, so an
// address cannot be reused by another object while it is cached. Guarded by the interpreter lock; exact str only
// (a str subclass could change its text behind our back through __eq__ games).
struct NameCacheEntry {
  PyObject* name = nullptr;
  uint32_t id = 0;
  // Python's own protocol names (see is_dunder) are never data; queries may still intern one. Kept with the entry so
  // that a read or write of a cached name asks nothing of the name object.
  bool dunder = false;
  // Where the name was last found in an object's map: a loop reading it over objects of one class finds it at once.
  AttributeValues::Place place;
};
constexpr size_t NAME_CACHE_BITS = 10;
std::array<NameCacheEntry, size_t{1} << NAME_CACHE_BITS> name_cache;

NameCacheEntry& name_cache_entry(PyObject* name) {
  return name_cache[fx_hash_u64(reinterpret_cast<uintptr_t>(name)) >> (64 - NAME_CACHE_BITS)];
}

// The cache's entry for a name object; null when it is not there (the name may still be known).
NameCacheEntry* cached_name(PyObject* name) {
  if (!PyUnicode_CheckExact(name)) return nullptr;
  NameCacheEntry& entry = name_cache_entry(name);
  return entry.name == name ? &entry : nullptr;
}

std::optional<uint32_t> cached_name_id(PyObject* name) {
  if (const NameCacheEntry* entry = cached_name(name)) return entry->id;
  return std::nullopt;
}

// Names with double underscores at both ends belong to Python's own protocols (__class__, __dict__, __reduce_ex__):
// they are never captured as data but take the ordinary attribute handling, which refuses what it must.
bool is_dunder(PyObject* name) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, length - 2) == '_' && PyUnicode_READ_CHAR(name, length - 1) == '_';
}

// ---- free list ----

// Released blocks of exact Indexable objects, reused by the next constructions. The blocks keep their GC header
// (allocated by PyObject_GC_New and untracked on release), so a reused block only needs PyObject_Init and tracking.
struct FreeList {
  static constexpr size_t CAPACITY = 512;
  std::mutex mutex;
  std::array<PyObject*, CAPACITY> blocks{};
  size_t count = 0;  // guarded by mutex
};

FreeList& free_list() {
  // Never destroyed: blocks may be released until the interpreter is gone.
  static FreeList* list = std::make_unique<FreeList>().release();
  return *list;
}

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject indexable_type_object{};

IndexableObject* as_indexable(PyObject* obj) { return reinterpret_cast<IndexableObject*>(obj); }

// A block for a new object of `type`: the free list for the exact type, else the type's allocator.
PyObject* allocate_block(PyTypeObject* type) {
  if (type == &indexable_type_object) {
    FreeList& list = free_list();
    PyObject* block = nullptr;
    {
      std::lock_guard lock(list.mutex);
      if (list.count > 0) block = list.blocks[--list.count];
    }
    if (block != nullptr) return PyObject_Init(block, type);
    return reinterpret_cast<PyObject*>(PyObject_GC_New(IndexableObject, type));
  }
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  return alloc(type, 0);
}

// Places `core` into a new object of `type` and tracks it for the cycle collector. Throws PythonErrorSet when the
// allocation fails (the core is then destroyed by the caller's frame, returning its id).
PyRef make_object(PyTypeObject* type, IndexableCore&& core) {
  PyObject* obj = allocate_block(type);
  if (obj == nullptr) throw_python_error();
  std::construct_at(&as_indexable(obj)->core, std::move(core));
  if (!PyObject_GC_IsTracked(obj)) PyObject_GC_Track(obj);
  return PyRef::steal(obj);
}

// ---- slots ----

void indexable_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  // Long chains (a.next = b, b.next = c, ...) would otherwise recurse once per link.
  Py_TRASHCAN_BEGIN(self, indexable_dealloc)
  // Dropping the record may release attribute values and so run arbitrary __del__ code; self is unreachable by now.
  std::destroy_at(&as_indexable(self)->core);
  PyTypeObject* type = Py_TYPE(self);
  bool recycled = false;
  if (type == &indexable_type_object) {
    FreeList& list = free_list();
    std::lock_guard lock(list.mutex);
    if (list.count < FreeList::CAPACITY) {
      list.blocks[list.count++] = self;
      recycled = true;
    }
  }
  if (!recycled) type->tp_free(self);
  Py_TRASHCAN_END
}

// Visits the Python references the attribute map holds on this object's behalf. A handle shared with a copy elsewhere
// (an index's value maps, a query) is skipped: that reference is not this object's alone, and under-reporting only
// makes the collector keep things alive. A busy map is skipped for the same reason.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  const InPlace<AttributeMap>& attributes = as_indexable(self)->core.attributes;
  std::unique_lock lock(attributes->mutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  int result = 0;
  attributes->map.for_each_in_cycles([&](const PyValue& value) {
    if (result == 0) result = value.traverse(visit, arg);
  });
  return result;
}

// Breaks reference cycles: empties the attribute map; the values are released after unlocking.
int indexable_clear(PyObject* self) {
  const InPlace<AttributeMap>& attributes = as_indexable(self)->core.attributes;
  AttributeValues taken;
  {
    std::unique_lock lock = lock_releasing_gil(attributes->mutex);
    taken = std::exchange(attributes->map, AttributeValues());
  }
  return 0;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
  PyObject* result = guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    // Not shared with anyone yet: filled without its lock.
    AttributeValues attributes;
    bool has_dunder = false;
    if (kwargs != nullptr) {
      bool reserved = false;
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        if (is_dunder(key)) {
          has_dunder = true;
          continue;
        }
        uint32_t name_id = attribute_name_id(key);
        if (!reserved) {
          // One block for every value, side slots as earlier objects starting with this name needed.
          attributes.reserve(static_cast<size_t>(PyDict_GET_SIZE(kwargs)), name_id);
          reserved = true;
        }
        std::optional<PyValue> replaced = attributes.insert(name_id, PyValue::capture(PyRef::borrow(value)));
      }
    }
    PyRef object = make_object(type, IndexableCore::create(std::move(attributes)));
    if (has_dunder) {
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (PyUnicode_Check(key) && is_dunder(key) && PyObject_GenericSetAttr(object.get(), key, value) < 0) {
          throw_python_error();
        }
      }
    }
    return object.release();
  });
  apply_deferred_releases();
  return result;
}

// The value of an attribute read without the map's lock, when no writer is at work on the map: nullopt when one
// is (the caller then takes the lock). The copy is kept only if no writer came while it was taken. A value holding a
// captured object can then be given out by one increment, with no other step between: whatever a writer replaced
// since is released only by a holder of the interpreter lock, which this reader holds, and a block a writer outgrew
// is freed the same way (ReplacedAttribute), so nothing read here is freed under it.
std::optional<AttributeValues::Peeked> peek_attribute(const AttributeMap& attributes, uint32_t name_id) {
  const std::optional<uint32_t> stamp = attributes.mutex.stamp();
  if (!stamp) return std::nullopt;
  const auto unchanged = [&] { return attributes.mutex.still(*stamp); };
  std::optional<AttributeValues::Peeked> peeked = attributes.map.peek(name_id, unchanged);
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
// floats, short text, records); a word that is no value's (AttributeValues::is_value_word) when the read needs more.
[[gnu::always_inline]] inline uint64_t peek_cached_word(PyObject* self, NameCacheEntry* entry) noexcept {
  if (entry == nullptr || entry->dunder) return AttributeValues::no_word();
  const AttributeMap& attributes = *as_indexable(self)->core.attributes;
  const std::optional<uint32_t> stamp = attributes.mutex.stamp();
  if (!stamp) return AttributeValues::no_word();
  const auto unchanged = [&] { return attributes.mutex.still(*stamp); };
  const uint64_t word = attributes.map.peek_word(entry->id, unchanged, entry->place);
  return unchanged() ? word : AttributeValues::no_word();
}

// A value kept as a word under a cached data name, read while no writer is at work on the map, whose object no earlier
// read made: made now. Null when the read needs the full path (which also answers a missing attribute).
PyObject* read_word(PyObject* self, PyObject* name) {
  const uint64_t word = peek_cached_word(self, cached_name(name));
  return AttributeValues::is_value_word(word) ? PyValue::word_to_python(word).release() : nullptr;
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
      AttributeMap& attributes = *as_indexable(self)->core.attributes;
      if (const std::optional<AttributeValues::Peeked> peeked = peek_attribute(attributes, *name_id)) {
        if (const AttributeValues::Ref value = peeked->view()) return value->to_python().release();
        return missing_attribute(self, name, true);
      }
      // A writer is at work on the map (or its keys are its own): take its lock. Only what the conversion needs
      // leaves the map: a new reference to the captured object when the value holds one (the interpreter lock is
      // held, so that is one increment), else a copy of the in-place scalar.
      PyObject* held = nullptr;
      std::optional<PyValue> scalar;
      {
        std::unique_lock lock = lock_releasing_gil(attributes.mutex);
        if (const AttributeValues::Ref value = attributes.map.get(*name_id)) {
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

// Most reads end in the first branch: a value kept as a word whose object an earlier read made. It calls nothing, so
// it pays none of the register saving of the full path, which any other read takes.
PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  // A word that is no value's is in no slot of the cache of made objects: it takes the full path.
  if (PyObject* made = PyValue::made_for_word(peek_cached_word(self, cached_name(name)))) return Py_NewRef(made);
  return getattro_beyond_made(self, name);
}

[[gnu::noinline]] int setattro_full(PyObject* self, PyObject* name, PyObject* value) {
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
    const IndexableCore& core = as_indexable(self)->core;
    // The caller's reference keeps self (and so core) alive while the interpreter lock is given up.
    // An object in no index is written at once (no engine call, the interpreter lock kept); otherwise, or when one of
    // its locks is busy, the write goes through the engine with the interpreter lock released.
    ReplacedAttribute replaced;
    if (!try_write_unindexed(core, name_id, captured, replaced.value)) {
      core.hand_to_engine();
      replaced = without_gil([&] { return write_attribute(core, name_id, std::move(captured)); });
    }
    // What the write let go of is released here, with the interpreter lock held and no other lock.
    replaced = ReplacedAttribute();
    return 0;
  });
  apply_deferred_releases();
  return result;
}

// What a short write let go of when it held a shared value: released here, with no lock held, as on the full path.
[[gnu::noinline]] int release_replaced_word(uint64_t old) {
  ValuePacking<PyValue>::release(old);
  apply_deferred_releases();
  return 0;
}

// The short write of an object some other thread may reach: nothing to do when the attribute holds this very word,
// else swapped under the object's lock when it is in no index; any other case takes the full path.
[[gnu::noinline]] int setattro_handed(PyObject* self, PyObject* name, PyObject* value, NameCacheEntry* entry,
                                      uint64_t word) {
  // The word was seen whole while no writer was at work on the map. A write of it would change nothing, in the map
  // or in any index that holds the object, so the write counts as done at that instant: no lock, no registration.
  if (peek_cached_word(self, entry) == word) return 0;
  if (const std::optional<uint64_t> old = try_swap_unindexed_word(as_indexable(self)->core, entry->id, word)) {
    return ValuePacking<PyValue>::names_shared(*old) ? release_replaced_word(*old) : 0;
  }
  return setattro_full(self, name, value);
}

// Most writes end in the first branch: an int, a float or short text over a value kept as a word, on an object never
// handed to the engine. It captures nothing and calls nothing, so it pays none of the setting up of the other paths,
// which are called from it as its last step.
int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  NameCacheEntry* entry = value != nullptr ? cached_name(name) : nullptr;
  if (entry != nullptr && !entry->dunder) {
    if (const std::optional<uint64_t> word = PyValue::scalar_word(value)) {
      const IndexableCore& core = as_indexable(self)->core;
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

PyObject* indexable_repr(PyObject* self) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    AttributeMap& attributes = *as_indexable(self)->core.attributes;
    size_t count = 0;
    {
      std::unique_lock lock = lock_releasing_gil(attributes.mutex);
      count = attributes.map.len();
    }
    char text[64];
    std::snprintf(text, sizeof(text), "<Indexable with %zu attributes>", count);
    return check_py(PyUnicode_FromString(text));
  });
}

PyObject* indexable_dir(PyObject* self, PyObject* /*unused*/) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    AttributeMap& attributes = *as_indexable(self)->core.attributes;
    std::vector<uint32_t> ids;
    {
      std::unique_lock lock = lock_releasing_gil(attributes.mutex);
      ids.reserve(attributes.map.len());
      attributes.map.for_each([&](const uint32_t& id, const PyValue&) { ids.push_back(id); });
    }
    // Loaded after the ids were read, so every one of them is in the snapshot.
    std::shared_ptr<const ImmutableInterner> names = INTERNER().load();
    PyRef list = PyRef::steal(check_py(PyList_New(0)));
    for (uint32_t id : ids) {
      if (id >= names->size()) continue;
      std::string_view text = names->name(id);
      PyRef name = PyRef::steal(check_py(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                              nullptr)));
      if (PyList_Append(list.get(), name.get()) < 0) throw_python_error();
    }
    PyRef builtins = PyRef::steal(check_py(PyImport_ImportModule("builtins")));
    PyRef object_type = PyRef::steal(check_py(PyObject_GetAttrString(builtins.get(), "object")));
    PyRef method_name = PyRef::steal(check_py(PyUnicode_FromString("__dir__")));
    PyRef base_names = PyRef::steal(check_py(PyObject_CallMethodOneArg(object_type.get(), method_name.get(), self)));
    if (!PyList_Check(base_names.get())) {
      PyErr_SetString(PyExc_TypeError, "object.__dir__() did not return a list");
      throw_python_error();
    }
    Py_ssize_t count = PyList_GET_SIZE(base_names.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyList_Append(list.get(), PyList_GET_ITEM(base_names.get(), i)) < 0) throw_python_error();
    }
    return list.release();
  });
}

// The object and the blocks it alone owns: its values (and keys, when it keeps its own) and a heap block of
// membership records. What it shares (key shapes, long text, lists) is not counted, as sys.getsizeof never counts
// referenced objects.
PyObject* indexable_sizeof(PyObject* self, PyObject* /*unused*/) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    const IndexableCore& core = as_indexable(self)->core;
    size_t owned = 0;
    {
      std::unique_lock lock = lock_releasing_gil(core.attributes->mutex);
      owned += core.attributes->map.heap_bytes();
    }
    {
      std::unique_lock lock = lock_releasing_gil(core.indexes->mutex);
      owned += core.indexes->records.heap_bytes();
    }
    return check_py(PyLong_FromSize_t(static_cast<size_t>(Py_TYPE(self)->tp_basicsize) + owned));
  });
}

PyMethodDef indexable_methods[] = {
    {"__dir__", indexable_dir, METH_NOARGS, docs::INDEXABLE_DIR},
    {"__sizeof__", indexable_sizeof, METH_NOARGS, docs::INDEXABLE_SIZEOF},
    {"__reduce__", indexable_reduce, METH_NOARGS, docs::INDEXABLE_REDUCE},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

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
    entry->place = AttributeValues::Place();
    Py_XDECREF(evicted);  // a str: releasing it runs no Python code
  }
  return id;
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

PyTypeObject* indexable_type() {
  static bool ready = false;
  if (ready) return &indexable_type_object;
  PyTypeObject& type = indexable_type_object;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  Py_SET_TYPE(reinterpret_cast<PyObject*>(&type), &PyType_Type);
  type.tp_name = "Vostrel.Indexable";
  type.tp_basicsize = sizeof(IndexableObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = docs::INDEXABLE;
  type.tp_new = indexable_new;
  type.tp_dealloc = indexable_dealloc;
  type.tp_free = PyObject_GC_Del;
  type.tp_traverse = indexable_traverse;
  type.tp_clear = indexable_clear;
  type.tp_getattro = indexable_getattro;
  type.tp_setattro = indexable_setattro;
  type.tp_repr = indexable_repr;
  type.tp_methods = indexable_methods;
  if (PyType_Ready(&type) < 0) return nullptr;
  ready = true;
  return &type;
}

bool is_indexable(PyObject* obj) { return PyObject_TypeCheck(obj, &indexable_type_object); }

const IndexableCore& indexable_core(PyObject* obj) { return as_indexable(obj)->core; }

PyRef make_indexable_object(IndexableCore core) { return make_object(indexable_type(), std::move(core)); }

}  // namespace vostrel
