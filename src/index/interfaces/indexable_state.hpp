// The attributes of an Indexable as plain Python data: Vostrel.asdict and the pickling / copying protocol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// Vostrel.asdict(obj): a new dict of obj's stored attributes, in the attribute map's order (first-set order while
// the map is inline), values as reading them gives. TypeError (naming `obj`) for anything but an Indexable.
PyObject* indexable_asdict(PyObject* module, PyObject* obj);

// Indexable.__reduce__(): (copyreg.__newobj__, (type(self),), (instance __dict__ or None, attributes)). Unpickling and
// copy.copy / copy.deepcopy build a new object of the same class (a new id, in no index, __init__ not called) and set
// the attributes one by one, which also handles objects that refer to each other.
PyObject* indexable_reduce(PyObject* self, PyObject* unused);

}  // namespace vostrel
