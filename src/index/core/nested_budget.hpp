// NestedIndexBudget: how many deep nested indexes one tree of indexes (a top-level index and every index nested
// under it) may hold.
//
// Every dotted path an object graph offers gets a nested index of its own, so objects with two or more attributes
// linking each other (p.friend, p.boss) offer a number of paths that doubles with each level: a few dozen such
// objects would take minutes and gigabytes. Paths of up to ALWAYS_NESTED_LEVELS steps always get their index (their
// number grows with the attributes of the objects, not with the depth of the graph), and below that a tree holds at
// most DEEP_NESTED_INDEXES nested indexes. A linked list (next.next...) needs one per level, so it still reaches the
// nesting limit. A value map refused an index keeps none (see QueryMap::ensure_nested): dotted paths through it find
// nothing, as past the nesting limit. Which deep paths get an index once the budget is spent depends on the order in
// which their first objects arrive.
#pragma once

#include <atomic>
#include <cstdint>

namespace vostrel {

class NestedIndexBudget {
 public:
  static constexpr uint32_t ALWAYS_NESTED_LEVELS = 3;
  static constexpr uint32_t DEEP_NESTED_INDEXES = 1024;

  // Whether a nested index may be made at `level`; when it is deep, it is counted until give_back(level).
  bool try_take(uint32_t level) noexcept {
    if (level <= ALWAYS_NESTED_LEVELS) return true;
    uint32_t held = deep_.load(std::memory_order_relaxed);
    do {
      if (held >= DEEP_NESTED_INDEXES) return false;
    } while (!deep_.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
    return true;
  }

  void give_back(uint32_t level) noexcept {
    if (level > ALWAYS_NESTED_LEVELS) deep_.fetch_sub(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> deep_{0};  // nested indexes deeper than ALWAYS_NESTED_LEVELS
};

}  // namespace vostrel
