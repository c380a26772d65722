// IndexAPI::remove_object: takes one object out of an index.
#include <mutex>
#include <utility>

#include "index/core/index.hpp"
#include "index/core/structures/test_points.hpp"
#include "index/core/writer_gate.hpp"
#include "index/core/write_propagation.hpp"

namespace vostrel {

// Returns false, changing nothing, when this index does not hold the object. Interpreter lock released; no engine or
// object lock held.
bool IndexAPI::remove_object(const IndexableCore& core) {
  WriterGate gate;
  // Unsettled from the id's removal until the values are gone (or a repair is left for them, which counts its own).
  const UnsettledChange unsettled(gate, *this);
  // The id leaves `item_ids` first, so queries (which start from it) no longer report the object while its values go.
  StoredItem removed = unstore_object(gate, core.id);
  if (!removed.python_handle) return false;
  wait_while_held(TestPoint::ChangeMidway);
  let_go_values(gate, core);
  return true;
}

void IndexAPI::let_go_values(const GateHeld& gate, const IndexableCore& core) noexcept {
  // Later writes stop reaching this index (removing a record takes no memory).
  remove_membership(core, shared_from_this());
  bool whole = true;
  try {
    NestedWork work;
    {
      std::lock_guard attributes(core.attributes->mutex);
      core.attributes->map.for_each(
          [&](const uint32_t& attribute, const PyValue& value) { remove_index(gate, core.id, attribute, value, work); });
    }
    whole = run_nested_work(gate, work, core.id);
  } catch (...) {
    // Only memory for the list of nested tasks can run out here, once the id is gone: what stays is out of reach of
    // every answer, and the repair drops it.
    whole = false;
  }
  if (!whole) defer_repair(gate, shared_from_this());
}

}  // namespace vostrel
