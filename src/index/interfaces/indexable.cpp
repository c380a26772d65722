// Indexable: the Python base class of indexed objects: allocation, collection, construction and its methods.
#include "index/interfaces/indexable.hpp"

#include <array>
#include <cstdio>
#include <optional>
#include <utility>

#include "index/interfaces/attribute_hooks.hpp"
#include "index/interfaces/collection_guard.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/interfaces/indexable_state.hpp"
#include "index/errors.hpp"

namespace vostrel {

namespace {

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
  forget_traversed(self);
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
// makes the collector keep things alive. A busy map is skipped for the same reason. Engine writers change both
// without the interpreter lock, so the collector sees them through the collection guard.
int attribute_references(PyObject* self, visitproc visit, void* arg) {
  const InPlace<AttributeMap>& attributes = as_indexable(self)->core.attributes;
  std::unique_lock lock(attributes->mutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  int result = 0;
  attributes->map.for_each_in_cycles([&](const PyValue& value) {
    if (result == 0) result = value.traverse(visit, arg);
  });
  return result;
}

int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  // An object never handed to the engine is changed only by holders of the interpreter lock, which the collector
  // holds: what it reports cannot change under a pass, so it needs no first report kept (most objects, as made).
  if (!as_indexable(self)->core.handed_to_engine()) return attribute_references(self, visit, arg);
  return traverse_as_first_seen(self, visit, arg, attribute_references);
}

// Breaks reference cycles: empties the attribute map; the values are released after unlocking.
int indexable_clear(PyObject* self) {
  const InPlace<AttributeMap>& attributes = as_indexable(self)->core.attributes;
  AttributeMap::Values taken;
  {
    std::unique_lock lock = lock_releasing_gil(attributes->mutex);
    taken = std::exchange(attributes->map, AttributeMap::Values());
  }
  return 0;
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
  PyObject* result = guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    // Not shared with anyone yet: filled without its lock.
    AttributeMap::Values attributes;
    bool has_dunder = false;
    if (kwargs != nullptr) {
      bool reserved = false;
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        const std::optional<uint32_t> data_name = data_attribute_name_id(key);
        if (!data_name) {
          has_dunder = true;
          continue;
        }
        const uint32_t name_id = *data_name;
        if (!reserved) {
          // One block for every value, side slots as earlier objects starting with this name needed.
          attributes.reserve(static_cast<size_t>(PyDict_GET_SIZE(kwargs)), name_id);
          reserved = true;
        }
        // The keywords of a call are distinct names, so distinct ids: none is in the map yet.
        attributes.insert_new(name_id, PyValue::capture(PyRef::borrow(value)));
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
  register_indexable_type(&type);
  ready = true;
  return &type;
}

}  // namespace vostrel
