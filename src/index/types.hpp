// Process-wide cached types that drive value classification, and the shared placeholder Indexable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/py_ref.hpp"

namespace vostrel {

struct IndexableCore;

// The types of one classification table: a built-in type, then numpy's counterpart if numpy could be imported.
// Membership is exact type identity: subclasses never match.
struct TypeTable {
  PyTypeObject* builtin = nullptr;
  PyTypeObject* numpy = nullptr;
  bool contains(PyTypeObject* type) const noexcept { return type == builtin || (numpy != nullptr && type == numpy); }
};

// The built-in types (no import needed).
PyTypeObject* PY_INT_TYPE_CELL() noexcept;
PyTypeObject* PY_FLOAT_TYPE_CELL() noexcept;
PyTypeObject* PY_STR_TYPE_CELL() noexcept;
PyTypeObject* PY_BOOL_TYPE_CELL() noexcept;

// numpy's "int64", "float64", "str_" and "bool" types, or null when numpy cannot be imported, lacks the attribute or
// the attribute is not a type. Each cell imports numpy itself on first use and swallows every failure. Interpreter
// lock held.
PyTypeObject* NP_INT64_CELL();
PyTypeObject* NP_FLOAT64_CELL();
PyTypeObject* NP_STR_CELL();
PyTypeObject* NP_BOOL_CELL();

// The tables, each filled once on first use (interpreter lock held) and never changed afterwards.
const TypeTable& INT_TYPES();
const TypeTable& FLOAT_TYPES();
const TypeTable& STR_TYPES();
const TypeTable& BOOL_TYPES();
PyTypeObject* INDEXABLE_TYPE();

// Placeholders for positions that hold no object: a default record, and a Python Indexable made from another default
// record. Both are made by create_default_indexables() at module import and live for the process; afterwards they are
// readable from any thread without the interpreter lock.
const std::shared_ptr<const IndexableCore>& DEFAULT_INDEXABLE_ARC();
const SharedPyRef& DEFAULT_PY_INDEXABLE_ARC();
// Interpreter lock held; idempotent. Throws PythonErrorSet on failure.
void create_default_indexables();

}  // namespace vostrel
