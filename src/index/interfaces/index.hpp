// The Python class Index: owns one engine (IndexAPI) and exposes insertion and queries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/core/index.hpp"

namespace vostrel {

struct IndexObject {
  PyObject_HEAD
  std::shared_ptr<IndexAPI> engine;  // set by the constructor, never replaced
};

// The Index type (created on first use, i.e. at module import; borrowed, lives for the process). Null with a Python
// error set if creation failed. Not subclassable; no instance __dict__, no weak references.
PyTypeObject* index_type();

}  // namespace vostrel
