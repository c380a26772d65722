// Temporary write path (stores only); the engine replaces it.
#include "index/write_propagation.hpp"

#include <mutex>

namespace vostrel {

std::optional<PyValue> write_attribute(const IndexableCore& core, uint32_t name_id, PyValue value) {
  std::lock_guard lock(core.attributes->mutex);
  return core.attributes->map.insert(name_id, std::move(value));
}

}  // namespace vostrel
