// Helpers shared by the Python classes.
#include "index/interfaces/common.hpp"

#include <array>
#include <limits>
#include <shared_mutex>

#include <roaring/roaring.h>

#include "index/core/structures/internal_error.hpp"
#include "index/types.hpp"
#include "index/errors.hpp"

namespace vostrel {

std::vector<SharedPyRef> handles_of_stored(const Bitmap& ids, const ItemStore<StoredItem>& store,
                                           const Bitmap* hidden) {
  std::vector<SharedPyRef> handles;
  handles.reserve(ids.cardinality());
  for (uint32_t id : ids) {
    const StoredItem* item = hidden != nullptr && hidden->contains(id) ? nullptr : store.find(id);
    handles.push_back(item != nullptr ? item->python_handle : DEFAULT_PY_INDEXABLE_ARC());
  }
  return handles;
}

PyRef list_of_handles(const std::vector<SharedPyRef>& handles) {
  PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(handles.size()))));
  Py_ssize_t pos = 0;
  for (const SharedPyRef& handle : handles) PyList_SET_ITEM(list.get(), pos++, Py_NewRef(handle.get()));
  return list;
}

int visit_store(const ItemList& store, visitproc visit, void* arg) {
  std::shared_lock lock(store.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return 0;
  int result = 0;
  store.value.for_each([&](uint32_t, const StoredItem& item) {
    if (result == 0 && item.python_handle.sole_owner()) result = visit(item.python_handle.get(), arg);
  });
  return result;
}

PyRef try_list_of_stored(const Bitmap& ids, RankedSharedMutex* id_lock, const ItemList& store,
                         const PutHistory::Mark& mark) {
  uint64_t count = 0;
  {
    std::shared_lock<RankedSharedMutex> ids_guard;
    if (id_lock != nullptr) {
      ids_guard = std::shared_lock(*id_lock, std::try_to_lock);
      if (!ids_guard.owns_lock()) return PyRef();
    }
    count = ids.cardinality();
  }
  PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(count))));
  std::shared_lock<RankedSharedMutex> ids_guard;
  if (id_lock != nullptr) {
    ids_guard = std::shared_lock(*id_lock, std::try_to_lock);
    if (!ids_guard.owns_lock() || ids.cardinality() != count) return PyRef();
  }
  std::shared_lock items_guard(store.mutex, std::try_to_lock);
  if (!items_guard.owns_lock()) return PyRef();
  // Read under the store's lock: what it holds now was recorded before it was put there.
  const std::optional<Bitmap> stored_later = store.history.stored_since(mark);
  const Bitmap* hidden = stored_later ? &*stored_later : nullptr;
  PyObject* placeholder = DEFAULT_PY_INDEXABLE_ARC().get();
  std::array<uint32_t, STORED_BATCH> batch;
  std::array<PyObject*, STORED_BATCH> objects;
  roaring_uint32_iterator_t it;
  roaring_init_iterator(&ids.roaring, &it);
  PyObject** slot = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  while (const uint32_t got = roaring_read_uint32_iterator(&it, batch.data(), STORED_BATCH)) {
    objects_of_stored(store.value, batch.data(), got, objects.data(), hidden);
    for (uint32_t k = 0; k < got; ++k) *slot++ = Py_NewRef(objects[k] != nullptr ? objects[k] : placeholder);
  }
  return list;
}

PyTypeObject* ready_final_type(PyTypeObject& type, const FinalTypeSpec& spec) {
  if (type.tp_flags & Py_TPFLAGS_READY) return &type;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  Py_SET_TYPE(reinterpret_cast<PyObject*>(&type), &PyType_Type);
  type.tp_name = spec.name;
  type.tp_basicsize = spec.basicsize;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = spec.doc;
  type.tp_new = spec.construct;
  type.tp_dealloc = spec.dealloc;
  type.tp_methods = spec.methods;
  type.tp_repr = spec.repr;
  type.tp_as_sequence = spec.as_sequence;
  type.tp_as_number = spec.as_number;
  type.tp_iter = spec.iter;
  type.tp_iternext = spec.iternext;
  if (spec.traverse != nullptr) {
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = spec.traverse;
    type.tp_clear = spec.clear;
    type.tp_free = PyObject_GC_Del;
  }
  if (PyType_Ready(&type) < 0) return nullptr;
  return &type;
}

bool reject_positional(const char* method, PyObject* args) {
  if (PyTuple_GET_SIZE(args) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd were given", method,
               PyTuple_GET_SIZE(args));
  return false;
}

SmallString text_argument(const char* argument, PyObject* value) {
  if (!PyUnicode_Check(value)) raise_argument_type(argument, "str", value);
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &length);
  if (text == nullptr) throw_python_error();
  return SmallString(std::string_view(text, static_cast<size_t>(length)));
}

void raise_argument_type(const char* argument, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", argument, expected, Py_TYPE(value)->tp_name);
  throw_python_error();
}

std::optional<uint64_t> count_argument(const char* name, PyObject* value, bool none_allowed) {
  if (value == nullptr || (none_allowed && value == Py_None)) return std::nullopt;
  if (!PyLong_Check(value)) raise_argument_type(name, none_allowed ? "int or None" : "int", value);
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (count == -1 && PyErr_Occurred()) throw_python_error();
  if (overflow < 0 || (overflow == 0 && count < 0)) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must not be negative", name);
    throw_python_error();
  }
  return overflow > 0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(count);
}

void check_storable(const char* argument, const char* expected, PyObject* value) {
  if (!is_indexable(value)) raise_argument_type(argument, expected, value);
  if (is_placeholder(value)) {
    PyErr_Format(PyExc_ValueError, "argument '%s': the placeholder of an object that left its index cannot be stored",
                 argument);
    throw_python_error();
  }
}

}  // namespace vostrel
