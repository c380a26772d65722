// The native record of an Indexable object: its id, taken at creation and given back with the record.
#include "index/object_record.hpp"

#include <utility>

#include "index/core/structures/ids/id_alloc.hpp"

namespace vostrel {

IndexableCore IndexableCore::create(AttributeMap::Values attributes) {
  IndexableCore core;
  core.attributes->map = std::move(attributes);
  core.id = allocate_id();
  return core;
}

IndexableCore::IndexableCore(IndexableCore&& other) noexcept
    : indexes(std::move(other.indexes)),
      attributes(std::move(other.attributes)),
      id(std::exchange(other.id, 0)) {}

IndexableCore::~IndexableCore() {
  if (id != 0) free_id(id);
}

}  // namespace vostrel
