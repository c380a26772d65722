// StoredItem: an index's record of one stored object.
#pragma once

#include <memory>

#include "index/indexable.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

struct StoredItem {
  // One strong reference to the Python object that was added; released (deferred when the interpreter lock is not
  // held) when the last holder drops it.
  SharedPyRef python_handle;

  // The object's core, read in place (the handle keeps the object alive). Precondition: python_handle is set.
  const IndexableCore& core() const { return indexable_core(python_handle.get()); }
};

}  // namespace vostrel
