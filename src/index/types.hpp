// Process-wide cached types that drive value classification, and the shared placeholder Indexable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include "index/py_ref.hpp"

namespace vostrel {

struct IndexableCore;

// The types of one classification table: a built-in type, then numpy's counterparts if numpy could be imported
// (for numbers every width numpy has: int8 .. uint64, float16 .. float64; longdouble stays out, it would lose
// precision). Membership is exact type identity: subclasses never match.
struct TypeTable {
  static constexpr size_t MAX_NUMPY_TYPES = 10;
  PyTypeObject* builtin = nullptr;
  std::array<PyTypeObject*, MAX_NUMPY_TYPES> numpy{};  // the first `numpy_count` entries are set
  size_t numpy_count = 0;
  bool contains(PyTypeObject* type) const noexcept {
    if (type == builtin) return true;
    for (size_t pos = 0; pos < numpy_count; ++pos) {
      if (type == numpy[pos]) return true;
    }
    return false;
  }
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
// numpy's other integer ("int8" .. "int32", "uint8" .. "uint64", "longlong", "ulonglong": on Linux the last two are
// 64-bit types apart from int64/uint64) and float ("float16", "float32") scalar types, those that exist, in that
// order; loaded like the cells above.
const std::vector<PyTypeObject*>& NP_OTHER_INT_CELLS();
const std::vector<PyTypeObject*>& NP_OTHER_FLOAT_CELLS();

// The tables, each filled once on first use (interpreter lock held) and never changed afterwards.
const TypeTable& INT_TYPES();
const TypeTable& FLOAT_TYPES();
const TypeTable& STR_TYPES();
const TypeTable& BOOL_TYPES();
// The Indexable type, null until its module registers it (at import, before any value is captured). Readable from
// any thread afterwards.
PyTypeObject* INDEXABLE_TYPE() noexcept;
void register_indexable_type(PyTypeObject* type) noexcept;

// Placeholders for positions that hold no object: a default record, and a Python Indexable made from another default
// record. Both are made by create_default_indexables() at module import and live for the process; afterwards they are
// readable from any thread without the interpreter lock.
const std::shared_ptr<const IndexableCore>& DEFAULT_INDEXABLE_ARC();
const SharedPyRef& DEFAULT_PY_INDEXABLE_ARC();
// Whether `obj` is that placeholder Indexable (false before it is made). Never throws.
bool is_placeholder(PyObject* obj) noexcept;
// Interpreter lock held, the Indexable type registered; idempotent. Throws PythonErrorSet on failure.
void create_default_indexables();

}  // namespace vostrel
