// NestedIndexBudget: how much one tree of indexes (a top-level index and every index nested under it) may hold in
// deep nested indexes.
//
// Every dotted path an object graph offers gets a nested index of its own, and each holds the objects its path
// reaches. Objects linking each other through several attributes (p.friend, p.boss) offer a number of paths that
// doubles with each level; objects linking each other through one list (p.friends) offer one path per level, each
// holding most of the objects. Either way, a few thousand objects would take minutes and gigabytes. So paths of up
// to ALWAYS_NESTED_LEVELS steps always get their index (their number grows with the attributes of the objects, not
// with the depth of the graph), and a deeper one is made only while the tree's deep indexes are fewer than
// DEEP_INDEXES and hold fewer objects, all together, than DEEP_OBJECTS_BASE plus DEEP_OBJECTS_PER_TOP per object of
// the top-level index.
//
// The object count is known only when an index is asked for: objects added one by one make the deep indexes of the
// first object's paths before later objects fill them, so DEEP_INDEXES is what bounds that case (to about as many
// registrations per object as the always-indexed levels cost). 64 also lets a linked list (next.next...) reach 67
// levels, far deeper than dotted paths are written.
//
// A value map refused an index keeps none (see ensure_nested): dotted paths through it find nothing, as
// past the nesting limit. Which deep paths get an index once the budget is spent depends on the order in which
// their first objects arrive.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/locks/gate_held.hpp"

namespace vostrel {

class IndexAPI;

class NestedIndexBudget {
 public:
  static constexpr uint32_t ALWAYS_NESTED_LEVELS = 3;
  static constexpr size_t DEEP_INDEXES = 64;
  static constexpr uint64_t DEEP_OBJECTS_BASE = 65536;
  static constexpr uint64_t DEEP_OBJECTS_PER_TOP = 4;

  // The top-level index of the tree, once it is shared-owned.
  void set_root(const std::shared_ptr<IndexAPI>& root) { root_ = root; }

  // No index lock held, `index` not published yet: whether it may be made. A deep one is then
  // counted until it goes.
  bool try_take(const GateHeld& gate, const std::shared_ptr<IndexAPI>& index);

 private:
  std::weak_ptr<IndexAPI> root_;
  std::vector<std::weak_ptr<IndexAPI>> deep_;  // writer gate held: the tree's deep indexes (expired ones pruned)
};

}  // namespace vostrel
