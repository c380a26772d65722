// LazyPart: a part of a value map allocated on first use.
//
// Most attributes hold values of one kind, and a map that never sees a number should not carry 152 numeric slice
// bitmaps, nor one that never sees a nested object a nested index. Only writers create parts, and writers hold the
// process-wide writer gate, so creation never races (a part a reader may build, a map's bit slices, is created with
// its structure's lock held for writing, as every writer creating it holds it too); the part is published with
// release ordering and readers see either null (nothing of that kind was ever stored) or the whole part. A part lives
// as long as its map.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace vostrel {

template <class T>
class LazyPart {
 public:
  // The part, or null before the first writer created it.
  T* get() const noexcept { return published_.load(std::memory_order_acquire); }
  // Writer gate held: the part, created from `args` if it does not exist yet.
  template <class... Args>
  T& ensure(Args&&... args) {
    if (T* existing = get()) return *existing;
    owned_ = std::make_shared<T>(std::forward<Args>(args)...);
    published_.store(owned_.get(), std::memory_order_release);
    return *owned_;
  }
  // Writer gate held, no part yet: publishes `part` (made by the caller, e.g. when it must be shared-owned from
  // the start).
  T& adopt(std::shared_ptr<T> part) {
    owned_ = std::move(part);
    published_.store(owned_.get(), std::memory_order_release);
    return *owned_;
  }
  // Writer gate held: a shared reference to the part (null before it exists).
  const std::shared_ptr<T>& shared() const noexcept { return owned_; }

 private:
  std::shared_ptr<T> owned_;
  std::atomic<T*> published_{nullptr};
};

}  // namespace vostrel
