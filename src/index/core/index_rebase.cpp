// IndexAPI::rebase: a new index over the objects a view lists.
#include <mutex>
#include <utility>
#include <vector>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"
#include "index/core/writer_gate.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {

std::shared_ptr<IndexAPI> IndexAPI::rebase(const FilteredIndexCore& view) {
  std::shared_ptr<IndexAPI> rebased = create();
  WriterGate gate;
  // Copies of the stored records, taken under the store's read lock only; objects are registered afterwards as one
  // batch (one object's locks at a time, the same outcome as adding them one by one), with no lock of the source
  // held.
  std::vector<StoredIndexable> objects = view.with_stored(stored_objects);
  // Nothing else can reach the new index before it is returned, except writes to objects already recorded in it,
  // and those wait for the gate.
  rebased->add_indexables_gated(gate, objects);
  return rebased;
}

}  // namespace vostrel
