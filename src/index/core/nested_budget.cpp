// NestedIndexBudget::try_take: counts the tree's deep nested indexes and what they hold when a new one is asked for.
#include "index/core/nested_budget.hpp"

#include <shared_mutex>

#include "index/core/index.hpp"

namespace vostrel {
namespace {

uint64_t objects_in(const IndexAPI& index) {
  std::shared_lock ids_lock(index.item_ids->mutex);
  return index.item_ids->value.cardinality();
}

}  // namespace

bool NestedIndexBudget::try_take(const GateHeld& /*gate*/, const std::shared_ptr<IndexAPI>& index) {
  if (index->level <= ALWAYS_NESTED_LEVELS) return true;
  // Asked once per new deep index (and once per value map refused one), so a walk over the few held is cheap.
  std::erase_if(deep_, [](const std::weak_ptr<IndexAPI>& held) { return held.expired(); });
  if (deep_.size() >= DEEP_INDEXES) return false;
  uint64_t allowance = DEEP_OBJECTS_BASE;
  if (std::shared_ptr<IndexAPI> root = root_.lock()) allowance += DEEP_OBJECTS_PER_TOP * objects_in(*root);
  uint64_t held_objects = 0;
  for (const std::weak_ptr<IndexAPI>& held : deep_) {
    if (std::shared_ptr<IndexAPI> live = held.lock()) held_objects += objects_in(*live);
  }
  if (held_objects >= allowance) return false;
  deep_.push_back(index);
  return true;
}

}  // namespace vostrel
