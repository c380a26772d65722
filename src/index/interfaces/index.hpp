// The Python class Index: owns one engine (IndexAPI) and exposes insertion and queries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/core/index.hpp"
#include "index/interfaces/common.hpp"

namespace vostrel {

struct IndexObject {
  PyObject_HEAD
  std::shared_ptr<IndexAPI> engine;  // set by the constructor; replaced by an empty one only when the collector clears
  PyRef store;  // the holder of the engine's store (store_holder.hpp), shared with its views; null once cleared
};

// The Index type (created on first use, i.e. at module import; borrowed, lives for the process). Null with a Python
// error set if creation failed. Not subclassable; no instance __dict__, no weak references; takes part in cyclic
// garbage collection.
PyTypeObject* index_type();

// Interpreter lock held: a new Index owning `engine` (reporting its store to the collector). Throws PythonErrorSet.
PyRef make_index(std::shared_ptr<IndexAPI> engine);

}  // namespace vostrel
