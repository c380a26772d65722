// Helpers shared by the Python classes.
#include "index/interfaces/common.hpp"

#include "index/types.hpp"
#include "lib/errors.hpp"

namespace vostrel {

PyRef list_of_stored(const Bitmap& ids, const ItemStore<StoredItem>& store) {
  GilAcquire gil;
  PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(ids.cardinality()))));
  Py_ssize_t pos = 0;
  for (uint32_t id : ids) {
    // An id whose object the index dropped since the view was made reads as the placeholder.
    const StoredItem* item = store.find(id);
    PyObject* object = item != nullptr ? item->python_handle.get() : DEFAULT_PY_INDEXABLE_ARC().get();
    PyList_SET_ITEM(list.get(), pos++, Py_NewRef(object));
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

}  // namespace vostrel
