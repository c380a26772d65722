// Attribute writes on indexed objects: carried into every index, then stored.
#pragma once

#include <cstdint>
#include <optional>

#include "index/indexable.hpp"
#include "index/value.hpp"

namespace vostrel {

// Carries `obj.<name_id> = value` into every live index that holds the object (the old value unregistered, the new
// one registered) and then stores the value in the object's attribute map. Call with the interpreter lock RELEASED.
// Returns the replaced value; the caller destroys it only once it holds the interpreter lock again and no other lock.
std::optional<PyValue> write_attribute(const IndexableCore& core, uint32_t name_id, PyValue value);

}  // namespace vostrel
