// The Python class FilteredIndex: a read-only view of some objects of an index.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "index/core/filtered_index.hpp"
#include "index/py_ref.hpp"

#include "index/interfaces/common.hpp"

namespace vostrel {

struct FilteredIndexObject {
  PyObject_HEAD
  FilteredIndexCore core;  // never changed after construction, but emptied when the collector clears the view
  PyRef store;  // the holder of the store (store_holder.hpp), shared with the index and its other views
};

// The FilteredIndex type (created on first use, i.e. at module import; borrowed, lives for the process). Null with a
// Python error set if creation failed. Not subclassable; no constructor; no instance __dict__, no weak references.
PyTypeObject* filtered_index_type();

// Interpreter lock held: a new FilteredIndex owning `core`, holding `store`, the holder of core's store. Throws
// PythonErrorSet.
PyRef make_filtered_index(FilteredIndexCore core, PyRef store);

}  // namespace vostrel
