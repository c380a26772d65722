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
  // A copy of the object's core: the same membership list, attribute map and id, never owning the id.
  std::shared_ptr<const IndexableCore> owned_handle;
};

}  // namespace vostrel
