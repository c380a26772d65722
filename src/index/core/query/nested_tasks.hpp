// Nested-object registrations deferred until the locks of the index being written are released.
//
// A value map meets a nested Indexable while its caller holds index locks (and the holder's attribute-map lock).
// Registering the nested object there would mean taking that object's locks under index locks: the inversion that
// deadlocks against a writer of the nested object. So the map only records the link as a task; the entry point
// (insertion or the attribute write) runs the tasks once it holds no index lock, one object's locks at a time. Tasks
// run in order and may add further tasks (the nested object's own nested values), so arbitrarily deep graphs are
// registered without recursion.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/locks/gate_held.hpp"
#include "index/value.hpp"

namespace vostrel {

class QueryMap;

// The objects whose registration led to a task, innermost first: a child already further out on its own path would
// close a cycle of nested indexes without end (p.friend = c, c.friend = p), so such a link is cut there and dotted
// paths through it stop at that depth. Checking the path costs one step per level and takes no lock; the levels
// themselves are bounded by the tree's budget of nested indexes (nested_budget.hpp), so a long chain of objects
// registers in time linear per link.

struct RegistrationPath {
  uint32_t object;
  std::shared_ptr<const RegistrationPath> outer;
};

struct NestedTask {
  enum class Kind : uint8_t { Link, Unlink };
  Kind kind;
  std::shared_ptr<QueryMap> map;  // its nested index holds (or should hold) the child
  uint32_t holder;                      // object id or element id holding the child in `map`
  StoredIndexable child;
  std::shared_ptr<const RegistrationPath> path{};  // set by the runner
  // Batch insertion only: the object whose value made the task. There `path` is that object's own registration path
  // (without the object), so the full path is built only for a child that links objects in turn.
  uint32_t producer = 0;
  // Batch insertion only: the child's id, read while its holder is staged, so that linking a group of children
  // later reads no child object.
  uint32_t child_id = 0;
};

using NestedWork = std::vector<NestedTask>;

// Runs the tasks of `work` for the object `origin` (the engine's run_nested_work): value maps that must register
// nested objects before they return (a merge of members) are handed the runner by their caller.
using NestedWorkRunner = bool (*)(const GateHeld& gate, NestedWork& work, uint32_t origin);

}  // namespace vostrel
