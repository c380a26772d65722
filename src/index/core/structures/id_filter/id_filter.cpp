// IdFilter: building the dense bit vector.
#include "index/core/structures/id_filter/id_filter.hpp"

namespace vostrel {
namespace {

// A span costs span / 8 bytes to clear and hold; at most this many bits per member (8 bytes), with a floor so that a
// small set over a moderate span still gets bits: 64 KiB are cleared in microseconds.
constexpr uint64_t BITS_PER_MEMBER = 64;
constexpr uint64_t SPAN_FLOOR = uint64_t{1} << 19;

}  // namespace

IdFilter::IdFilter(const Bitmap& ids) : ids_(&ids) {
  const uint64_t members = ids.cardinality();
  if (members == 0) return;
  first_ = ids.minimum();
  span_ = uint64_t{ids.maximum()} - first_ + 1;
  if (span_ > SPAN_FLOOR && span_ > members * BITS_PER_MEMBER) return;
  words_.assign((span_ + 63) / 64, 0);
  dense_ = true;
  roaring_iterate(
      &ids.roaring,
      [](uint32_t id, void* self) {
        auto* filter = static_cast<IdFilter*>(self);
        const uint64_t offset = uint64_t{id} - filter->first_;
        filter->words_[offset >> 6] |= uint64_t{1} << (offset & 63);
        return true;
      },
      this);
}

}  // namespace vostrel
