// ValueIds: the ids of one value held by several objects, sized to what it holds.
//
// A sorted vector while small (4 bytes an id, one allocation), a Roaring bitmap once large. Roaring pays a fixed
// cost per 64K-id chunk (a container record and its own allocation, about 50 bytes), so a value held by a handful of
// objects scattered over a million ids costs ten times more as a bitmap than as a vector; past LARGE_AT ids the
// bitmap's 2 bytes an id (less for runs and dense chunks) win. Once large, a set stays a bitmap until emptied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

class ValueIds {
 public:
  static constexpr size_t LARGE_AT = 1024;

  void add(uint32_t id) {
    if (large_) {
      large_->add(id);
      return;
    }
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), id);
    if (at != sorted_.end() && *at == id) return;
    if (sorted_.size() < LARGE_AT) {
      sorted_.insert(at, id);
      return;
    }
    auto bitmap = std::make_unique<Bitmap>();
    bitmap->addMany(sorted_.size(), sorted_.data());
    bitmap->add(id);
    bitmap->runOptimize();
    large_ = std::move(bitmap);
    sorted_ = std::vector<uint32_t>();
  }

  void remove(uint32_t id) {
    if (large_) {
      large_->remove(id);
      return;
    }
    auto at = std::lower_bound(sorted_.begin(), sorted_.end(), id);
    if (at != sorted_.end() && *at == id) sorted_.erase(at);
  }

  uint64_t cardinality() const { return large_ ? large_->cardinality() : sorted_.size(); }

  // The bitmap when large (for set algebra), else null.
  const Bitmap* bitmap() const { return large_.get(); }

  // Calls f(id) for every id, ascending.
  template <class F>
  void for_each(F&& f) const {
    if (large_) {
      for (uint32_t id : *large_) f(id);
    } else {
      for (uint32_t id : sorted_) f(id);
    }
  }

  void or_into(Bitmap& out) const {
    if (large_) {
      out |= *large_;
    } else if (!sorted_.empty()) {
      out.addMany(sorted_.size(), sorted_.data());
    }
  }

 private:
  std::vector<uint32_t> sorted_;
  std::unique_ptr<Bitmap> large_;
};

}  // namespace vostrel
