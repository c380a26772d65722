// Indexable: the Python base class of indexed objects, around the record the engine reads (object_record.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

#include "index/object_record.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

// The Indexable type object (created on first use, i.e. at module import, and registered as INDEXABLE_TYPE();
// borrowed, lives for the process). Null with a Python error set if creation failed.
PyTypeObject* indexable_type();

// Interpreter lock held: the interned id of an attribute name given as a Python str (cached per str object, so
// repeated names skip encoding and hashing). Throws PythonErrorSet: TypeError for a name that is not a str, the
// encoding error for text that is not valid UTF-8.
uint32_t attribute_name_id(PyObject* name);
// The same without interning: nullopt for a name never interned (which no attribute map can hold).
std::optional<uint32_t> known_attribute_name_id(PyObject* name);

}  // namespace vostrel
