// StoredItem: an index's record of one stored object.
#pragma once

#include "index/value.hpp"

namespace vostrel {

// The same record a captured Indexable value holds: one strong reference to the Python object that was added
// (released, deferred when the interpreter lock is not held, when the last holder drops it), through which the
// object's core is read in place.
using StoredItem = StoredIndexable;

}  // namespace vostrel
