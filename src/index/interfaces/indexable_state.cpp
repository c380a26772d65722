// The attributes of an Indexable as plain Python data: Vostrel.asdict and __reduce__.
#include "index/interfaces/indexable_state.hpp"

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/structures/string_interner/interner.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/common.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// Interpreter lock held: the stored attributes as a new dict. Throws PythonErrorSet.
PyRef attributes_as_dict(PyObject* obj) {
  AttributeMap& attributes = *indexable_core(obj).attributes;
  // Copies leave the map (copying a value never allocates); the Python objects are made after unlocking.
  std::vector<std::pair<uint32_t, PyValue>> entries;
  {
    std::unique_lock lock = lock_releasing_gil(attributes.mutex);
    entries.reserve(attributes.map.len());
    attributes.map.for_each([&](const uint32_t& id, const PyValue& value) { entries.emplace_back(id, value); });
  }
  // Loaded after the ids were read, so every one of them is in the snapshot.
  std::shared_ptr<const ImmutableInterner> names = INTERNER().load();
  PyRef dict = PyRef::steal(check_py(PyDict_New()));
  for (const auto& [id, value] : entries) {
    if (id >= names->size()) continue;
    const std::string_view text = names->name(id);
    PyRef name = PyRef::steal(
        check_py(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
    PyRef converted = value.to_python();
    if (PyDict_SetItem(dict.get(), name.get(), converted.get()) < 0) throw_python_error();
  }
  return dict;
}

// The instance __dict__ of a subclass that has one and uses it (dunder names live there), else None.
PyRef instance_dict(PyObject* self) {
  // Most classes of held objects have none (__slots__ = ()): asking would build an AttributeError per object.
  if (Py_TYPE(self)->tp_dictoffset == 0 && !PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_MANAGED_DICT)) {
    return PyRef::borrow(Py_None);
  }
  PyRef name = PyRef::steal(check_py(PyUnicode_FromString("__dict__")));
  PyRef dict = PyRef::steal(PyObject_GenericGetAttr(self, name.get()));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    return PyRef::borrow(Py_None);
  }
  if (PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) == 0) return PyRef::borrow(Py_None);
  return dict;
}

}  // namespace

PyObject* indexable_asdict(PyObject* /*module*/, PyObject* obj) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    if (!is_indexable(obj)) raise_argument_type("obj", "Indexable", obj);
    return attributes_as_dict(obj).release();
  });
}

PyObject* indexable_reduce(PyObject* self, PyObject* /*unused*/) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    // Looked up once: an import per object was most of the cost of pickling many objects. The module lives in one
    // interpreter, so one reference kept for the process serves every call.
    static PyObject* newobj = nullptr;
    if (newobj == nullptr) {
      PyRef copyreg = PyRef::steal(check_py(PyImport_ImportModule("copyreg")));
      newobj = check_py(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    }
    PyRef constructor = PyRef::borrow(newobj);
    PyRef arguments = PyRef::steal(check_py(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self)))));
    PyRef dict = instance_dict(self);
    PyRef attributes = attributes_as_dict(self);
    // The (dict, slot state) form: pickle and copy put `dict` into __dict__ and set each attribute with setattr.
    PyRef state = PyRef::steal(check_py(PyTuple_Pack(2, dict.get(), attributes.get())));
    return check_py(PyTuple_Pack(3, constructor.get(), arguments.get(), state.get()));
  });
}

}  // namespace vostrel
