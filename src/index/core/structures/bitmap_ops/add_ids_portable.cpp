// add_ids on CRoaring's public API only.
//
// Always compiled, so the tests hold the chunk kernel to its answers. Where the chunk kernels are not built it is
// add_ids itself.
#include <roaring/roaring.h>

#include <array>
#include <bit>

#include "index/core/structures/bitmap_ops/add_ids.hpp"

#if !defined(VOSTREL_CONTAINER_KERNELS)
#error "VOSTREL_CONTAINER_KERNELS (0 or 1) must be defined by the build"
#endif

namespace vostrel {

void add_ids_portable(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count) {
  if (count != 0) roaring_bitmap_add_many(bitmap, count, ids);
}

void add_marked_ids_portable(roaring_bitmap_t* bitmap, const uint64_t* words, size_t word_count) {
  std::array<uint32_t, 1024> batch;
  size_t held = 0;
  for (size_t w = 0; w < word_count; ++w) {
    for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
      batch[held++] = static_cast<uint32_t>((w << 6) + static_cast<size_t>(std::countr_zero(bits)));
      if (held == batch.size()) {
        roaring_bitmap_add_many(bitmap, held, batch.data());
        held = 0;
      }
    }
  }
  if (held != 0) roaring_bitmap_add_many(bitmap, held, batch.data());
}

#if !VOSTREL_CONTAINER_KERNELS
void add_ids(roaring_bitmap_t* bitmap, const uint32_t* ids, size_t count) { add_ids_portable(bitmap, ids, count); }
void add_marked_ids(roaring_bitmap_t* bitmap, const uint64_t* words, size_t word_count) {
  add_marked_ids_portable(bitmap, words, word_count);
}
#endif

}  // namespace vostrel
