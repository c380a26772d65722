// LeftSet: inserts and removals in the sorted array, and the switches between array and bitmap.
#include "index/core/structures/m2m/left_set.hpp"

#include <utility>

namespace vostrel {

LeftSet LeftSet::of_two(uint32_t a, uint32_t b) {
  LeftSet set;
  set.array_.resize(2);
  set.array_[0] = std::min(a, b);
  set.array_[1] = std::max(a, b);
  return set;
}

bool LeftSet::add(uint32_t id) {
  if (bitmap_) return roaring_bitmap_add_checked(&bitmap_->roaring, id);
  uint32_t* at = std::lower_bound(array_.begin(), array_.end(), id);
  if (at != array_.end() && *at == id) return false;
  // The size is weighed only when the block is full: the chunk count costs a walk of the ids.
  if (array_.size() == array_.capacity()) {
    uint64_t chunks = 0;
    uint32_t last_chunk = 0;
    for (uint32_t held : array_) {
      if (chunks == 0 || (held >> 16) != last_chunk) ++chunks;
      last_chunk = held >> 16;
    }
    if (bitmap_is_smaller(array_.size() + 1, chunks)) {
      to_bitmap(id);
      return true;
    }
  }
  array_.insert(at, id);
  return true;
}

bool LeftSet::remove(uint32_t id) {
  if (bitmap_) {
    if (!roaring_bitmap_remove_checked(&bitmap_->roaring, id)) return false;
    // Back at half the size where the array gave way: a set near the line does not switch on every change.
    const uint64_t chunks = static_cast<uint64_t>(bitmap_->roaring.high_low_container.size);
    if (!bitmap_is_smaller(2 * bitmap_->cardinality(), chunks)) {
      try {
        back_to_array();
      } catch (const std::bad_alloc&) {
        // No room for the array: the bitmap stays, it answers alike.
      }
    }
    return true;
  }
  uint32_t* at = std::lower_bound(array_.begin(), array_.end(), id);
  if (at == array_.end() || *at != id) return false;
  array_.erase(at);
  return true;
}

bool LeftSet::contains(uint32_t id) const {
  if (bitmap_) return bitmap_->contains(id);
  return std::binary_search(array_.begin(), array_.end(), id);
}

void LeftSet::or_into(Bitmap& out) const {
  if (bitmap_) {
    out |= *bitmap_;
  } else if (!array_.empty()) {
    out.addMany(array_.size(), array_.data());
  }
}

void LeftSet::to_bitmap(uint32_t id) {
  auto bitmap = std::make_unique<Bitmap>();
  bitmap->addMany(array_.size(), array_.data());
  bitmap->add(id);
  bitmap_ = std::move(bitmap);
  array_ = IdArray();
}

void LeftSet::back_to_array() {
  IdArray array;
  array.resize(bitmap_->cardinality());
  bitmap_->toUint32Array(array.data());
  array_ = std::move(array);
  bitmap_.reset();
}

}  // namespace vostrel
