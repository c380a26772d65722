// Indexable's attribute hooks: obj.name reads and obj.name = value writes, by interned name id.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// Names with double underscores at both ends belong to Python's own protocols (__class__, __dict__, __reduce_ex__):
// never stored as data. Precondition: `name` is a str.
bool is_dunder(PyObject* name);

// The type's tp_getattro: a stored attribute, else the ordinary lookup; a missing attribute raises AttributeError
// with the name as its argument.
PyObject* indexable_getattro(PyObject* self, PyObject* name);

// The type's tp_setattro: the value captured, carried into every index that holds the object, then stored; deleting
// raises AttributeError. Dunder names take the ordinary handling.
int indexable_setattro(PyObject* self, PyObject* name, PyObject* value);

}  // namespace vostrel
