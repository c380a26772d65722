// RwLocked: a value guarded by its own reader-writer lock.
#pragma once

#include <shared_mutex>

namespace vostrel {

// Each shared part of an index carries its own lock, so views can keep one part alive (and lock it) without the rest.
template <class T>
struct RwLocked {
  mutable std::shared_mutex mutex;
  T value;
};

}  // namespace vostrel
