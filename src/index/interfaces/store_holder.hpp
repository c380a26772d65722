// The object store of an index as the cycle collector sees it: one Python object that reports the stored objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/core/index.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

// An index's store is shared by the Index, its views and the iterators over a snapshot of its ids. Each of them holds
// a reference to one store holder and reports that reference; the holder alone reports the stored objects. So the
// collector finds the stored objects unreachable exactly when every holder of the store is: reporting them from one
// holder would let it clear objects that another, live holder still lists, and from each would count them twice.

// The holder type (created on first use; borrowed, lives for the process). Null with a Python error set if creation
// failed. Not exported from the module.
PyTypeObject* store_holder_type();

// Interpreter lock held: a new holder of `items`. Throws PythonErrorSet.
PyRef make_store_holder(std::shared_ptr<ItemList> items);

}  // namespace vostrel
