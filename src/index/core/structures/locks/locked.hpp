// RwLocked: a value guarded by its own ranked reader-writer lock.
#pragma once

#include <cstdint>

#include "index/core/structures/locks/lock_order.hpp"

namespace vostrel {

// Each shared part of an index carries its own lock, so views can keep one part alive (and lock it) without the rest.
template <class T>
struct RwLocked {
  explicit RwLocked(int32_t rank) : mutex(rank) {}
  mutable RankedSharedMutex mutex;
  T value;
};

}  // namespace vostrel
